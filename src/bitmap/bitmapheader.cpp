#include "bitmap/bitmapheader.h"

#include "platform/fileio.h"
#include "platform/platform.h"

namespace {

class Reader
{
public:
    explicit Reader(const std::uint8_t *bytes) : m_bytes(bytes) {}

    std::int16_t i16()
    {
        const auto value = static_cast<std::uint16_t>(m_bytes[m_at] | m_bytes[m_at + 1] << 8);
        m_at += 2;
        return static_cast<std::int16_t>(value);
    }
    std::int32_t i32()
    {
        const std::uint32_t value = std::uint32_t{m_bytes[m_at]} | std::uint32_t{m_bytes[m_at + 1]} << 8
                                    | std::uint32_t{m_bytes[m_at + 2]} << 16 | std::uint32_t{m_bytes[m_at + 3]} << 24;
        m_at += 4;
        return static_cast<std::int32_t>(value);
    }

private:
    const std::uint8_t *m_bytes;
    int m_at = 0;
};

class Writer
{
public:
    explicit Writer(std::uint8_t *bytes) : m_bytes(bytes) {}

    void i16(std::int16_t value)
    {
        const auto bits = static_cast<std::uint16_t>(value);
        m_bytes[m_at++] = static_cast<std::uint8_t>(bits);
        m_bytes[m_at++] = static_cast<std::uint8_t>(bits >> 8);
    }
    void i32(std::int32_t value)
    {
        const auto bits = static_cast<std::uint32_t>(value);
        for (int shift = 0; shift < 32; shift += 8)
            m_bytes[m_at++] = static_cast<std::uint8_t>(bits >> shift);
    }

private:
    std::uint8_t *m_bytes;
    int m_at = 0;
};

} // namespace

BitmapHeader DecodeBitmapHeader(const std::array<std::uint8_t, kBitmapHeaderBytes> &bytes)
{
    Reader in(bytes.data());
    BitmapHeader h;
    h.bfType = in.i16();
    h.bfSize = in.i32();
    h.bfReserved1 = in.i16();
    h.bfReserved2 = in.i16();
    h.bfOffBits = in.i32();
    h.biSize = in.i32();
    if (h.biSize == kCoreHeaderSize) { // 16-bit fields, unsigned width and height, never compressed
        h.biWidth = static_cast<std::uint16_t>(in.i16());
        h.biHeight = static_cast<std::uint16_t>(in.i16());
        h.biPlanes = in.i16();
        h.biBitCount = in.i16();
        return h;
    }
    h.biWidth = in.i32();
    h.biHeight = in.i32();
    h.biPlanes = in.i16();
    h.biBitCount = in.i16();
    h.biCompression = in.i32();
    h.biSizeImage = in.i32();
    h.biXPelsPerMeter = in.i32();
    h.biYPelsPerMeter = in.i32();
    h.biClrUsed = in.i32();
    h.biClrImportant = in.i32();
    return h;
}

std::array<std::uint8_t, kBitmapHeaderBytes> EncodeBitmapHeader(const BitmapHeader &h)
{
    std::array<std::uint8_t, kBitmapHeaderBytes> bytes{};
    Writer out(bytes.data());
    out.i16(h.bfType);
    out.i32(h.bfSize);
    out.i16(h.bfReserved1);
    out.i16(h.bfReserved2);
    out.i32(h.bfOffBits);
    out.i32(h.biSize);
    out.i32(h.biWidth);
    out.i32(h.biHeight);
    out.i16(h.biPlanes);
    out.i16(h.biBitCount);
    out.i32(h.biCompression);
    out.i32(h.biSizeImage);
    out.i32(h.biXPelsPerMeter);
    out.i32(h.biYPelsPerMeter);
    out.i32(h.biClrUsed);
    out.i32(h.biClrImportant);
    return bytes;
}

BitmapHeader ReadBitmapHeader(const QString &path, Platform &platform)
{
    SourceFile file;
    std::array<std::uint8_t, kBitmapHeaderBytes> bytes{};
    QString error;
    if (!file.open(path))
        error = file.errorString();
    else if (const std::int64_t got = file.readAt(0, bytes.data(), bytes.size()); got < 0)
        error = SystemErrorText(static_cast<int>(-got));
    if (!error.isEmpty()) {
        ShowNotice(platform, QStringLiteral("Cannot read \"%1\": %2.").arg(path, error), QStringLiteral("Image Info"));
        return {};
    }
    return DecodeBitmapHeader(bytes);
}

QString CheckBitmapHeader(const BitmapHeader &header)
{
    QString problems;
    if (header.bfType != kBitmapMagic)
        problems += QStringLiteral("Not a bitmap file. ");
    if (header.biPlanes != 1)
        problems += QStringLiteral("More than one colour plane. ");
    if (header.biBitCount != 24)
        problems += QStringLiteral("Not a 24 bit bitmap. ");
    if (header.biCompression != 0)
        problems += QStringLiteral("Bitmap is compressed. ");
    return problems.isEmpty() ? QStringLiteral("OK") : problems;
}
