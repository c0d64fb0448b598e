// The dither, the packing and the row buffer sizes: the matrix, the fast
// ditherRow against the per-pixel rule, the packed layout, coverage, limits.

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
