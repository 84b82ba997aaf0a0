#pragma once

#include <cstddef>
#include <cstdint>

// Byte positions of the channels within a stored pixel (blue, green, red).
enum class Channel : int { Blue = 0, Green = 1, Red = 2 };

// Writes `pixels` grey pixels to `out` (3 bytes each), each carrying the chosen
// channel of the matching source pixel. Source and output must not overlap.
void ExtractChannel(const std::uint8_t *source, std::uint8_t *out, std::size_t pixels, Channel channel);

// The portable version, kept callable so tests can hold the fast one against it.
void ExtractChannelPortable(const std::uint8_t *source, std::uint8_t *out, std::size_t pixels, Channel channel);
