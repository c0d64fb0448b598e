// The dither, the packing and the row buffer sizes: the matrix, the fast
// ditherRow and every fused form against the per-pixel rule, the packed layout, limits.

#include "dunsiple/dither.h"
#include "dunsiple/driver.h"

#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using DitherFn = void (*)(const uint8_t *, int32_t, uint8_t *);
const DitherFn kForms[2] = {dunsiple::ditherRowReference, dunsiple::ditherRow};

// One row dithered by `form` at row counter `counter`, then packed.
Bytes packedRow(DitherFn form, const Bytes &row, uint32_t counter)
{
    int32_t pixels = static_cast<int32_t>(row.size() / 4);
    Bytes work(row.size(), 0);
    dunsiple::dither.rowCounter = counter;
    form(row.data(), pixels, work.data());
    dunsiple::packRow(work.data(), pixels / 2);
    work.resize(static_cast<size_t>(pixels / 2));
    return work;
}

TEST(DitherMatrix, IsTheRecursiveBayerMatrixPlusOneStoredByColumn)
{
    // B(2n) = [[4B, 4B+2], [4B+3, 4B+1]], grown in place from B(1) = [0].
    int b[8][8] = {{0}};
    for (int n = 1; n < 8; n *= 2)
        for (int y = n - 1; y >= 0; y--)
            for (int x = n - 1; x >= 0; x--) {
                int v = 4 * b[y][x];
                b[y][x] = v, b[y][x + n] = v + 2, b[y + n][x] = v + 3, b[y + n][x + n] = v + 1;
            }
    const int firstRow[8] = {0, 32, 8, 40, 2, 34, 10, 42}, firstColumn[8] = {0, 48, 12, 60, 3, 51, 15, 63};
    for (int i = 0; i < 8; i++)
        ASSERT_TRUE(b[0][i] == firstRow[i] && b[i][0] == firstColumn[i]);
    for (int x = 0; x < 8; x++)
        for (int y = 0; y < 8; y++)
            EXPECT_EQ(dunsiple::ditherMatrix[8 * x + y], b[y][x] + 1) << "column " << x << " row " << y;
}

TEST(DitherRow, MatchesTheRuleForEveryValueColumnPhaseAndWidth)
{
    // The first 2048 pixels put every value into every component at every
    // column (pixel 8v + c; magenta, yellow and black hold bijections of v);
    // the rest are random, a quarter blank. Rows start one byte off
    // alignment; ditherRow gets stale work bytes and a guard zone after them.
    std::mt19937 random(20240611);
    Bytes row(4 * 4959 + 1);
    for (size_t x = 0; x < 4959; x++) {
        uint8_t v = static_cast<uint8_t>(x / 8);
        uint8_t pixel[4] = {v, static_cast<uint8_t>(255 - v), static_cast<uint8_t>(v ^ 0xAA), static_cast<uint8_t>(v * 3)};
        if (x >= 2048)
            for (uint8_t &c : pixel)
                c = random() % 4 == 0 ? 0 : static_cast<uint8_t>(random());
        std::memcpy(&row[1 + 4 * x], pixel, 4);
    }
    for (int32_t width : {-3, 0, 1, 2, 3, 5, 7, 8, 9, 15, 17, 31, 33, 65, 2048, 4958, 4959})
        for (uint32_t phase = 0; phase < 8; phase++) {
            size_t bytes = width > 0 ? 4 * static_cast<size_t>(width) : 0;
            uint32_t counter = phase + 8 * static_cast<uint32_t>(random() % 1000);
            Bytes expected(bytes, 0), got(bytes + 17, 0xA5);
            dunsiple::dither.rowCounter = counter;
            dunsiple::ditherRowReference(row.data() + 1, width, expected.data());
            ASSERT_EQ(dunsiple::dither.rowCounter, counter + 1);
            dunsiple::dither.rowCounter = counter;
            dunsiple::ditherRow(row.data() + 1, width, got.data() + 1);
            ASSERT_EQ(dunsiple::dither.rowCounter, counter + 1);
            expected.insert(expected.begin(), 0xA5);
            expected.resize(bytes + 17, 0xA5);
            ASSERT_EQ(got, expected) << "width " << width << " phase " << phase;
        }
}

