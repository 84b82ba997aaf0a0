// prismora-mkbmp: writes COUNT 24-bit bitmaps of WIDTH x HEIGHT pixels, with
// varied pixel values, into FOLDER as img00000.bmp, img00001.bmp, ...
// Used to make the benchmark's data.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void put32(std::uint8_t *at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 5) {
        std::fputs("usage: prismora-mkbmp WIDTH HEIGHT COUNT FOLDER\n", stderr);
        return 2;
    }
    const long long width = std::atoll(argv[1]);
    const long long height = std::atoll(argv[2]);
    const long long count = std::atoll(argv[3]);
    const long long row = 3 * width + width % 4;
    if (width <= 0 || height <= 0 || count < 0 || row * height > 0x7fffffffLL) {
        std::fputs("prismora-mkbmp: size out of range\n", stderr);
        return 2;
    }
    const long long size = row * height;
    std::uint8_t header[54] = {'B', 'M'};
    put32(header + 2, static_cast<std::uint32_t>(54 + size));
    put32(header + 10, 54);
    put32(header + 14, 40);
    put32(header + 18, static_cast<std::uint32_t>(width));
    put32(header + 22, static_cast<std::uint32_t>(height));
    header[26] = 1;
    header[28] = 24;
    put32(header + 34, static_cast<std::uint32_t>(size));
    put32(header + 38, 2835);
    put32(header + 42, 2835);

    std::vector<std::uint8_t> rowBytes(static_cast<std::size_t>(row));
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    for (long long n = 0; n < count; ++n) {
        char name[64];
        std::snprintf(name, sizeof name, "/img%05lld.bmp", n);
        const std::string path = std::string(argv[4]) + name;
        std::FILE *out = std::fopen(path.c_str(), "wb");
        if (!out || std::fwrite(header, 1, sizeof header, out) != sizeof header) {
            std::perror(path.c_str());
            return 1;
        }
        for (long long y = 0; y < height; ++y) {
            for (long long i = 0; i < 3 * width; ++i) {
                state ^= state << 13;
                state ^= state >> 7;
                state ^= state << 17;
                rowBytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(state);
            }
            if (std::fwrite(rowBytes.data(), 1, rowBytes.size(), out) != rowBytes.size()) {
                std::perror(path.c_str());
                return 1;
            }
        }
        if (std::fclose(out) != 0) {
            std::perror(path.c_str());
            return 1;
        }
    }
    return 0;
}
