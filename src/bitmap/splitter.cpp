#include "bitmap/splitter.h"

#include "platform/fileio.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <limits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();

// Source bytes read at a time. Large enough that system calls cost little,
// small enough to stay in cache; memory use never depends on the image size.
constexpr auto kBandBytes = static_cast<std::size_t>(kSplitBandBytes);
// A band's share of one channel file: the header before the first, and a
// row's padding after a piece that ends it.
constexpr std::size_t kOutputBytes = kBitmapHeaderBytes + kBandBytes + 3;
// Bytes of rows read, extracted and written at a time: with one channel's
// rows, they stay in a core's own cache, and a source of up to one piece
// is read and written with one call per file.
constexpr std::int64_t kPieceBytes = std::int64_t{256} << 10;
constexpr Channel kChannels[3] = {Channel::Red, Channel::Green, Channel::Blue};
// The prefix of each channel's files, by its byte position in a pixel.
constexpr const char *kPrefixes[3] = {"B_", "G_", "R_"};

ProcessingError readFailure(const QString &path, const QString &reason, int error = 0)
{
    return {QStringLiteral("Cannot read \"%1\": %2.").arg(path, reason), FaultSide::Source, error};
}

// A name too long for the file system is a problem of that one source's name;
// anything else the destination's, which every later file would meet too.
ProcessingError writeFailure(const QString &path, int error)
{
    return {QStringLiteral("Cannot write \"%1\": %2.").arg(path, SystemErrorText(error)),
            error == ENAMETOOLONG ? FaultSide::Source : FaultSide::Destination, error};
}

// The band buffers of a thread, made at its first band and kept: a fresh set
// per file would cost the system new zeroed pages for every small image.
// Left unfilled, so that only the part a thread uses costs memory: a piece
// of 256 KiB of rows and its channel, but for rows wider than that. Scratch
// space only: nothing in them outlives the band that filled them.
struct Buffers
{
    // The pixels written start on a cache line, after the header too: no
    // store of the extraction then straddles two lines.
    static constexpr std::size_t kLine = 64;
    static constexpr std::size_t kHeaderLead = kLine - kBitmapHeaderBytes % kLine;

    std::unique_ptr<std::uint8_t[]> source{new std::uint8_t[kBandBytes]};
    std::unique_ptr<std::uint8_t[]> outputBytes{new std::uint8_t[kOutputBytes + kHeaderLead + kLine]};
    std::uint8_t *const output = outputBytes.get() + (kLine - reinterpret_cast<std::uintptr_t>(outputBytes.get()) % kLine);
    std::uint64_t fills = 0; // of `source`, counted, to tell whether a whole small source is still there

    std::uint8_t *refill()
    {
        ++fills;
        return source.get();
    }
};

Buffers &buffers()
{
    thread_local Buffers kept;
    return kept;
}

// The pieces an image is read and written in: bands of whole rows, or pieces
// of whole pixels of a row wider than a band.
class Bands
{
public:
    explicit Bands(const PixelLayout &layout) : m_layout(layout)
    {
        if (layout.rowBytes <= static_cast<std::int64_t>(kBandBytes)) {
            m_rowsPerBand = static_cast<std::int64_t>(kBandBytes) / layout.rowBytes;
            m_count = (layout.rows + m_rowsPerBand - 1) / m_rowsPerBand;
        } else {
            m_piecesPerRow = (layout.width + kPixelsPerPiece - 1) / kPixelsPerPiece;
            m_count = layout.rows * m_piecesPerRow;
        }
    }

    std::int64_t count() const { return m_count; }

    struct Band
    {
        std::int64_t at = 0;      // of the first byte, in the pixel array
        std::int64_t rows = 0;    // whole rows, or 0 for a piece
        std::int64_t pixels = 0;  // of a piece
        std::int64_t padding = 0; // zeros after a piece that ends its row
    };