TEST(DitherPackRow, EveryFormMatchesTheRuleAndPackRow)
{
    // Pixels 0 to 2047 put every value into every component at every column,
    // as above; 2048 to 6143 are random, a quarter blank. Wide rows start at
    // pixel 0; rows of 1 to 40 pixels (every tail of every vector step, and
    // up to two and a half steps of the widest) start at a pixel that moves
    // with the row phase, in the random part. Each row is copied to an input
    // offset and written to an output offset, so that no form can rely on
    // alignment, and the bytes around `out`'s 4 x pixels must stay as they were.
    std::mt19937 random(20250301);
    const size_t kPixels = 6144;
    Bytes source(4 * kPixels);
    for (size_t x = 0; x < kPixels; x++) {
        uint8_t v = static_cast<uint8_t>(x / 8);
        uint8_t pixel[4] = {v, static_cast<uint8_t>(255 - v), static_cast<uint8_t>(v ^ 0xAA), static_cast<uint8_t>(v * 3)};
        if (x >= 2048)
            for (uint8_t &c : pixel)
                c = random() % 4 == 0 ? 0 : static_cast<uint8_t>(random());
        std::memcpy(&source[4 * x], pixel, 4);
    }
    std::vector<int32_t> widths = {-1, 0, 2047, 2048, 2049, 2063, 4095, 6143, 6144};
    for (int32_t w = 1; w <= 40; w++)
        widths.push_back(w);

    for (uint8_t f = 0; f < dunsiple::kDitherForms; f++) {
        dunsiple::DitherForm form = static_cast<dunsiple::DitherForm>(f);
        if (!dunsiple::ditherFormAvailable(form))
            continue;
        for (int32_t width : widths)
            for (uint32_t phase = 0; phase < 8; phase++) {
                size_t pixels = width > 0 ? static_cast<size_t>(width) : 0;
                size_t first = pixels <= 40 ? 2048 + 97 * phase : 0;
                Bytes row(source.begin() + 4 * first, source.begin() + 4 * (first + pixels));
                uint32_t counter = phase + 8 * static_cast<uint32_t>(random() % 1000);
                // The rule on a cleared work row, then packRow.
                Bytes expected(4 * pixels, 0);
                dunsiple::dither.rowCounter = counter;
                dunsiple::ditherRowReference(row.data(), width, expected.data());
                dunsiple::packRow(expected.data(), width / 2);
                expected.resize(pixels / 2);
                for (size_t inOffset : {0, 1, 5, 31})
                    for (size_t outOffset : {0, 3, 17}) {
                        Bytes input(inOffset + row.size());
                        std::copy(row.begin(), row.end(), input.begin() + inOffset);
                        Bytes out(outOffset + 4 * pixels + 16, 0xA5);
                        dunsiple::dither.rowCounter = counter;
                        dunsiple::ditherPackRowWith(form, input.data() + inOffset, width, out.data() + outOffset);
                        ASSERT_EQ(dunsiple::dither.rowCounter, counter + 1);
                        Bytes packed(out.begin() + outOffset, out.begin() + outOffset + pixels / 2);
                        ASSERT_EQ(packed, expected) << "form " << int(f) << " width " << width << " phase " << phase
                                                    << " offsets " << inOffset << " " << outOffset;
                        // Nothing outside the 4 x pixels bytes that `out` lends is touched.
                        ASSERT_EQ(Bytes(out.begin(), out.begin() + outOffset), Bytes(outOffset, 0xA5));
                        ASSERT_EQ(Bytes(out.end() - 16, out.end()), Bytes(16, 0xA5)) << "form " << int(f);
                    }
            }
    }
}

TEST(DitherPackRow, TheFilterRunsTheWidestFormThisProcessorHas)
{
    using namespace dunsiple;
    DitherForm chosen = chosenDitherForm();
    ASSERT_TRUE(ditherFormAvailable(chosen));
#if defined(__x86_64__)
    ASSERT_TRUE(ditherFormAvailable(kDitherSse2));
    EXPECT_EQ(chosen, ditherFormAvailable(kDitherAvx2) ? kDitherAvx2 : kDitherSse2);
#elif defined(__aarch64__) || defined(__arm__)
#if defined(FILTERS_EXPECT_VECTOR) || defined(__aarch64__)
    // Emulated ARM processors have NEON: a portable run there would leave
    // the NEON form untested.
    ASSERT_TRUE(ditherFormAvailable(kDitherNeon));
#endif
    EXPECT_EQ(chosen, ditherFormAvailable(kDitherNeon) ? kDitherNeon : kDitherPortable);
#elif defined(FILTERS_EXPECT_VECTOR)
    ADD_FAILURE() << "no vector form for this processor, but the build expects one";
#endif

    // The filter's own entry gives the chosen form's bytes, row after row.
    std::mt19937 random(99);
    Bytes row(4 * 1001);
    for (uint8_t &b : row)
        b = static_cast<uint8_t>(random());
    for (uint32_t y = 0; y < 8; y++) {
        Bytes expected(row.size()), got(row.size());
        dither.rowCounter = y;
        ditherPackRowWith(chosen, row.data(), 1001, expected.data());
        dither.rowCounter = y;
        ditherPackRow(row.data(), 1001, got.data());
        expected.resize(500);
        got.resize(500);
        EXPECT_EQ(got, expected) << "row phase " << y;
    }
}

