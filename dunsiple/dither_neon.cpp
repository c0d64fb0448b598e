// dunsiple's fused dither and pack with NEON: part of every aarch64; on 32-bit
// ARM built with -mfpu=neon and run only where the kernel reports the unit.

#include "dunsiple/dither_kernels.h"

#include <cstring>

#if !defined(__ARM_NEON)
#error "dither_neon.cpp needs NEON enabled (-mfpu=neon on 32-bit ARM)"
#endif
#include <arm_neon.h>

// Only this file's own code may be built with NEON on 32-bit ARM: it includes
// no header that defines functions (arm_neon.h's are always inlined), so no
// copy of a shared inline function compiled here can stand in for the
// program's own on a processor without the unit.

namespace dunsiple {

namespace {

// The limits of one period of a row for each row phase: byte i serves row
// byte i of a period (component i mod 4 of pixel i / 4). (value >> 2) >= t
// for a threshold t of 1..64 is value >= 4t, that is value > 4t - 1, an
// unsigned comparison with 4t - 1 in 3..255; 255 (t = 64) is never exceeded.
struct PeriodLimits {
    alignas(16) uint8_t bytes[8][kPeriodBytes];
};

constexpr PeriodLimits makePeriodLimits()
{
    PeriodLimits table = {};
    for (size_t phase = 0; phase < 8; phase++)
        for (size_t i = 0; i < kPeriodBytes; i++)
            table.bytes[phase][i] = static_cast<uint8_t>(4 * ditherMatrix[8 * (i / kBytesPerPixel) + phase] - 1);
    return table;
}

constexpr PeriodLimits periodLimits = makePeriodLimits();

// The place of each row byte of an 8-byte group in its packed byte: the
// first at the top bit.
constexpr uint8_t kBitOfByte[16] = {0x80, 0x40, 0x20, 0x10, 0x08, 0x04, 0x02, 0x01,
                                    0x80, 0x40, 0x20, 0x10, 0x08, 0x04, 0x02, 0x01};

} // namespace

// Sixteen row bytes against their limits, each passing byte replaced by its
// bit in the packed byte and each failing one by 0.
static inline uint8x16_t placedBits(const uint8_t *row, uint8x16_t limits, uint8x16_t bitOfByte)
{
    return vandq_u8(vcgtq_u8(vld1q_u8(row), limits), bitOfByte);
}

// Sixteen pixels: 64 row bytes to 8 packed bytes, stored to `out` (8 bytes).
// Adding each 8-byte group's placed bits (all different, so no carries) makes
// its packed byte; three rounds of pairwise sums add groups of 2, 4 and 8
// neighbouring bytes, leaving packed byte j in lane j.
static inline void neonStep(const uint8_t *row, const uint8x16_t limits[2], uint8x16_t bitOfByte, uint8_t *out)
{
    uint8x16_t a = placedBits(row, limits[0], bitOfByte);
    uint8x16_t b = placedBits(row + 16, limits[1], bitOfByte);
    uint8x16_t c = placedBits(row + 32, limits[0], bitOfByte);
    uint8x16_t d = placedBits(row + 48, limits[1], bitOfByte);
#if defined(__aarch64__)
    uint8x16_t pairs = vpaddq_u8(vpaddq_u8(a, b), vpaddq_u8(c, d));
    uint8x8_t packed = vpadd_u8(vget_low_u8(pairs), vget_high_u8(pairs));
#else
    uint8x8_t ab = vpadd_u8(vpadd_u8(vget_low_u8(a), vget_high_u8(a)), vpadd_u8(vget_low_u8(b), vget_high_u8(b)));
    uint8x8_t cd = vpadd_u8(vpadd_u8(vget_low_u8(c), vget_high_u8(c)), vpadd_u8(vget_low_u8(d), vget_high_u8(d)));
    uint8x8_t packed = vpadd_u8(ab, cd);
#endif
    // vst1_u8 stores byte by byte in lane order: no alignment needed.
    vst1_u8(out, packed);
}

void ditherPackNeon(const uint8_t *row, size_t pixels, uint32_t phase, uint8_t *out)
{
    // A period is 32 bytes: the two vectors of limits serve its halves, the
    // first half of every 32-byte block of the row being a period's start.
    uint8x16_t limits[2] = {vld1q_u8(periodLimits.bytes[phase]), vld1q_u8(periodLimits.bytes[phase] + 16)};
    uint8x16_t bitOfByte = vld1q_u8(kBitOfByte);

    // Invariants: x is a multiple of 16 and x + 16 <= whole <= pixels, so the
    // step reads row bytes [4x, 4x + 64) within the row's 4 x pixels and
    // writes packed bytes [x / 2, x / 2 + 8) within the pixels / 2 of `out`.
    // vld1q_u8 and vst1_u8 take any alignment.
    size_t whole = pixels - pixels % kStepPixels;
    size_t x = 0;
    for (; x < whole; x += kStepPixels)
        neonStep(row + x * kBytesPerPixel, limits, bitOfByte, out + x / 2);

    // The last 0 to 15 pixels, copied into a step-sized block of zeros; their
    // columns continue the period from 0, as the loop left it. Only their
    // (pixels - x) / 2 whole packed bytes are kept: the last pixel of an odd
    // row goes, as in packRow.
    size_t left = pixels - x;
    if (left >= 2) {
        uint8_t block[kStepBytes] = {};
        uint8_t packed[kStepPixels / 2];
        std::memcpy(block, row + x * kBytesPerPixel, left * kBytesPerPixel);
        neonStep(block, limits, bitOfByte, packed);
        std::memcpy(out + x / 2, packed, left / 2);
    }
}

} // namespace dunsiple
