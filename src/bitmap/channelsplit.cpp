#include "bitmap/channelsplit.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define PRISMORA_HAVE_SSSE3 1
#endif

void ExtractChannelPortable(const std::uint8_t *source, std::uint8_t *out, std::size_t pixels, Channel channel)
{
    const std::uint8_t *in = source + static_cast<int>(channel);
    for (std::size_t i = 0; i < pixels; ++i) {
        const std::uint8_t value = in[3 * i];
        out[3 * i] = value;
        out[3 * i + 1] = value;
        out[3 * i + 2] = value;
    }
}

#ifdef PRISMORA_HAVE_SSSE3
namespace {

// Sixteen pixels (48 bytes) at a time: each 16-byte output lane is one shuffle
// of a 16-byte load that starts at that lane's first pixel, offset by the channel.
__attribute__((target("ssse3"))) void extractSsse3(const std::uint8_t *source, std::uint8_t *out,
                                                    std::size_t pixels, Channel channel)
{
    const __m128i lane0 = _mm_setr_epi8(0, 0, 0, 3, 3, 3, 6, 6, 6, 9, 9, 9, 12, 12, 12, 15);
    const __m128i lane1 = _mm_setr_epi8(0, 0, 3, 3, 3, 6, 6, 6, 9, 9, 9, 12, 12, 12, 15, 15);
    const __m128i lane2 = _mm_setr_epi8(0, 3, 3, 3, 6, 6, 6, 9, 9, 9, 12, 12, 12, 15, 15, 15);
    const std::uint8_t *in = source + static_cast<int>(channel);
    std::size_t done = 0;
    // The last load ends at in + 45, at most source + 47: inside the block.
    for (; done + 16 <= pixels; done += 16) {
        const std::uint8_t *block = in + 3 * done;
        __m128i *dest = reinterpret_cast<__m128i *>(out + 3 * done);
        _mm_storeu_si128(dest, _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(block)), lane0));
        _mm_storeu_si128(dest + 1,
                         _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(block + 15)), lane1));
        _mm_storeu_si128(dest + 2,
                         _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(block + 30)), lane2));
    }
    ExtractChannelPortable(source + 3 * done, out + 3 * done, pixels - done, channel);
}

bool haveSsse3()
{
    static const bool have = __builtin_cpu_supports("ssse3");
    return have;
}

} // namespace
#endif

void ExtractChannel(const std::uint8_t *source, std::uint8_t *out, std::size_t pixels, Channel channel)
{
#ifdef PRISMORA_HAVE_SSSE3
    if (haveSsse3()) {
        extractSsse3(source, out, pixels, channel);
        return;
    }
#endif
    ExtractChannelPortable(source, out, pixels, channel);
}
