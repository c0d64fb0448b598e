// dunsiple's fused dither and pack on x86-64: SSE2, which every such processor
// has, and AVX2, compiled for that unit alone and run where cpuFeatures finds it.

#include "dunsiple/dither_kernels.h"

#include <cstring>
#include <immintrin.h>

#if !defined(__x86_64__)
#error "dither_x86.cpp is for x86-64 builds only"
#endif

namespace dunsiple {

namespace {

// The comparison used throughout: (value >> 2) >= t for a threshold t of
// 1..64 is value >= 4t, that is value > 4t - 1 with 4t - 1 in 3..255 (255,
// for t = 64, is never exceeded, as the rule has it). x86 compares bytes
// only as signed numbers, so both sides get their top bit flipped, which
// keeps the unsigned order: (value ^ 0x80) > ((4t - 1) ^ 0x80), signed.
constexpr uint8_t signedLimit(uint8_t threshold)
{
    return static_cast<uint8_t>((4 * threshold - 1) ^ 0x80);
}

// The limits of one period of a row for each row phase. natural[phase][i]
// serves row byte i of the period (component i mod 4 of pixel i / 4), as the
// SSE2 form loads the row. reversed[phase][i] serves row byte i ^ 7: the
// AVX2 form reverses each 8-byte group before comparing (see below).
struct PeriodLimits {
    alignas(32) uint8_t natural[8][kPeriodBytes];
    alignas(32) uint8_t reversed[8][kPeriodBytes];
};

constexpr PeriodLimits makePeriodLimits()
{
    PeriodLimits table = {};
    for (size_t phase = 0; phase < 8; phase++)
        for (size_t i = 0; i < kPeriodBytes; i++) {
            table.natural[phase][i] = signedLimit(ditherMatrix[8 * (i / kBytesPerPixel) + phase]);
            table.reversed[phase][i] = signedLimit(ditherMatrix[8 * ((i ^ 7) / kBytesPerPixel) + phase]);
        }
    return table;
}

constexpr PeriodLimits periodLimits = makePeriodLimits();

} // namespace

// Sixteen row bytes against their limits, each passing byte replaced by its
// bit in the packed byte (`bitOfByte`: 0x80 for the first byte of an 8-byte
// group down to 0x01 for the last) and each failing one by 0; then each
// 8-byte group added up (no carries: its bits all differ) into the low byte
// of its 64-bit half, the rest of which is 0.
static inline __m128i sse2Sums(const uint8_t *row, __m128i limits, __m128i bitOfByte)
{
    const __m128i flip = _mm_set1_epi8(static_cast<char>(0x80));
    __m128i values = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(row)), flip);
    __m128i placed = _mm_and_si128(_mm_cmpgt_epi8(values, limits), bitOfByte);
    return _mm_sad_epu8(placed, _mm_setzero_si128());
}

// Sixteen pixels: 64 row bytes to 8 packed bytes, stored to `out` (8 bytes).
// The four sums hold packed bytes 0 to 7 in their 64-bit halves, two each;
// narrowing twice to 16-bit lanes (the values are at most 255, so the signed
// saturation keeps them) and once to bytes puts them in order.
static inline void sse2Step(const uint8_t *row, const __m128i limits[2], __m128i bitOfByte, uint8_t *out)
{
    __m128i first = _mm_packs_epi32(sse2Sums(row, limits[0], bitOfByte), sse2Sums(row + 16, limits[1], bitOfByte));
    __m128i second = _mm_packs_epi32(sse2Sums(row + 32, limits[0], bitOfByte), sse2Sums(row + 48, limits[1], bitOfByte));
    __m128i packed = _mm_packus_epi16(_mm_packs_epi32(first, second), _mm_setzero_si128());
    _mm_storel_epi64(reinterpret_cast<__m128i *>(out), packed);
}