    Band at(std::int64_t k) const
    {
        Band band;
        if (m_piecesPerRow == 0) {
            const std::int64_t first = k * m_rowsPerBand;
            band.rows = std::min(m_rowsPerBand, m_layout.rows - first);
            band.at = first * m_layout.rowBytes;
            return band;
        }
        const std::int64_t row = k / m_piecesPerRow;
        const std::int64_t pixel = k % m_piecesPerRow * kPixelsPerPiece;
        band.pixels = std::min(kPixelsPerPiece, m_layout.width - pixel);
        band.at = row * m_layout.rowBytes + 3 * pixel;
        if (pixel + band.pixels == m_layout.width)
            band.padding = m_layout.rowBytes - 3 * m_layout.width;
        return band;
    }

private:
    static constexpr std::int64_t kPixelsPerPiece = static_cast<std::int64_t>(kBandBytes / 3);
    const PixelLayout &m_layout;
    std::int64_t m_rowsPerBand = 0;
    std::int64_t m_piecesPerRow = 0;
    std::int64_t m_count = 0;
};

// Reads band `k` of the source once and writes it to every file, each file
// in its turn from a different one, so that threads writing neighbouring
// bands seldom wait for the same file.
void writeBand(const SplitPlan &plan, const Bands &bands, std::int64_t k, std::span<ChannelOutput> files,
               const std::array<std::uint8_t, kBitmapHeaderBytes> &header)
{
    const PixelLayout &layout = plan.layout;
    const Bands::Band band = bands.at(k);
    Buffers &kept = buffers();
    // Planned on another thread, or read over since: the band is read again.
    const bool whole = plan.whole && plan.whole == kept.source.get() && plan.wholeFill == kept.fills;
    const auto width = static_cast<std::size_t>(layout.width);
    const auto rowBytes = static_cast<std::size_t>(layout.rowBytes);
    // A band goes in pieces that stay in the core's own cache with their
    // channel's rows: read once, and written to every file.
    const std::int64_t rowsPerPiece = std::max<std::int64_t>(1, kPieceBytes / layout.rowBytes);
    for (std::int64_t first = 0;;) {
        const std::int64_t rows = band.rows > 0 ? std::min(rowsPerPiece, band.rows - first) : 0;
        const std::int64_t at = band.at + first * layout.rowBytes;
        const auto bytes = static_cast<std::size_t>(band.rows > 0 ? rows * layout.rowBytes : 3 * band.pixels);
        const std::uint8_t *in = kept.source.get();
        if (whole) {
            in = plan.whole + layout.offset + at;
        } else {
            const std::int64_t got = plan.file.readAt(layout.offset + at, kept.refill(), bytes);
            if (got < 0)
                throw readFailure(plan.source, SystemErrorText(static_cast<int>(-got)), static_cast<int>(-got));
            if (static_cast<std::size_t>(got) != bytes)
                throw readFailure(plan.source, QStringLiteral("the file ended early"));
        }
        for (std::size_t j = 0; j < files.size(); ++j) {
            auto &[index, file] = files[(static_cast<std::size_t>(k) + j) % files.size()];
            const Channel channel = kChannels[index];
            std::uint8_t *out = kept.output + (at == 0 ? Buffers::kHeaderLead : 0);
            std::size_t used = 0;
            if (at == 0) { // the header leads the first write
                std::memcpy(out, header.data(), header.size());
                used = header.size();
            }
            if (band.rows > 0 && rowBytes == 3 * width) { // rows without padding: one run of pixels
                ExtractChannel(in, out + used, width * static_cast<std::size_t>(rows), channel);
                used += bytes;
            } else if (band.rows > 0) {
                for (std::int64_t r = 0; r < rows; ++r, used += rowBytes) {
                    ExtractChannel(in + r * layout.rowBytes, out + used, width, channel);
                    std::memset(out + used + 3 * width, 0, rowBytes - 3 * width);
                }
            } else {
                const auto pixels = static_cast<std::size_t>(band.pixels);
                ExtractChannel(in, out + used, pixels, channel);
                used += 3 * pixels;
                std::memset(out + used, 0, static_cast<std::size_t>(band.padding));
                used += static_cast<std::size_t>(band.padding);
            }
            const std::int64_t offset = at == 0 ? 0 : kBitmapHeaderBytes + at;
            if (const int error = file->writeAt(out, used, offset))
                throw writeFailure(plan.target(static_cast<std::size_t>(index)), error);
        }
        first += rows;
        if (band.rows == 0 || first >= band.rows)
            return;
    }
}

} // namespace

