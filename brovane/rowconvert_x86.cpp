// Row conversions in x86-64 vector instructions: SSE2, which every x86-64
// has, and AVX2 (byte shuffles), used where the processor has it.

#include "brovane/rowconvert.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif
#include <cstring>

// The AVX2 functions are built for AVX2 on their own; the rest of the
// program keeps the x86-64 baseline and calls them only after the check.
#define BROVANE_AVX2 __attribute__((target("avx2")))

namespace brovane {

#if defined(__x86_64__)

// Each output byte of the 1-bit packing is the sum of its eight pixels'
// ink lanes weighted by their bit, pixel 0 at bit 7.
alignas(16) constexpr uint8_t kBitWeights[16] = {128, 64, 32, 16, 8, 4, 2, 1, 128, 64, 32, 16, 8, 4, 2, 1};

// The AVX2 packing reverses the bytes of every 8-byte group, so that the
// byte mask puts pixel 0 of a group at bit 7 of its byte.
alignas(32) constexpr uint8_t kGroupReversal[32] = {7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8,
                                                    7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8};

// Widening by byte shuffles: kWidenBlock pixels a block; each 32-byte output
// vector is shuffled from two 16-byte windows of the block's input, one for
// each 128-bit lane (the shuffle does not cross lanes).
constexpr uint32_t kWidenBlock = 32;
constexpr uint32_t kMaxWidenVectors = 12; // 32 pixels x 3 bytes x 4 copies / 32

struct WidenPlan {
    uint32_t pixelSize;                              // bytes of an input pixel
    uint32_t vectors;                                // output vectors a block, and output bytes a pixel
    uint8_t window[kMaxWidenVectors][2];             // each lane's window start within the block's input
    alignas(32) uint8_t index[kMaxWidenVectors][32]; // each output byte's place in its lane's window
};

// The plan for `size`-byte pixels widened `scale` times. Output byte j of a
// block is input byte (j / (size x scale)) x size + j % size. A lane's 16
// output bytes need at most 12 consecutive input bytes when size x scale >= 2;
// its window starts at the first of them, moved back where it would run past
// the block's input, so every read lies within the block.
constexpr WidenPlan makeWidenPlan(uint32_t size, uint32_t scale)
{
    WidenPlan plan = {};
    uint32_t copyBytes = size * scale;
    uint32_t blockIn = kWidenBlock * size;
    plan.pixelSize = size;
    plan.vectors = copyBytes; // 32 pixels x copyBytes bytes / 32
    for (uint32_t v = 0; v < plan.vectors; v++)
        for (uint32_t lane = 0; lane < 2; lane++) {
            uint32_t first = 32 * v + 16 * lane;
            uint32_t start = first / copyBytes * size;
            if (start + 16 > blockIn)
                start = blockIn - 16;
            plan.window[v][lane] = static_cast<uint8_t>(start);
            for (uint32_t i = 0; i < 16; i++) {
                uint32_t j = first + i;
                plan.index[v][16 * lane + i] = static_cast<uint8_t>(j / copyBytes * size + j % size - start);
            }
        }
    return plan;
}

// True when every index of the plan falls within its 16-byte window.
constexpr bool planFits(const WidenPlan &plan)
{
    for (uint32_t v = 0; v < plan.vectors; v++)
        for (uint32_t i = 0; i < 32; i++)
            if (plan.index[v][i] >= 16)
                return false;
    return plan.vectors <= kMaxWidenVectors;
}

constexpr WidenPlan kGreyTriple = makeWidenPlan(1, 3); // grey to RGB is grey widened 3 times
constexpr WidenPlan kGreyDouble = makeWidenPlan(1, 2);
constexpr WidenPlan kGreyQuadruple = makeWidenPlan(1, 4);
constexpr WidenPlan kRgbDouble = makeWidenPlan(3, 2);
constexpr WidenPlan kRgbTriple = makeWidenPlan(3, 3);
constexpr WidenPlan kRgbQuadruple = makeWidenPlan(3, 4);
static_assert(planFits(kGreyTriple) && planFits(kGreyDouble) && planFits(kGreyQuadruple), "grey plans");
static_assert(planFits(kRgbDouble) && planFits(kRgbTriple) && planFits(kRgbQuadruple), "RGB plans");

// SSE2: 1-bit packing, 64 pixels (four vectors) to 8 bytes a step. A signed
// compare with -1 marks ink (unsigned below 128) as 0xFF; the sum of
// absolute differences adds up each 8-byte group's weighted lanes, and
// narrowing packs bring the eight sums together. Invariant: b < blocks =
// pixels / 64, so the reads at 64b lie within the pixels; the 8-byte store
// at 8b ends before 64b + 64, where the next step reads, so the packing in
// place never overwrites a pixel still to be read.
static uint32_t packMonochromeSse2(uint8_t *line, uint32_t pixels)
{
    const __m128i weights = _mm_load_si128(reinterpret_cast<const __m128i *>(kBitWeights));
    const __m128i paper = _mm_set1_epi8(-1); // every byte above it, signed, is below 128 unsigned
    const __m128i zero = _mm_setzero_si128();
    uint32_t blocks = pixels / 64;
    for (uint32_t b = 0; b < blocks; b++) {
        const uint8_t *in = line + 64 * static_cast<size_t>(b);
        __m128i sums[4];
        for (uint32_t v = 0; v < 4; v++) {
            __m128i grey = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + 16 * v));
            __m128i ink = _mm_cmpgt_epi8(grey, paper);
            sums[v] = _mm_sad_epu8(_mm_and_si128(ink, weights), zero);
        }
        // Each sum is at most 255 and sits in the low word of its 64-bit
        // lane, so the signed packs keep it whole and in order.
        __m128i words = _mm_packs_epi32(_mm_packs_epi32(sums[0], sums[1]), _mm_packs_epi32(sums[2], sums[3]));
        _mm_storel_epi64(reinterpret_cast<__m128i *>(line + 8 * static_cast<size_t>(b)),
                         _mm_packus_epi16(words, words));
    }
    return packMonochromeFrom(line, pixels, blocks * 8);
}

