#include "bitmap/channelsplit.h"

#include <vector>

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

// 64 pixels (192 bytes) at a time: each 64-byte output block is one byte
// permutation of a 64-byte load that starts at that block's first pixel.
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) void extractAvx512(const std::uint8_t *source,
                                                                          std::uint8_t *out, std::size_t pixels,
                                                                          Channel channel)
{
    alignas(64) std::uint8_t lanes[3][64];
    for (int j = 0; j < 3; ++j)
        for (int i = 0; i < 64; ++i) // output byte 64j + i is pixel (64j + i) / 3; the block's load starts at pixel 21j
            lanes[j][i] = static_cast<std::uint8_t>(3 * ((64 * j + i) / 3) - 63 * j);
    const __m512i lane0 = _mm512_load_si512(lanes[0]);
    const __m512i lane1 = _mm512_load_si512(lanes[1]);
    const __m512i lane2 = _mm512_load_si512(lanes[2]);
    const __mmask64 kAll = ~__mmask64{0}; // the unmasked form trips a false warning of GCC 12
    const std::uint8_t *in = source + static_cast<int>(channel);
    std::size_t done = 0;
    // The last load ends at in + 189, at most source + 191: inside the block.
    for (; done + 64 <= pixels; done += 64) {
        const std::uint8_t *block = in + 3 * done;
        std::uint8_t *dest = out + 3 * done;
        _mm512_storeu_si512(dest, _mm512_maskz_permutexvar_epi8(kAll, lane0, _mm512_loadu_si512(block)));
        _mm512_storeu_si512(dest + 64, _mm512_maskz_permutexvar_epi8(kAll, lane1, _mm512_loadu_si512(block + 63)));
        _mm512_storeu_si512(dest + 128, _mm512_maskz_permutexvar_epi8(kAll, lane2, _mm512_loadu_si512(block + 126)));
    }
    extractSsse3(source + 3 * done, out + 3 * done, pixels - done, channel);
}

} // namespace
#endif

std::vector<ChannelExtractor> FastChannelExtractors()
{
    std::vector<ChannelExtractor> fast;
#ifdef PRISMORA_HAVE_SSSE3
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi"))
        fast.push_back({"avx512vbmi", extractAvx512});
    if (__builtin_cpu_supports("ssse3"))
        fast.push_back({"ssse3", extractSsse3});
#endif
    return fast;
}

void ExtractChannel(const std::uint8_t *source, std::uint8_t *out, std::size_t pixels, Channel channel)
{
    static const auto best = [] {
        const std::vector<ChannelExtractor> fast = FastChannelExtractors();
        return fast.empty() ? ExtractChannelPortable : fast.front().extract;
    }();
    best(source, out, pixels, channel);
}
