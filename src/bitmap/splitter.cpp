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

// Reads source bands, remembering the last one so that a small image is read
// from disk once for all three channels.
class BandReader
{
public:
    BandReader(SourceFile &file, const QString &path, std::uint8_t *buffer)
        : m_file(file), m_path(path), m_buffer(buffer)
    {
    }

    const std::uint8_t *read(std::int64_t offset, std::size_t count)
    {
        if (offset == m_offset && count == m_count)
            return m_buffer;
        m_count = 0;
        const std::int64_t got = m_file.readAt(offset, m_buffer, count);
        if (got < 0)
            throw ProcessingError(readFailure(m_path, m_file.errorString()));
        if (static_cast<std::size_t>(got) != count)
            throw ProcessingError(readFailure(m_path, QStringLiteral("the file ended early")));
        m_offset = offset;
        m_count = count;
        return m_buffer;
    }

private:
    SourceFile &m_file;
    const QString &m_path;
    std::uint8_t *m_buffer;
    std::int64_t m_offset = -1;
    std::size_t m_count = 0;
};

// Gathers one channel file's bytes and hands them to the file in large writes.
class ChannelWriter
{
public:
    ChannelWriter(AtomicOutputFile &file, const QString &path, std::uint8_t *buffer)
        : m_file(file), m_path(path), m_buffer(buffer)
    {
    }

    // Room for `count` bytes (at most kOutputBytes), flushing first if needed.
    std::uint8_t *reserve(std::size_t count)
    {
        if (m_used + count > kOutputBytes)
            flush();
        std::uint8_t *at = m_buffer + m_used;
        m_used += count;
        return at;
    }

    void zeros(std::int64_t count)
    {
        while (count > 0) {
            const auto chunk = static_cast<std::size_t>(std::min<std::int64_t>(count, kBandBytes));
            std::memset(reserve(chunk), 0, chunk);
            count -= static_cast<std::int64_t>(chunk);
        }
    }

    void flush()
    {
        if (m_used > 0 && !m_file.write(m_buffer, m_used))
            throw ProcessingError(writeFailure(m_path, m_file.errorString()));
        m_used = 0;
    }

private:
    AtomicOutputFile &m_file;
    const QString &m_path;
    std::uint8_t *m_buffer;
    std::size_t m_used = 0;
};

// The band buffers, made once and kept: a fresh pair per file would cost the
// system a new set of zeroed pages for every small image.
struct Buffers
{
    std::unique_ptr<std::uint8_t[]> source = std::make_unique<std::uint8_t[]>(kBandBytes);
    std::unique_ptr<std::uint8_t[]> output = std::make_unique<std::uint8_t[]>(kOutputBytes);
};

Buffers &buffers()
{
    static Buffers kept;
    return kept;
}

void writeChannel(BandReader &reader, ChannelWriter &out, const BitmapHeader &header, const PixelLayout &layout,
                  Channel channel)
{
    const auto encoded = EncodeBitmapHeader(header);
    std::memcpy(out.reserve(encoded.size()), encoded.data(), encoded.size());

    const auto width = static_cast<std::size_t>(layout.width);
    const auto rowBytes = static_cast<std::size_t>(layout.rowBytes);
    const std::size_t padding = rowBytes - 3 * width;

    if (rowBytes <= kBandBytes) {
        // Whole rows per band.
        const std::int64_t rowsPerBand = static_cast<std::int64_t>(kBandBytes / rowBytes);
        for (std::int64_t row = 0; row < layout.rows; row += rowsPerBand) {
            const auto count = static_cast<std::size_t>(std::min(rowsPerBand, layout.rows - row));
            const std::uint8_t *in = reader.read(layout.offset + row * layout.rowBytes, count * rowBytes);
            std::uint8_t *dest = out.reserve(count * rowBytes);
            for (std::size_t r = 0; r < count; ++r) {
                ExtractChannel(in + r * rowBytes, dest + r * rowBytes, width, channel);
                std::memset(dest + r * rowBytes + 3 * width, 0, padding);
            }
        }
    } else {
        // A row wider than a band goes through in pieces of whole pixels.
        const std::size_t pixelsPerPiece = kBandBytes / 3;
        for (std::int64_t row = 0; row < layout.rows; ++row) {
            const std::int64_t rowStart = layout.offset + row * layout.rowBytes;
            for (std::size_t pixel = 0; pixel < width; pixel += pixelsPerPiece) {
                const std::size_t count = std::min(pixelsPerPiece, width - pixel);
                const std::uint8_t *in = reader.read(rowStart + static_cast<std::int64_t>(3 * pixel), 3 * count);
                ExtractChannel(in, out.reserve(3 * count), count, channel);
            }
            out.zeros(static_cast<std::int64_t>(padding));
        }
    }
    out.zeros(layout.imageSize - layout.pixelBytes);
    out.flush();
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
        return QStringLiteral("Bitmap file is truncated. ");

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

    const BitmapHeader outHeader = ChannelFileHeader(header, layout);
    Buffers &kept = buffers();
    BandReader reader(source, path, kept.source.get());

    const struct
    {
        const QString &dir;
        const char *prefix;
        Channel channel;
    } outputs[] = {{redDir, "R_", Channel::Red}, {greenDir, "G_", Channel::Green}, {blueDir, "B_", Channel::Blue}};

    for (const auto &output : outputs) {
        const QString target = folder + output.dir + QLatin1Char('/') + QLatin1String(output.prefix) + base
                               + QStringLiteral(".bmp");
        AtomicOutputFile file;
        if (!file.create(target))
            throw ProcessingError(writeFailure(target, file.errorString()));
        ChannelWriter writer(file, target, kept.output.get());
        writeChannel(reader, writer, outHeader, layout, output.channel);
        if (!file.commit())
            throw ProcessingError(writeFailure(target, file.errorString()));
    }
}

QString SplitBitmap(const QString &path, const QString &redDir, const QString &greenDir, const QString &blueDir,
                    Platform &platform)
{
    const BitmapHeader header = ReadBitmapHeader(path, platform);
    const QString check = CheckBitmapHeader(header);
    if (check != QLatin1String("OK"))
        return check;

    SourceFile source;
    if (!source.open(path))
        throw ProcessingError(readFailure(path, source.errorString()));
    PixelLayout layout;
    const QString geometry = CheckBitmapGeometry(header, source.size(), &layout);
    if (geometry != QLatin1String("OK"))
        return geometry;

    WriteChannelFiles(source, path, header, layout, redDir, greenDir, blueDir);
    return QStringLiteral("OK");
}