TEST(PackRow, FirstPixelInTheHighNibbleCyanToBlackFromTheTopBit)
{
    for (int bit = 0; bit < 8; bit++) {
        Bytes work(16, 0);
        work[8 + bit] = 1;
        dunsiple::packRow(work.data(), 2);
        EXPECT_EQ(work[0], 0);
        EXPECT_EQ(work[1], 0x80 >> bit) << "work byte " << bit;
    }
    // In place over a long row, only the lowest bit of each work byte counting.
    std::mt19937 random(7);
    Bytes work(8 * 2479);
    for (uint8_t &b : work)
        b = static_cast<uint8_t>(random());
    Bytes expected(work);
    for (size_t j = 0; j < 2479; j++) {
        expected[j] = 0;
        for (size_t b = 0; b < 8; b++)
            expected[j] = static_cast<uint8_t>(expected[j] | (work[8 * j + b] & 1) << (7 - b));
    }
    dunsiple::packRow(work.data(), 2479);
    EXPECT_EQ(work, expected);
}

TEST(Dither, FullInkLeavesOnlyThresholdSixtyFourClear)
{
    for (DitherFn form : kForms)
        for (uint32_t phase = 0; phase < 8; phase++) {
            Bytes expected(8, 0xFF);
            if (phase == 7)
                expected = {0x0F, 0xFF, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF};
            EXPECT_EQ(packedRow(form, Bytes(64, 255), phase + 16), expected) << "phase " << phase;
        }
}

TEST(Dither, ValueSetsValueOverFourOfATilesPositions)
{
    // Two tiles (16 x 8): 1 to 3 set nothing, 128 half of each, 255 all but one.
    for (DitherFn form : kForms)
        for (int v = 0; v < 256; v++) {
            int counts[4] = {0, 0, 0, 0};
            Bytes row;
            for (int x = 0; x < 16; x++)
                row.insert(row.end(), {uint8_t(v), uint8_t(255 - v), uint8_t(v), 0});
            for (uint32_t y = 0; y < 8; y++)
                for (uint8_t b : packedRow(form, row, y))
                    for (int bit = 0; bit < 8; bit++)
                        counts[3 - bit % 4] += (b >> bit) & 1;
            EXPECT_EQ(counts[0], 2 * (v / 4)) << v;
            EXPECT_EQ(counts[1], 2 * ((255 - v) / 4)) << v;
            EXPECT_EQ(counts[2], 2 * (v / 4)) << v;
            EXPECT_EQ(counts[3], 0) << v;
        }
}

TEST(RowSizes, PpdWidthNeverWrapsAndRowsStayWithinTheLimit)
{
    using dunsiple::kMaxRowPixels;
    EXPECT_EQ(dunsiple::ppdRowPixels(72, 100), 100u);
    EXPECT_EQ(dunsiple::ppdRowPixels(595, 600), 4958u);
    EXPECT_EQ(dunsiple::ppdRowPixels(72, kMaxRowPixels), kMaxRowPixels);
    EXPECT_EQ(dunsiple::ppdRowPixels(72, kMaxRowPixels + 1), 0u);
    // 595 x 7218433 is 339 modulo 2^32: a 32-bit product would give 4 pixels.
    EXPECT_EQ(dunsiple::ppdRowPixels(595, 7218433), 0u);
    EXPECT_EQ(dunsiple::ppdRowPixels(UINT32_MAX, UINT32_MAX), 0u);
    EXPECT_EQ(dunsiple::ppdRowPixels(595, 0), 0u);

    size_t bytes = 0;
    EXPECT_TRUE(dunsiple::rowBufferBytes(5, 24, &bytes)); // padded line
    EXPECT_EQ(bytes, 24u);
    EXPECT_TRUE(dunsiple::rowBufferBytes(10, 8, &bytes)); // line shorter than its pixels
    EXPECT_EQ(bytes, 40u);
    EXPECT_TRUE(dunsiple::rowBufferBytes(kMaxRowPixels, dunsiple::kMaxRowBytes, &bytes));
    EXPECT_FALSE(dunsiple::rowBufferBytes(kMaxRowPixels + 1, 0, &bytes));
    EXPECT_FALSE(dunsiple::rowBufferBytes(1, dunsiple::kMaxRowBytes + 1, &bytes));
    EXPECT_EQ(bytes, dunsiple::kMaxRowBytes);
}

} // namespace
