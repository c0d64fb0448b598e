// Row output: 1-bit packing, grey to RGB, widening (portable and vector forms),
// rows past the page and replicas written from one conversion, read back through libcups.

#include "support.h"

#include "brovane/brovane.h"
#include "common/filter.h"
#include "common/rowbatch.h"
#include "urf/urf.h"

#include <csetjmp>
#include <cstring>
#include <fcntl.h>
#include <utility>
#include <vector>
#include <gtest/gtest.h>
#include <unistd.h>

using testsupport::Bytes;

namespace {

TEST(RowConversion, MonochromePacking)
{
    // Below 128 is ink, first pixel in the top bit.
    Bytes line = {0x00, 0x7F, 0x80, 0xFF, 0x10, 0x90, 0x00, 0xFF};
    EXPECT_EQ(brovane::packMonochrome(line.data(), 8), 1u);
    EXPECT_EQ(line[0], 0xCA);

    // 9 pixels give 2 bytes, the 7 pad bits clear; 0 pixels give none.
    Bytes nine = {0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(brovane::packMonochrome(nine.data(), 9), 2u);
    EXPECT_EQ(nine[0], 0xFF);
    EXPECT_EQ(nine[1], 0x80);
    Bytes none = {0x00};
    EXPECT_EQ(brovane::packMonochrome(none.data(), 0), 0u);

    // In place over a long line: byte k never overwrites a pixel still needed.
    Bytes wide(1001);
    Bytes expected((1001 + 7) / 8, 0);
    for (size_t i = 0; i < wide.size(); i++) {
        wide[i] = static_cast<uint8_t>((i * 37) % 256);
        if (wide[i] < 128)
            expected[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
    }
    EXPECT_EQ(brovane::packMonochrome(wide.data(), 1001), expected.size());
    EXPECT_EQ(Bytes(wide.begin(), wide.begin() + static_cast<long>(expected.size())), expected);
}

TEST(RowConversion, GreyToRgbAndWidening)
{
    Bytes grey = {0x5A, 0x00, 0xFF};
    Bytes rgb(9);
    brovane::greyToRgb(grey.data(), 3, rgb.data());
    EXPECT_EQ(rgb, (Bytes{0x5A, 0x5A, 0x5A, 0, 0, 0, 0xFF, 0xFF, 0xFF}));

    Bytes line = {1, 2, 3, 4, 5, 6};
    Bytes wide(18);
    brovane::widenPixels(line.data(), 2, 3, 3, wide.data());
    EXPECT_EQ(wide, (Bytes{1, 2, 3, 1, 2, 3, 1, 2, 3, 4, 5, 6, 4, 5, 6, 4, 5, 6}));
}

// ---- Vector forms against the portable code ------------------------------

// The vector sets this processor runs. Cross builds run under an emulator
// whose processor has NEON, so there a missing set means the vector code was
// left out of the build or not chosen, and fails.
std::vector<const brovane::RowConversions *> vectorSets()
{
    const brovane::RowConversions *sets[brovane::kMaxRowConversionSets];
    uint32_t count = brovane::rowConversionSets(sets);
    EXPECT_STREQ(sets[0]->name, "portable");
#ifdef FILTERS_EXPECT_VECTOR
#if defined(__aarch64__) || defined(__arm__)
    EXPECT_STREQ(sets[count - 1]->name, "neon") << "the emulated processor has NEON, the build must use it";
#endif
    EXPECT_GT(count, 1u) << "no vector form of the row conversions on this processor";
#endif
    return std::vector<const brovane::RowConversions *>(sets + 1, sets + count);
}

// Widths from none through several vector blocks (64 pixels at most) and
// their tails, and some long lines.
std::vector<uint32_t> testWidths()
{
    std::vector<uint32_t> widths;
    for (uint32_t w = 0; w <= 200; w++)
        widths.push_back(w);
    for (uint32_t w : {255u, 256u, 257u, 511u, 1000u, 2480u, 2481u, 4099u})
        widths.push_back(w);
    return widths;
}

uint32_t nextRandom(uint32_t &state)
{
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

// A buffer of random bytes whose `bytes` bytes of content start `offset`
// bytes in (so at every alignment) and end at its end, for the input: the
// sanitizer build sees any read past it. Over the test's lines every value
// falls on every lane of a vector block many times.
Bytes inputAt(uint32_t offset, size_t bytes, uint32_t &random)
{
    Bytes buffer(offset + bytes);
    for (uint8_t &b : buffer)
        b = static_cast<uint8_t>(nextRandom(random) >> 24);
    return buffer;
}

// Output buffers are filled with a marker, content `offset` bytes in and 64
// bytes of marker after it, and compared whole: a byte written outside the
// portable code's output differs.
Bytes outputAt(uint32_t offset, size_t bytes)
{
    return Bytes(offset + bytes + 64, 0xA5);
}

// Where two buffers of one size first differ, or -1: a failure names one
// byte instead of printing whole lines.
long firstDifference(const Bytes &a, const Bytes &b)
{
    for (size_t i = 0; i < a.size(); i++)
        if (a[i] != b[i])
            return static_cast<long>(i);
    return -1;
}

TEST(RowConversion, VectorFormsMatchPortable)
{
    std::vector<const brovane::RowConversions *> sets = vectorSets();
    if (sets.empty())
        GTEST_SKIP() << "no vector unit on this processor";
    const std::pair<uint32_t, uint32_t> widenings[] = {{1, 2}, {1, 3}, {1, 4}, {3, 2}, {3, 3}, {3, 4}, {3, 5}};
    uint32_t random = 0x9E3779B9u;
    for (const brovane::RowConversions *set : sets)
        for (uint32_t width : testWidths()) {
            // Every alignment for the short lines; one a line for the long.
            uint32_t offsets = width <= 200 ? 32 : 1;
            for (uint32_t k = 0; k < offsets; k++) {
                uint32_t in = 1 + (k + width) % 32;
                uint32_t out = 1 + (7 * k + width / 3) % 32;
                SCOPED_TRACE(testing::Message() << set->name << ", " << width << " pixels, input at " << in
                                                << ", output at " << out);

                // 1-bit packing works in place: the whole line is compared,
                // the packed bytes and what is left of the pixels after them.
                Bytes line = inputAt(in, width, random);
                Bytes expected = line;
                uint32_t expectedBytes = brovane::packMonochrome(expected.data() + in, width);
                ASSERT_EQ(set->packMonochrome(line.data() + in, width), expectedBytes);
                ASSERT_EQ(firstDifference(line, expected), -1) << "1-bit packing";

                Bytes grey = inputAt(in, width, random);
                Bytes rgb = outputAt(out, 3 * static_cast<size_t>(width));
                Bytes expectedRgb = rgb;
                brovane::greyToRgb(grey.data() + in, width, expectedRgb.data() + out);
                set->greyToRgb(grey.data() + in, width, rgb.data() + out);
                ASSERT_EQ(firstDifference(rgb, expectedRgb), -1) << "grey to RGB";

                for (auto [pixelSize, scale] : widenings) {
                    Bytes pixels = inputAt(in, static_cast<size_t>(width) * pixelSize, random);
                    Bytes wide = outputAt(out, static_cast<size_t>(width) * pixelSize * scale);
                    Bytes expectedWide = wide;
                    brovane::widenPixels(pixels.data() + in, width, pixelSize, scale, expectedWide.data() + out);
                    set->widenPixels(pixels.data() + in, width, pixelSize, scale, wide.data() + out);
                    ASSERT_EQ(firstDifference(wide, expectedWide), -1)
                        << pixelSize << "-byte pixels widened " << scale << " times";
                }
            }
        }
}

// A page set up and emitted through the real row output into a raster file.
struct EmitJob {
    std::string path;
    int fd;
};

EmitJob startPage(int32_t monochrome, uint8_t bits, uint8_t space, uint32_t width, uint32_t height,
                  uint32_t resolution, unsigned device)
{
    std::memset(&brovane::job, 0, sizeof brovane::job);
    brovane::job.monochrome = monochrome;
    brovane::job.pageHeader.cupsColorSpace = CUPS_CSPACE_RGB;
    brovane::job.pageHeader.HWResolution[0] = device;
    EmitJob e;
    e.path = testsupport::writeTempFile({}, ".ras");
    e.fd = open(e.path.c_str(), O_WRONLY);
    brovane::job.rasterOut = cupsRasterOpen(e.fd, CUPS_RASTER_WRITE);
    Bytes header = testsupport::urfPageHeader(bits, space, 0, 0, width, height, resolution);
    std::memcpy(urf::headerBytes, header.data(), header.size());
    EXPECT_EQ(brovane::setupPage(), nullptr);
    EXPECT_TRUE(brovane::prepareRows(brovane::job.pageHeader.cupsHeight));
    return e;
}

std::vector<testsupport::RasterPage> finish(EmitJob &e)
{
    common::flushRowBatch();
    cupsRasterClose(brovane::job.rasterOut);
    close(e.fd);
    return testsupport::readRasterFile(e.path);
}

TEST(RowOutput, MonochromeLinePackedOnceAndRepeated)
{
    EmitJob e = startPage(1, 8, 0, 10, 4, 203, 203);
    Bytes line = {0, 255, 0, 255, 0, 255, 0, 255, 0, 0};
    for (uint32_t replica = 0; replica < 4; replica++)
        brovane::emitRow(replica, line.data(), replica, 8);
    auto pages = finish(e);
    ASSERT_EQ(pages.size(), 1u);
    ASSERT_EQ(pages[0].rows.size(), 4u);
    for (const Bytes &row : pages[0].rows)
        EXPECT_EQ(row, (Bytes{0xAA, 0xC0}));
}

TEST(RowOutput, GreyExpandedAndColourWidened)
{
    EmitJob grey = startPage(0, 8, 0, 100, 1, 300, 600);
    Bytes line(100, 0x5A);
    brovane::emitRow(0, line.data(), 0, 8);
    auto greyPages = finish(grey);
    ASSERT_EQ(greyPages.at(0).rows.size(), 1u);
    EXPECT_EQ(greyPages[0].rows[0], Bytes(300, 0x5A));

    // 300 dpi page on a 600 dpi printer: twice as wide, each row twice.
    EmitJob colour = startPage(0, 24, 1, 2, 1, 300, 600);
    Bytes pixels = {1, 2, 3, 4, 5, 6};
    brovane::emitRow(0, pixels.data(), 0, 24);
    brovane::emitRow(1, pixels.data(), 1, 24);
    auto colourPages = finish(colour);
    ASSERT_EQ(colourPages.at(0).rows.size(), 2u);
    for (const Bytes &row : colourPages[0].rows)
        EXPECT_EQ(row, (Bytes{1, 2, 3, 1, 2, 3, 4, 5, 6, 4, 5, 6}));
}

TEST(RowOutput, ColourPageOnMonochromePrinterAndRowsPastThePage)
{
    EmitJob e = startPage(1, 24, 1, 1, 100, 203, 203);
    Bytes pixel = {9, 8, 7};
    // Rows 0..99 are the page; 100 and later are dropped.
    for (uint32_t row = 0; row < 103; row++)
        brovane::emitRow(row, pixel.data(), row, 24);
    auto pages = finish(e);
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(pages[0].header.cupsColorSpace, CUPS_CSPACE_RGB);
    EXPECT_EQ(pages[0].rows.size(), 100u);
    EXPECT_EQ(pages[0].rows[99], pixel);
}

// A colour row that no other row of its page equals: its number in the first
// three bytes, the rest counting on from it.
Bytes numberedRow(uint32_t row, uint32_t bytes)
{
    Bytes line(bytes);
    for (uint32_t i = 0; i < bytes; i++)
        line[i] = static_cast<uint8_t>(i < 3 ? row >> (8 * i) : row + i);
    return line;
}

// Rows are batched into writes; whatever the row length (one of 3 bytes,
// tens of thousands a batch; two a batch; just over half a batch; more than
// a batch), every row reaches the page once, whole and in order.
TEST(RowOutput, RowsOfEveryLengthArriveWholeAndInOrder)
{
    const std::pair<uint32_t, uint32_t> shapes[] = {{1, 2 * 21845 + 7}, {10922, 5}, {10923, 3}, {21846, 2}};
    for (auto [width, height] : shapes) {
        SCOPED_TRACE(std::to_string(width) + " pixels");
        EmitJob e = startPage(0, 24, 1, width, height, 300, 300);
        std::vector<Bytes> expected;
        for (uint32_t row = 0; row < height; row++) {
            expected.push_back(numberedRow(row, 3 * width));
            Bytes line = expected.back();
            brovane::emitRow(row, line.data(), 0, 24);
        }
        auto pages = finish(e);
        ASSERT_EQ(pages.size(), 1u);
        EXPECT_TRUE(pages[0].rows == expected);
    }
}

// A stop in the middle of a page ends the process through stopNow: the rows
// made before it, still in a batch, are written first; none after.
TEST(RowOutput, RowsMadeBeforeAStopAreWritten)
{
    static jmp_buf back;
    common::setExitHandler([](int) { longjmp(back, 1); });
    EmitJob e = startPage(0, 24, 1, 4, 100, 300, 300);
    std::vector<Bytes> expected;
    if (setjmp(back) == 0) {
        for (uint32_t row = 0; row < 100; row++) {
            if (row == 37)
                common::stopFlag = 1;
            common::exitIfStopped();
            expected.push_back(numberedRow(row, 12));
            Bytes line = expected.back();
            brovane::emitRow(row, line.data(), 0, 24);
        }
    }
    common::stopFlag = 0;
    common::setExitHandler(nullptr);
    // The stream as the process would leave it: no flush of the rows here.
    cupsRasterClose(brovane::job.rasterOut);
    close(e.fd);
    auto pages = testsupport::readRasterFile(e.path);
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(expected.size(), 37u);
    EXPECT_TRUE(pages[0].rows == expected);
}

} // namespace
