#include "bitmap/splitter.h"

#include "bitmap/channelsplit.h"
#include "filesys/paths.h"
#include "platform/fileio.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>

namespace {

constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();

// Source bytes read at a time. Large enough that system calls cost little,
// small enough to stay in cache; memory use never depends on the image size.
constexpr std::size_t kBandBytes = std::size_t{1} << 18;
constexpr std::size_t kOutputBytes = kBandBytes + kBitmapHeaderBytes;

QString readFailure(const QString &path, const QString &reason)
{
    return QStringLiteral("Cannot read \"%1\": %2.").arg(path, reason);
}

QString writeFailure(const QString &path, const QString &reason)
{
    return QStringLiteral("Cannot write \"%1\": %2.").arg(path, reason);
}

// The band buffers, made once and kept: a fresh set per file would cost the
// system new zeroed pages for every small image.
struct Buffers
{
    std::unique_ptr<std::uint8_t[]> source = std::make_unique<std::uint8_t[]>(kBandBytes);
    std::unique_ptr<std::uint8_t[]> output = std::make_unique<std::uint8_t[]>(3 * kOutputBytes);
};

Buffers &buffers()
{
    static Buffers kept;
    return kept;
}

// Reads one band of the source; a short read means the file changed under us.
const std::uint8_t *readBand(SourceFile &file, const QString &path, std::uint8_t *buffer, std::int64_t offset,
                             std::size_t count)
{
    const std::int64_t got = file.readAt(offset, buffer, count);
    if (got < 0)
        throw ProcessingError(readFailure(path, file.errorString()));
    if (static_cast<std::size_t>(got) != count)
        throw ProcessingError(readFailure(path, QStringLiteral("the file ended early")));
    return buffer;
}

// The three channel files of one source, written side by side from a single
// pass over the source and put in place red, then green, then blue. A failure
// ends the file it hit and those after it; the ones before it are finished, so
// what lands on disk is what writing the files one after another would leave.
class ChannelFiles
{
public:
    explicit ChannelFiles(std::uint8_t *buffers) : m_buffers(buffers) {}

    // Starts the files in order; one that cannot be created ends the list there.
    void create(const QString (&targets)[3])
    {
        for (int k = 0; k < 3; ++k) {
            m_targets[k] = targets[k];
            if (!m_files[k].create(targets[k])) {
                fail(k);
                return;
            }
            m_live = k + 1;
        }
    }

    // Files 0 .. live() - 1 are still being written.
    int live() const { return m_live; }

    // Room for `count` bytes (at most kOutputBytes) of file k. Safe to fill
    // even if the file failed meanwhile; callers check live() afterwards.
    std::uint8_t *reserve(int k, std::size_t count)
    {
        const auto index = static_cast<std::size_t>(k);
        if (m_used[index] + count > kOutputBytes)
            flush(k);
        std::uint8_t *at = m_buffers + index * kOutputBytes + m_used[index];
        m_used[index] += count;
        return at;
    }

    void zeros(int k, std::int64_t count)
    {
        while (count > 0 && k < m_live) {
            const auto chunk = static_cast<std::size_t>(std::min<std::int64_t>(count, kBandBytes));
            std::memset(reserve(k, chunk), 0, chunk);
            count -= static_cast<std::int64_t>(chunk);
        }
    }

    // Writes out and renames every file still alive, in order; then reports the
    // first failure in file order, if any.
    void finish()
    {
        for (int k = 0; k < m_live; ++k)
            flush(k);
        for (int k = 0; k < m_live; ++k)
            if (!m_files[k].commit())
                fail(k);
        if (!m_error.isEmpty())
            throw ProcessingError(m_error);
    }

private:
    void flush(int k)
    {
        const auto index = static_cast<std::size_t>(k);
        if (k < m_live && m_used[index] > 0 && !m_files[k].write(m_buffers + index * kOutputBytes, m_used[index]))
            fail(k);
        m_used[index] = 0;
    }

    void fail(int k)
    {
        m_error = writeFailure(m_targets[k], m_files[k].errorString());
        for (int j = k; j < 3; ++j)
            m_files[j].discard();
        m_live = std::min(m_live, k);
    }

