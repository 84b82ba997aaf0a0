#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <map>

// Test bitmaps made in code, and an independent, literal reading of how a
// channel file is made, to check the splitter against.

struct TestBitmap
{
    std::int32_t width = 1;
    std::int32_t height = 1;
    std::int32_t sizeImage = 0;           // the stated biSizeImage
    std::int32_t offBits = 54;            // where the pixels start
    std::int32_t infoSize = 40;           // biSize; 12 writes a core header
    std::int16_t bitCount = 24;
    std::int32_t compression = 0;
    std::int16_t planes = 1;
    std::uint32_t seed = 1;               // pixel contents
    std::int64_t trailing = 0;            // bytes after the rows (beyond the pixel array)
};

// The whole file: header, any gap up to offBits (filled with 0xEE), the rows
// with non-zero padding bytes (so a splitter that copies them is caught), then
// `trailing` bytes of 0xAB.
QByteArray MakeBitmap(const TestBitmap &shape);

// Expected R_, G_ and B_ file contents ('R', 'G', 'B' keys) for a standard
// source (pixels at byte 54, 40-byte header), computed the plain way.
std::map<char, QByteArray> ReferenceChannelFiles(const QByteArray &source);

// Pixel bytes of channel `c` (0 blue, 1 green, 2 red) for every pixel of a
// source, row by row, from its own bfOffBits.
QByteArray ChannelValues(const QByteArray &bitmap, int c);

bool WriteFile(const QString &path, const QByteArray &bytes);
QByteArray ReadFile(const QString &path);

std::int32_t ReadI32(const QByteArray &bytes, int offset);
void PutI32(QByteArray &bytes, int offset, std::int32_t value);