QString CheckBitmapGeometry(const BitmapHeader &header, std::int64_t fileSize, PixelLayout *layout)
{
    // Rows of zero pixels, and widths that make no sense, have no channels to split.
    if (header.biWidth <= 0)
        return QStringLiteral("Bitmap width is not positive. ");
    // A height of the smallest 32-bit value has no positive counterpart.
    if (header.biHeight == 0 || header.biHeight == std::numeric_limits<std::int32_t>::min())
        return QStringLiteral("Bitmap height is zero or out of range. ");

    PixelLayout l;
    l.width = header.biWidth;
    l.rows = header.biHeight < 0 ? -std::int64_t{header.biHeight} : header.biHeight;
    l.rowBytes = 3 * l.width + l.width % 4; // < 2^34: no overflow in 64 bits
    // Each channel file must be describable by the header's 32-bit size field.
    if (l.rowBytes > kInt32Max || l.rows > kInt32Max / l.rowBytes)
        return QStringLiteral("Bitmap is too large. ");
    l.pixelBytes = l.rowBytes * l.rows;

    // The pixels must start after the headers that the file says it has.
    const bool knownSize = header.biSize >= 40 || header.biSize == kCoreHeaderSize;
    if (!knownSize || header.bfOffBits < 14 + std::int64_t{header.biSize})
        return QStringLiteral("Bitmap header sizes are invalid. ");
    l.offset = header.bfOffBits;

    // Never read, and so never write, more than the file holds.
    const std::int64_t available = fileSize - l.offset;
    if (available < l.pixelBytes)
        return QStringLiteral("Bitmap file is truncated. ");

    // A stated size is honoured when it covers the rows, as far as the file
    // holds bytes; a missing or too small one is computed.
    const std::int64_t stated = header.biSizeImage; // signed: a negative size is too small
    l.imageSize = stated < l.pixelBytes ? l.pixelBytes : std::min({stated, available, kInt32Max});

    if (layout)
        *layout = l;
    return QStringLiteral("OK");
}

BitmapHeader ChannelFileHeader(const BitmapHeader &source, const PixelLayout &layout)
{
    BitmapHeader out = source;
    out.biSizeImage = static_cast<std::int32_t>(layout.imageSize);
    if (source.bfOffBits != kBitmapHeaderBytes || source.biSize != 40) {
        // Colour tables and other information headers are not carried over:
        // the output is a plain 54-byte-header bitmap that says so.
        out.bfOffBits = kBitmapHeaderBytes;
        out.biSize = 40;
        out.bfSize = static_cast<std::int32_t>(static_cast<std::uint32_t>(kBitmapHeaderBytes + layout.imageSize));
        out.biClrUsed = 0;
        out.biClrImportant = 0;
    }
    return out;
}

QString ChannelFilePath(const QString &source, const QString &folderName, Channel channel, const QString &base)
{
    const qsizetype slash = source.lastIndexOf(QLatin1Char('/'));
    const QStringView name = QStringView(source).mid(slash + 1);
    const QStringView folder = base.isEmpty() ? QStringView(source).left(slash + 1) : QStringView(base);
    QString path; // made in one allocation: it is made three times per source
    path.reserve(folder.size() + folderName.size() + name.size() + 8);
    path.append(folder);
    if (!base.isEmpty())
        path.append(QLatin1Char('/'));
    path.append(folderName).append(QLatin1Char('/')).append(QLatin1String(kPrefixes[static_cast<int>(channel)]));
    path.append(name.left(std::max<qsizetype>(0, name.size() - 4))).append(QLatin1String(".bmp"));
    return path;
}