void ditherPackSse2(const uint8_t *row, size_t pixels, uint32_t phase, uint8_t *out)
{
    // A period is 32 bytes: the two vectors of limits serve its halves, the
    // first half of every 32-byte block of the row being a period's start.
    __m128i limits[2];
    limits[0] = _mm_load_si128(reinterpret_cast<const __m128i *>(periodLimits.natural[phase]));
    limits[1] = _mm_load_si128(reinterpret_cast<const __m128i *>(periodLimits.natural[phase] + 16));
    const __m128i bitOfByte = _mm_set1_epi64x(static_cast<long long>(0x0102040810204080ull));

    // Invariants: x is a multiple of 16 and x + 16 <= whole <= pixels, so the
    // step reads row bytes [4x, 4x + 64) within the row's 4 x pixels and
    // writes packed bytes [x / 2, x / 2 + 8) within the pixels / 2 of `out`.
    // The loads and the 8-byte store take any alignment.
    size_t whole = pixels - pixels % kStepPixels;
    size_t x = 0;
    for (; x < whole; x += kStepPixels)
        sse2Step(row + x * kBytesPerPixel, limits, bitOfByte, out + x / 2);

    // The last 0 to 15 pixels, copied into a step-sized block of zeros; their
    // columns continue the period from 0, as the loop left it. Only their
    // (pixels - x) / 2 whole packed bytes are kept: the last pixel of an odd
    // row goes, as in packRow.
    size_t left = pixels - x;
    if (left >= 2) {
        uint8_t block[kStepBytes] = {};
        uint8_t packed[kStepPixels / 2];
        std::memcpy(block, row + x * kBytesPerPixel, left * kBytesPerPixel);
        sse2Step(block, limits, bitOfByte, packed);
        std::memcpy(out + x / 2, packed, left / 2);
    }
}

// Thirty-two row bytes against their limits, each 8-byte group first turned
// round (byte 8j + k to 8j + 7 - k, the limits laid out to match), so that
// movemask's bit 8j + k, the result of row byte 8j + 7 - k, lands where the
// packed layout wants row byte 8j + 7 - k: byte j, bit k. Bit order: byte j
// of the result is packed byte j.
__attribute__((target("avx2"))) static inline uint32_t avx2Bits(const uint8_t *row, __m256i limits)
{
    const __m256i reverseGroups =
        _mm256_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8, //
                         7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8);
    const __m256i flip = _mm256_set1_epi8(static_cast<char>(0x80));
    __m256i values = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(row));
    values = _mm256_xor_si256(_mm256_shuffle_epi8(values, reverseGroups), flip);
    return static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpgt_epi8(values, limits)));
}

// Sixteen pixels: 64 row bytes to 8 packed bytes, stored to `out` (8 bytes).
__attribute__((target("avx2"))) static inline void avx2Step(const uint8_t *row, __m256i limits, uint8_t *out)
{
    uint64_t bits = avx2Bits(row, limits);
    bits |= static_cast<uint64_t>(avx2Bits(row + 32, limits)) << 32;
    std::memcpy(out, &bits, sizeof bits);
}

__attribute__((target("avx2"))) void ditherPackAvx2(const uint8_t *row, size_t pixels, uint32_t phase,
                                                    uint8_t *out)
{
    // One vector of limits is a whole period, and so serves every 32 bytes.
    __m256i limits = _mm256_load_si256(reinterpret_cast<const __m256i *>(periodLimits.reversed[phase]));

    // Invariants as in ditherPackSse2: x is a multiple of 16, x + 16 <=
    // whole <= pixels; the step reads row bytes [4x, 4x + 64) and writes
    // packed bytes [x / 2, x / 2 + 8), all within the buffers; any alignment.
    size_t whole = pixels - pixels % kStepPixels;
    size_t x = 0;
    for (; x < whole; x += kStepPixels)
        avx2Step(row + x * kBytesPerPixel, limits, out + x / 2);

    // The last 0 to 15 pixels through a zeroed block, as in ditherPackSse2.
    size_t left = pixels - x;
    if (left >= 2) {
        uint8_t block[kStepBytes] = {};
        uint8_t packed[kStepPixels / 2];
        std::memcpy(block, row + x * kBytesPerPixel, left * kBytesPerPixel);
        avx2Step(block, limits, packed);
        std::memcpy(out + x / 2, packed, left / 2);
    }
}

} // namespace dunsiple