// SSE2: grey doubled or quadrupled by unpacking each byte with itself, 16
// pixels a step; other widenings take the portable code. Invariant: b <
// blocks = pixels / 16, so each read lies within the pixels and each store
// within their pixels x scale output bytes.
static void widenPixelsSse2(const uint8_t *line, uint32_t pixels, uint32_t pixelSize, uint32_t scale, uint8_t *wide)
{
    uint32_t blocks = pixelSize == 1 && (scale == 2 || scale == 4) ? pixels / 16 : 0;
    for (uint32_t b = 0; b < blocks; b++) {
        __m128i grey = _mm_loadu_si128(reinterpret_cast<const __m128i *>(line + 16 * static_cast<size_t>(b)));
        __m128i low = _mm_unpacklo_epi8(grey, grey);
        __m128i high = _mm_unpackhi_epi8(grey, grey);
        __m128i *out = reinterpret_cast<__m128i *>(wide + 16 * static_cast<size_t>(scale) * b);
        if (scale == 2) {
            _mm_storeu_si128(out, low);
            _mm_storeu_si128(out + 1, high);
        } else {
            _mm_storeu_si128(out, _mm_unpacklo_epi16(low, low));
            _mm_storeu_si128(out + 1, _mm_unpackhi_epi16(low, low));
            _mm_storeu_si128(out + 2, _mm_unpacklo_epi16(high, high));
            _mm_storeu_si128(out + 3, _mm_unpackhi_epi16(high, high));
        }
    }
    size_t done = 16 * static_cast<size_t>(blocks);
    widenPixels(line + done, pixels - static_cast<uint32_t>(done), pixelSize, scale, wide + done * scale);
}

// AVX2: 1-bit packing, 32 pixels to 4 bytes a step: the bytes of each 8-byte
// group reversed, their top bits gathered by the byte mask (set where there
// is no ink) and inverted. Invariant: b < blocks = pixels / 32, so the read
// at 32b lies within the pixels; the store at 4b ends before 32b + 32, so
// the packing in place never overwrites a pixel still to be read.
BROVANE_AVX2 static uint32_t packMonochromeAvx2(uint8_t *line, uint32_t pixels)
{
    const __m256i reversal = _mm256_load_si256(reinterpret_cast<const __m256i *>(kGroupReversal));
    uint32_t blocks = pixels / 32;
    for (uint32_t b = 0; b < blocks; b++) {
        __m256i grey = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(line + 32 * static_cast<size_t>(b)));
        uint32_t ink = ~static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_shuffle_epi8(grey, reversal)));
        std::memcpy(line + 4 * static_cast<size_t>(b), &ink, sizeof ink); // x86 is little-endian: byte k first
    }
    return packMonochromeFrom(line, pixels, blocks * 4);
}