ChannelFolders::ChannelFolders(const QString &red, const QString &green, const QString &blue)
    : names{red, green, blue},
      spelled{QFile::encodeName(red), QFile::encodeName(green), QFile::encodeName(blue)}
{
}

ChannelNames ChannelFileNames(const QString &source, const QByteArray &encoded, const ChannelFolders &folders,
                              const QString &base)
{
    ChannelNames names;
    // A name that ends in four plain characters ends in their four bytes, and
    // the file system spells the parts of a path as it spells the whole: the
    // names are made from the source's own spelling, without spelling it again.
    const qsizetype length = source.size() - source.lastIndexOf(QLatin1Char('/')) - 1;
    const QStringView end = QStringView(source).last(std::min<qsizetype>(4, source.size()));
    if (length < 4 || !IsPlain(end)) {
        for (std::size_t k = 0; k < 3; ++k)
            names.m_names[k] = QFile::encodeName(ChannelFilePath(source, folders.names[k], kChannels[k], base));
        return names;
    }
    const qsizetype slash = LastSlash(encoded);
    const QByteArray spelledBase = base.isEmpty() ? QByteArray() : QFile::encodeName(base) + '/';
    const QByteArrayView folder = base.isEmpty() ? QByteArrayView(encoded).first(slash + 1) : QByteArrayView(spelledBase);
    const QByteArrayView stem = QByteArrayView(encoded).sliced(slash + 1).chopped(4);
    const auto partsOf = [&](std::size_t k) {
        return std::array<QByteArrayView, 6>{folder, folders.spelled[k], "/", kPrefixes[static_cast<int>(kChannels[k])],
                                             stem, ".bmp"};
    };
    qsizetype size = 0;
    for (std::size_t k = 0; k < 3; ++k)
        for (const QByteArrayView part : partsOf(k))
            size += part.size();
    size += 2; // the NULs after the first two; the block's own ends the third
    names.m_block = QByteArray(size, Qt::Uninitialized);
    char *at = names.m_block.data();
    for (std::size_t k = 0; k < 3; ++k) {
        const char *const first = at;
        for (const QByteArrayView part : partsOf(k))
            at = std::copy(part.begin(), part.end(), at);
        names.m_names[k] = QByteArray::fromRawData(first, at - first);
        if (k < 2)
            *at++ = '\0';
    }
    return names;
}

QString SplitPlan::target(std::size_t k) const
{
    return QFile::decodeName(names[k]);
}

SplitPlan PlanSplit(const QString &path, const ChannelFolders &folders, std::int64_t foundSize, const QString &base,
                    bool headerOnly)
{
    SplitPlan plan;
    plan.source = path;
    SourceFile &file = plan.file;
    std::array<std::uint8_t, kBitmapHeaderBytes> bytes{};
    const QByteArray encoded = SpelledPath(path);
    if (!file.open(encoded))
        throw readFailure(path, file.errorString(), file.error());
    // A small source is read whole, header and pixels at once.
    const bool whole = !headerOnly && file.size() <= kPieceBytes;
    std::uint8_t *const in = whole ? buffers().refill() : bytes.data();
    const std::int64_t got = file.readAt(0, in, whole ? static_cast<std::size_t>(file.size()) : bytes.size());
    if (got < 0)
        throw readFailure(path, SystemErrorText(static_cast<int>(-got)), static_cast<int>(-got));
    if (whole) {
        std::memcpy(bytes.data(), in, static_cast<std::size_t>(std::min<std::int64_t>(got, kBitmapHeaderBytes)));
        // Short only if the file shrank since it was opened: its bands will find out.
        if (got == file.size()) {
            plan.whole = in;
            plan.wholeFill = buffers().fills;
        }
    }
    // Checked before the header: a file emptied since, to be written anew,
    // would otherwise pass for one that is not a bitmap.
    if (file.size() < foundSize)
        throw readFailure(path, QStringLiteral("the file became shorter after it was found"));
    const BitmapHeader header = DecodeBitmapHeader(bytes);
    plan.result = CheckBitmapHeader(header);
    if (plan.result != QLatin1String("OK"))
        return plan;
    plan.result = CheckBitmapGeometry(header, file.size(), &plan.layout);
    if (plan.result != QLatin1String("OK"))
        return plan;
    plan.header = ChannelFileHeader(header, plan.layout);
    plan.names = ChannelFileNames(path, encoded, folders, base);
    for (std::size_t k = 0; k < 3; ++k) {
        // The source's own name may be as long as names can be; with its prefix, an output's may not.
        const QByteArray &name = plan.names[k];
        if (name.size() - LastSlash(name) - 1 > NAME_MAX || name.size() >= PATH_MAX)
            throw writeFailure(plan.target(k), ENAMETOOLONG);
    }
    return plan;
}

