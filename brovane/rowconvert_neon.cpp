// Row conversions in NEON: part of every aarch64; on 32-bit ARM this file
// alone is built for NEON, and its code runs only where the kernel reports it.

#include "brovane/rowconvert.h"

#if defined(__ARM_NEON)
#include <arm_neon.h>
#endif

namespace brovane {

#if defined(__ARM_NEON)

// Each output byte of the 1-bit packing is the sum of its eight pixels'
// ink lanes weighted by their bit, pixel 0 at bit 7.
constexpr uint8_t kBitWeights[16] = {128, 64, 32, 16, 8, 4, 2, 1, 128, 64, 32, 16, 8, 4, 2, 1};

// Where each byte of a channel tripled (48 bytes from 16) comes from: byte
// 16k + i of the tripled channel is byte (16k + i) / 3 of the channel.
constexpr uint8_t kTriple[3][16] = {{0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5},
                                    {5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10},
                                    {10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15}};

// The sums of neighbouring bytes, those of a first, then those of b.
static inline uint8x16_t pairSums(uint8x16_t a, uint8x16_t b)
{
#if defined(__aarch64__)
    return vpaddq_u8(a, b);
#else
    return vcombine_u8(vpadd_u8(vget_low_u8(a), vget_high_u8(a)), vpadd_u8(vget_low_u8(b), vget_high_u8(b)));
#endif
}

// Bytes of `table` picked by `index` (each below 16).
static inline uint8x16_t pick(uint8x16_t table, uint8x16_t index)
{
#if defined(__aarch64__)
    return vqtbl1q_u8(table, index);
#else
    uint8x8x2_t halves = {{vget_low_u8(table), vget_high_u8(table)}};
    return vcombine_u8(vtbl2_u8(halves, vget_low_u8(index)), vtbl2_u8(halves, vget_high_u8(index)));
#endif
}

// 1-bit packing, 64 pixels (four vectors) to 8 bytes a step: ink lanes
// (below 128) keep their bit's weight, and three rounds of pairwise sums
// add each group of eight into one byte, in pixel order. Invariant: b <
// blocks = pixels / 64, so the reads at 64b lie within the pixels; the
// 8-byte store at 8b ends before 64b + 64, where the next step reads, so the
// packing in place never overwrites a pixel still to be read.
static uint32_t packMonochromeNeon(uint8_t *line, uint32_t pixels)
{
    const uint8x16_t weights = vld1q_u8(kBitWeights);
    const uint8x16_t paper = vdupq_n_u8(128);
    uint32_t blocks = pixels / 64;
    for (uint32_t b = 0; b < blocks; b++) {
        const uint8_t *in = line + 64 * static_cast<size_t>(b);
        uint8x16_t a = vandq_u8(vcltq_u8(vld1q_u8(in), paper), weights);
        uint8x16_t c = vandq_u8(vcltq_u8(vld1q_u8(in + 16), paper), weights);
        uint8x16_t d = vandq_u8(vcltq_u8(vld1q_u8(in + 32), paper), weights);
        uint8x16_t e = vandq_u8(vcltq_u8(vld1q_u8(in + 48), paper), weights);
        uint8x16_t quads = pairSums(pairSums(a, c), pairSums(d, e));
        vst1_u8(line + 8 * static_cast<size_t>(b), vpadd_u8(vget_low_u8(quads), vget_high_u8(quads)));
    }
    return packMonochromeFrom(line, pixels, blocks * 8);
}

// RGB widened 2, 3 or 4 times, 16 pixels a step: the channels loaded apart,
// each channel's bytes repeated (zipped with themselves, or picked three
// times), stored interleaved again. Invariant: b < blocks, so each read lies
// within the 48 x blocks input bytes and each store within the step's
// 48 x scale output bytes.
static void widenRgbNeon(const uint8_t *line, uint32_t blocks, uint32_t scale, uint8_t *wide)
{
    for (uint32_t b = 0; b < blocks; b++, line += 48, wide += 48 * static_cast<size_t>(scale)) {
        uint8x16x3_t rgb = vld3q_u8(line);
        if (scale == 3) {
            for (uint32_t k = 0; k < 3; k++) {
                uint8x16_t index = vld1q_u8(kTriple[k]);
                uint8x16x3_t out = {{pick(rgb.val[0], index), pick(rgb.val[1], index), pick(rgb.val[2], index)}};
                vst3q_u8(wide + 48 * k, out);
            }
            continue;
        }
        uint8x16x2_t r = vzipq_u8(rgb.val[0], rgb.val[0]);
        uint8x16x2_t g = vzipq_u8(rgb.val[1], rgb.val[1]);
        uint8x16x2_t bl = vzipq_u8(rgb.val[2], rgb.val[2]);
        if (scale == 2) {
            uint8x16x3_t first = {{r.val[0], g.val[0], bl.val[0]}};
            uint8x16x3_t second = {{r.val[1], g.val[1], bl.val[1]}};
            vst3q_u8(wide, first);
            vst3q_u8(wide + 48, second);
            continue;
        }
        for (uint32_t half = 0; half < 2; half++) {
            uint8x16x2_t r4 = vzipq_u8(r.val[half], r.val[half]);
            uint8x16x2_t g4 = vzipq_u8(g.val[half], g.val[half]);
            uint8x16x2_t b4 = vzipq_u8(bl.val[half], bl.val[half]);
            uint8x16x3_t first = {{r4.val[0], g4.val[0], b4.val[0]}};
            uint8x16x3_t second = {{r4.val[1], g4.val[1], b4.val[1]}};
            vst3q_u8(wide + 96 * half, first);
            vst3q_u8(wide + 96 * half + 48, second);
        }
    }
}

// Grey widened 2, 3 or 4 times (3 times is grey to RGB), 16 pixels a step:
// the vector stored interleaved with itself. Invariant as for widenRgbNeon,
// with 16 x blocks input bytes and 16 x scale output bytes a step.
static void widenGreyNeon(const uint8_t *line, uint32_t blocks, uint32_t scale, uint8_t *wide)
{
    for (uint32_t b = 0; b < blocks; b++, line += 16, wide += 16 * static_cast<size_t>(scale)) {
        uint8x16_t g = vld1q_u8(line);
        if (scale == 2) {
            uint8x16x2_t two = {{g, g}};
            vst2q_u8(wide, two);
        } else if (scale == 3) {
            uint8x16x3_t three = {{g, g, g}};
            vst3q_u8(wide, three);
        } else {
            uint8x16x4_t four = {{g, g, g, g}};
            vst4q_u8(wide, four);
        }
    }
}

// Pixels of 1 or 3 bytes widened 2 to 4 times go 16 a step: the line's
// whole steps, then, where pixels are left over, one more step that ends at
// the line's last pixel. That step overlaps the one before it and stores
// the same bytes there again, so nothing outside the line and its output
// is touched (input and output never overlap). Every other size and factor,
// and lines of fewer than 16 pixels, take the portable code.
static void widenPixelsNeon(const uint8_t *line, uint32_t pixels, uint32_t pixelSize, uint32_t scale, uint8_t *wide)
{
    if ((pixelSize != 1 && pixelSize != 3) || scale < 2 || scale > 4 || pixels < 16) {
        widenPixels(line, pixels, pixelSize, scale, wide);
        return;
    }
    void (*steps)(const uint8_t *, uint32_t, uint32_t, uint8_t *) = pixelSize == 3 ? widenRgbNeon : widenGreyNeon;
    steps(line, pixels / 16, scale, wide);
    if (pixels % 16 != 0) {
        size_t last = pixels - 16;
        steps(line + last * pixelSize, 1, scale, wide + last * pixelSize * scale);
    }
}

// Grey to RGB is grey widened three times.
static void greyToRgbNeon(const uint8_t *grey, uint32_t pixels, uint8_t *rgb)
{
    widenPixelsNeon(grey, pixels, 1, 3, rgb);
}

constexpr RowConversions kNeonRows = {"neon", packMonochromeNeon, greyToRgbNeon, widenPixelsNeon};

const RowConversions *neonRowConversions()
{
    return &kNeonRows;
}

#else

const RowConversions *neonRowConversions()
{
    return nullptr;
}

#endif

} // namespace brovane
