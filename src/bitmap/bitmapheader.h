#pragma once

#include <QString>
#include <array>
#include <cstdint>

class Platform;

// The BMP file header (14 bytes) followed by the information header (40 bytes),
// field for field as they stand in the file, all little-endian. A 12-byte core
// header (biSize 12) has its own layout: its unsigned 16-bit width and height,
// planes and bit count land in the matching fields, and the fields it lacks
// read as 0 (uncompressed).
struct BitmapHeader
{
    std::int16_t bfType = 0;
    std::int32_t bfSize = 0;
    std::int16_t bfReserved1 = 0;
    std::int16_t bfReserved2 = 0;
    std::int32_t bfOffBits = 0;
    std::int32_t biSize = 0;
    std::int32_t biWidth = 0;
    std::int32_t biHeight = 0;
    std::int16_t biPlanes = 0;
    std::int16_t biBitCount = 0;
    std::int32_t biCompression = 0;
    std::int32_t biSizeImage = 0;
    std::int32_t biXPelsPerMeter = 0;
    std::int32_t biYPelsPerMeter = 0;
    std::int32_t biClrUsed = 0;
    std::int32_t biClrImportant = 0;

    bool operator==(const BitmapHeader &) const = default;
};

constexpr int kBitmapHeaderBytes = 54;
constexpr std::int32_t kCoreHeaderSize = 12; // biSize of a core header
constexpr std::int16_t kBitmapMagic = 0x4D42; // "BM"

BitmapHeader DecodeBitmapHeader(const std::array<std::uint8_t, kBitmapHeaderBytes> &bytes);
std::array<std::uint8_t, kBitmapHeaderBytes> EncodeBitmapHeader(const BitmapHeader &header);

// Reads the first 54 bytes of the file; a shorter file reads as if padded with
// zeros. When the file cannot be opened or read the user is told, in an
// "Image Info" message, and an all-zero record comes back.
BitmapHeader ReadBitmapHeader(const QString &path, Platform &platform);

// "OK" when the header describes a 24-bit, single-plane, uncompressed bitmap;
// otherwise the texts of all failing tests, joined.
QString CheckBitmapHeader(const BitmapHeader &header);