bool OutputsUpToDate(const SplitPlan &plan)
{
    const std::int64_t size = kBitmapHeaderBytes + plan.layout.imageSize;
    const timespec source = plan.file.modified();
    for (const QByteArray &name : plan.names) {
        // Not following a link, nor waiting on a FIFO: a split would replace either.
        const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0)
            return false;
        struct stat st {};
        const bool fresh = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == size
                           && std::pair(st.st_mtim.tv_sec, st.st_mtim.tv_nsec) >= std::pair(source.tv_sec, source.tv_nsec)
                           // A split writes every byte: the first hole must be the end.
                           && ::lseek(fd, 0, SEEK_HOLE) == size;
        ::close(fd);
        if (!fresh)
            return false;
    }
    return true;
}

ChannelWriter::ChannelWriter(const SplitPlan &plan, std::initializer_list<int> channels, OutputSession &session)
    : m_plan(plan), m_bands(Bands(plan.layout).count()), m_header(EncodeBitmapHeader(plan.header))
{
    for (const int k : channels) {
        ChannelOutput &output = m_outputs[m_count++];
        output.channel = k;
        AtomicOutputFile &file = output.file.emplace(session);
        if (!file.create(plan.names[static_cast<std::size_t>(k)]))
            throw writeFailure(plan.target(static_cast<std::size_t>(k)), file.error());
    }
}

ChannelWriter::~ChannelWriter() = default;

void ChannelWriter::write(std::int64_t k)
{
    writeBand(m_plan, Bands(m_plan.layout), k, outputs(), m_header);
}

bool ChannelWriter::writeAll(const std::function<bool()> &stop)
{
    for (std::int64_t k = 0; k < m_bands; ++k) {
        if (stop && stop())
            return false;
        write(k);
    }
    return true;
}

void ChannelWriter::finish()
{
    for (auto &[k, file] : outputs()) {
        // Bytes the header states beyond the rows are zeros.
        if (const int error = file->extendTo(kBitmapHeaderBytes + m_plan.layout.imageSize))
            throw writeFailure(m_plan.target(static_cast<std::size_t>(k)), error);
        if (!file->prepare())
            throw writeFailure(m_plan.target(static_cast<std::size_t>(k)), file->error());
    }
}

void ChannelWriter::place()
{
    for (auto &[k, file] : outputs())
        if (!file->commit())
            throw writeFailure(m_plan.target(static_cast<std::size_t>(k)), file->error());
}

void CheckSourceUnchanged(const SplitPlan &plan)
{
    if (plan.file.changed())
        throw readFailure(plan.source, QStringLiteral("the file changed while it was read"));
}

QString SplitBitmap(const QString &path, const QString &redDir, const QString &greenDir, const QString &blueDir)
{
    const SplitPlan plan = PlanSplit(path, ChannelFolders(redDir, greenDir, blueDir));
    if (plan.result != QLatin1String("OK"))
        return plan.result;
    OutputSession session;
    ChannelWriter files(plan, {0, 1, 2}, session);
    files.writeAll();
    files.finish();
    CheckSourceUnchanged(plan);
    files.place();
    return plan.result;
}