    std::uint8_t *m_buffers; // three output buffers of kOutputBytes each
    QString m_targets[3];
    AtomicOutputFile m_files[3];
    std::size_t m_used[3] = {};
    int m_live = 0;
    QString m_error;
};

constexpr Channel kChannelOrder[3] = {Channel::Red, Channel::Green, Channel::Blue};

void writeChannels(SourceFile &source, const QString &path, std::uint8_t *band, ChannelFiles &out,
                   const BitmapHeader &header, const PixelLayout &layout)
{
    const auto encoded = EncodeBitmapHeader(header);
    for (int k = 0; k < out.live(); ++k)
        std::memcpy(out.reserve(k, encoded.size()), encoded.data(), encoded.size());

    const auto width = static_cast<std::size_t>(layout.width);
    const auto rowBytes = static_cast<std::size_t>(layout.rowBytes);
    const std::size_t padding = rowBytes - 3 * width;

    if (rowBytes <= kBandBytes) {
        // Whole rows per band, each band read once for all three files.
        const std::int64_t rowsPerBand = static_cast<std::int64_t>(kBandBytes / rowBytes);
        for (std::int64_t row = 0; row < layout.rows && out.live() > 0; row += rowsPerBand) {
            const auto count = static_cast<std::size_t>(std::min(rowsPerBand, layout.rows - row));
            const std::uint8_t *in = readBand(source, path, band, layout.offset + row * layout.rowBytes, count * rowBytes);
            for (int k = 0; k < out.live(); ++k) {
                std::uint8_t *dest = out.reserve(k, count * rowBytes);
                for (std::size_t r = 0; r < count; ++r) {
                    ExtractChannel(in + r * rowBytes, dest + r * rowBytes, width, kChannelOrder[k]);
                    std::memset(dest + r * rowBytes + 3 * width, 0, padding);
                }
            }
        }
    } else {
        // A row wider than a band goes through in pieces of whole pixels.
        const std::size_t pixelsPerPiece = kBandBytes / 3;
        for (std::int64_t row = 0; row < layout.rows && out.live() > 0; ++row) {
            const std::int64_t rowStart = layout.offset + row * layout.rowBytes;
            for (std::size_t pixel = 0; pixel < width; pixel += pixelsPerPiece) {
                const std::size_t count = std::min(pixelsPerPiece, width - pixel);
                const std::uint8_t *in =
                    readBand(source, path, band, rowStart + static_cast<std::int64_t>(3 * pixel), 3 * count);
                for (int k = 0; k < out.live(); ++k)
                    ExtractChannel(in, out.reserve(k, 3 * count), count, kChannelOrder[k]);
            }
            for (int k = 0; k < out.live(); ++k)
                out.zeros(k, static_cast<std::int64_t>(padding));
        }
    }
    for (int k = 0; k < out.live(); ++k)
        out.zeros(k, layout.imageSize - layout.pixelBytes);
    out.finish();
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
    if (header.biSize < 40 || header.bfOffBits < 14 + std::int64_t{header.biSize})
        return QStringLiteral("Bitmap header sizes are invalid. ");
    l.offset = header.bfOffBits;

    // Never read, and so never write, more than the file holds.
    const std::int64_t available = fileSize - l.offset;
    if (available < l.pixelBytes)
        return TruncatedBitmapText();

    // A stated size is honoured when it covers the rows, as far as the file
    // holds bytes; a missing or too small one is computed.
    const std::int64_t stated = static_cast<std::uint32_t>(header.biSizeImage);
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
        // Colour tables and larger information headers are not carried over:
        // the output is a plain 54-byte-header bitmap that says so.
        out.bfOffBits = kBitmapHeaderBytes;
        out.biSize = 40;
        out.bfSize = static_cast<std::int32_t>(static_cast<std::uint32_t>(kBitmapHeaderBytes + layout.imageSize));
        out.biClrUsed = 0;
        out.biClrImportant = 0;
    }
    return out;
}

void WriteChannelFiles(SourceFile &source, const QString &path, const BitmapHeader &header,
                       const PixelLayout &layout, const QString &redDir, const QString &greenDir,
                       const QString &blueDir)
{
    const QString name = GetFileName(path);
    if (name.isEmpty())
        throw ProcessingError(readFailure(path, QStringLiteral("No such file or directory")));
    const QString base = name.left(std::max<qsizetype>(0, name.size() - 4));
    const QString folder = path.left(path.size() - name.size());
    const QString targets[3] = {
        folder + redDir + QStringLiteral("/R_") + base + QStringLiteral(".bmp"),
        folder + greenDir + QStringLiteral("/G_") + base + QStringLiteral(".bmp"),
        folder + blueDir + QStringLiteral("/B_") + base + QStringLiteral(".bmp"),
    };
    Buffers &kept = buffers();
    ChannelFiles out(kept.output.get());
    out.create(targets);
    writeChannels(source, path, kept.source.get(), out, ChannelFileHeader(header, layout), layout);
}

QString SplitBitmap(const QString &path, const QString &redDir, const QString &greenDir, const QString &blueDir,
                    Platform &platform)
{
    SourceFile source;
    const BitmapHeader header = ReadBitmapHeader(source, path, platform);
    const QString check = CheckBitmapHeader(header);
    if (check != QLatin1String("OK"))
        return check;

    PixelLayout layout;
    const QString geometry = CheckBitmapGeometry(header, source.size(), &layout);
    if (geometry != QLatin1String("OK"))
        return geometry;

    WriteChannelFiles(source, path, header, layout, redDir, greenDir, blueDir);
    return QStringLiteral("OK");
}