// AVX2: `blocks` whole blocks widened by `plan` (pixelSize x 32 bytes in,
// 32 x vectors out, a block). Invariant: each window lies within its
// block's input (planFits and the window rule), each store within the
// block's output.
BROVANE_AVX2 static inline void widenBlocksAvx2(const WidenPlan &plan, const uint8_t *line, uint32_t blocks,
                                                uint8_t *wide)
{
    for (uint32_t b = 0; b < blocks; b++, line += kWidenBlock * plan.pixelSize, wide += 32 * plan.vectors)
        for (uint32_t v = 0; v < plan.vectors; v++) {
            __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i *>(line + plan.window[v][0]));
            __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i *>(line + plan.window[v][1]));
            __m256i both = _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
            __m256i index = _mm256_load_si256(reinterpret_cast<const __m256i *>(plan.index[v]));
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(wide + 32 * v), _mm256_shuffle_epi8(both, index));
        }
}

// AVX2: a line of at least one block, widened by `plan`: its whole blocks,
// then, where pixels are left over, one more block that ends at the line's
// last pixel. That block overlaps the one before it and stores the same
// bytes there again, so nothing outside the line and its output is touched
// (input and output never overlap).
BROVANE_AVX2 static inline void widenLineAvx2(const WidenPlan &plan, const uint8_t *line, uint32_t pixels,
                                              uint8_t *wide)
{
    widenBlocksAvx2(plan, line, pixels / kWidenBlock, wide);
    if (pixels % kWidenBlock != 0) {
        size_t last = pixels - kWidenBlock;
        widenBlocksAvx2(plan, line + last * plan.pixelSize, 1, wide + last * plan.vectors);
    }
}

BROVANE_AVX2 static void greyToRgbAvx2(const uint8_t *grey, uint32_t pixels, uint8_t *rgb)
{
    if (pixels < kWidenBlock)
        greyToRgb(grey, pixels, rgb);
    else
        widenLineAvx2(kGreyTriple, grey, pixels, rgb);
}

// AVX2: the widenings that have a plan go a block at a time; every other
// size and factor, and lines shorter than a block, take the portable code.
BROVANE_AVX2 static void widenPixelsAvx2(const uint8_t *line, uint32_t pixels, uint32_t pixelSize, uint32_t scale,
                                         uint8_t *wide)
{
    const WidenPlan *plan = nullptr;
    if (pixelSize == 3)
        plan = scale == 2 ? &kRgbDouble : scale == 3 ? &kRgbTriple : scale == 4 ? &kRgbQuadruple : nullptr;
    else if (pixelSize == 1)
        plan = scale == 2 ? &kGreyDouble : scale == 3 ? &kGreyTriple : scale == 4 ? &kGreyQuadruple : nullptr;
    if (plan == nullptr || pixels < kWidenBlock)
        widenPixels(line, pixels, pixelSize, scale, wide);
    else if (plan == &kRgbDouble) // the common one, with its plan's numbers built in
        widenLineAvx2(kRgbDouble, line, pixels, wide);
    else
        widenLineAvx2(*plan, line, pixels, wide);
}

// SSE2 has no byte shuffle: its grey to RGB is the portable one.
constexpr RowConversions kSse2Rows = {"sse2", packMonochromeSse2, greyToRgb, widenPixelsSse2};
constexpr RowConversions kAvx2Rows = {"avx2", packMonochromeAvx2, greyToRgbAvx2, widenPixelsAvx2};

const RowConversions *sse2RowConversions()
{
    return &kSse2Rows;
}

const RowConversions *avx2RowConversions()
{
    return &kAvx2Rows;
}

#else

const RowConversions *sse2RowConversions()
{
    return nullptr;
}

const RowConversions *avx2RowConversions()
{
    return nullptr;
}

#endif

} // namespace brovane
