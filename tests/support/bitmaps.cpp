#include "support/bitmaps.h"

#include <QFile>
#include <cstdlib>

std::int32_t ReadI32(const QByteArray &bytes, int offset)
{
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = v << 8 | static_cast<std::uint8_t>(bytes[offset + i]);
    return static_cast<std::int32_t>(v);
}

void PutI32(QByteArray &bytes, int offset, std::int32_t value)
{
    const auto v = static_cast<std::uint32_t>(value);
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = static_cast<char>(v >> (8 * i));
}

namespace {

void putI16(QByteArray &bytes, int offset, std::int16_t value)
{
    const auto v = static_cast<std::uint16_t>(value);
    bytes[offset] = static_cast<char>(v);
    bytes[offset + 1] = static_cast<char>(v >> 8);
}

std::int64_t rowBytes(std::int64_t width)
{
    return 3 * width + width % 4;
}

} // namespace

QByteArray MakeBitmap(const TestBitmap &shape)
{
    const std::int64_t rows = std::llabs(shape.height);
    const std::int64_t stride = shape.width > 0 ? rowBytes(shape.width) : 0;
    const std::int64_t pixelBytes = stride * rows;
    QByteArray file(static_cast<qsizetype>(shape.offBits + pixelBytes + shape.trailing), '\0');
    file[0] = 'B';
    file[1] = 'M';
    PutI32(file, 2, static_cast<std::int32_t>(file.size()));
    PutI32(file, 10, shape.offBits);
    PutI32(file, 14, shape.infoSize);
    const bool core = shape.infoSize == 12; // no compression, image size, resolution or colour counts
    if (core) {
        putI16(file, 18, static_cast<std::int16_t>(shape.width));
        putI16(file, 20, static_cast<std::int16_t>(shape.height));
        putI16(file, 22, shape.planes);
        putI16(file, 24, shape.bitCount);
    } else {
        PutI32(file, 18, shape.width);
        PutI32(file, 22, shape.height);
        putI16(file, 26, shape.planes);
        putI16(file, 28, shape.bitCount);
        PutI32(file, 30, shape.compression);
        PutI32(file, 34, shape.sizeImage);
        PutI32(file, 38, 2835);
        PutI32(file, 42, 2834);
        PutI32(file, 46, 7); // colour counts, which the outputs must carry over
        PutI32(file, 50, 3);
    }
    for (qsizetype i = core ? 26 : 54; i < shape.offBits; ++i)
        file[i] = static_cast<char>(0xEE);
    std::uint32_t state = shape.seed * 2654435761u + 1;
    for (std::int64_t i = 0; i < pixelBytes; ++i) {
        state = state * 1103515245u + 12345u;
        const bool padding = shape.width > 0 && i % stride >= 3 * shape.width;
        file[static_cast<qsizetype>(shape.offBits + i)] = static_cast<char>(padding ? 0x5A : state >> 16);
    }
    for (std::int64_t i = 0; i < shape.trailing; ++i)
        file[static_cast<qsizetype>(shape.offBits + pixelBytes + i)] = static_cast<char>(0xAB);
    return file;
}

std::map<char, QByteArray> ReferenceChannelFiles(const QByteArray &source)
{
    QByteArray header = source.left(54);
    const std::int32_t width = ReadI32(source, 18);
    const std::int32_t height = std::abs(ReadI32(source, 22)); // top-down rows keep their stored order
    std::int32_t size = ReadI32(source, 34);
    if (size == 0) {
        size = width * 3 * height + (width % 4) * height;
        PutI32(header, 34, size);
    }
    std::map<char, QByteArray> files;
    const std::pair<char, int> channels[] = {{'R', 2}, {'G', 1}, {'B', 0}};
    for (const auto &[key, c] : channels) {
        QByteArray pixels(size, '\0');
        qsizetype index = 0;
        for (int row = 0; row < height; ++row) {
            for (int x = 0; x < width; ++x) {
                const char value = source[54 + index + c];
                pixels[index] = pixels[index + 1] = pixels[index + 2] = value;
                index += 3;
            }
            index += width % 4;
        }
        files[key] = header + pixels;
    }
    return files;
}

QByteArray ChannelValues(const QByteArray &bitmap, int c)
{
    const std::int32_t offset = ReadI32(bitmap, 10);
    const std::int32_t width = ReadI32(bitmap, 18);
    const std::int64_t rows = std::llabs(ReadI32(bitmap, 22));
    QByteArray values;
    for (std::int64_t row = 0; row < rows; ++row)
        for (std::int64_t x = 0; x < width; ++x)
            values.append(bitmap[static_cast<qsizetype>(offset + row * rowBytes(width) + 3 * x + c)]);
    return values;
}

bool WriteFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QByteArray ReadFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
