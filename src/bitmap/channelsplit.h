#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Byte positions of the channels within a stored pixel (blue, green, red).
enum class Channel : int { Blue = 0, Green = 1, Red = 2 };

// Writes `pixels` grey pixels to `out` (3 bytes each), each carrying the chosen
// channel of the matching source pixel. Source and output must not overlap.
void ExtractChannel(const std::uint8_t *source, std::uint8_t *out, std::size_t pixels, Channel channel);

// The portable version.
void ExtractChannelPortable(const std::uint8_t *source, std::uint8_t *out, std::size_t pixels, Channel channel);

// The faster versions this processor can run, fastest first; ExtractChannel()
// uses the first, or the portable one when there is none.
struct ChannelExtractor
{
    const char *name;
    void (*extract)(const std::uint8_t *source, std::uint8_t *out, std::size_t pixels, Channel channel);
};
std::vector<ChannelExtractor> FastChannelExtractors();
