// Page setup: the monochrome / colour matrix, colour spaces carried from page
// to page, the whole-number enlargement and the pages that are refused.

#include "support.h"

#include "brovane/brovane.h"
#include "urf/urf.h"

#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

using testsupport::Bytes;

namespace {

// A job whose template came from a PPD with this colour space and resolution;
// page headers go to a scratch file.
void startJob(int32_t monochrome, cups_cspace_t space, unsigned resolution, cups_order_t order = CUPS_ORDER_CHUNKED)
{
    std::memset(&brovane::job, 0, sizeof brovane::job);
    brovane::job.monochrome = monochrome;
    brovane::job.headerCopies = 1;
    brovane::job.pageHeader.cupsColorSpace = space;
    brovane::job.pageHeader.cupsColorOrder = order;
    brovane::job.pageHeader.HWResolution[0] = resolution;
    brovane::job.pageHeader.HWResolution[1] = resolution;
    std::string path = testsupport::writeTempFile({}, ".ras");
    int fd = open(path.c_str(), O_WRONLY);
    brovane::job.rasterOut = cupsRasterOpen(fd, CUPS_RASTER_WRITE);
}

const char *setUp(uint8_t bitsPerPixel, uint8_t colorSpace, uint32_t width, uint32_t height, uint32_t resolution)
{
    Bytes header = testsupport::urfPageHeader(bitsPerPixel, colorSpace, 2, 4, width, height, resolution);
    std::memcpy(urf::headerBytes, header.data(), header.size());
    return brovane::setupPage();
}

const cups_page_header2_t &out()
{
    return brovane::job.pageHeader;
}

TEST(PageSetup, GreyPageOnAMonochromePrinterIsOneBitBlack)
{
    for (uint32_t width : {8u, 9u, 100u}) {
        startJob(1, CUPS_CSPACE_RGB, 600);
        ASSERT_EQ(setUp(8, 0, width, 150, 300), nullptr);
        EXPECT_EQ(out().cupsColorSpace, CUPS_CSPACE_K);
        EXPECT_EQ(out().cupsBitsPerColor, 1u);
        EXPECT_EQ(out().cupsBitsPerPixel, 1u);
        EXPECT_EQ(out().cupsNumColors, 1u);
        EXPECT_EQ(out().cupsColorOrder, CUPS_ORDER_CHUNKED);
        EXPECT_EQ(out().cupsBytesPerLine, (width + 7) / 8);
        EXPECT_EQ(out().cupsWidth, width); // 8-bit pages are never enlarged
        EXPECT_EQ(out().cupsHeight, 150u);
        EXPECT_EQ(brovane::page.scale, 1);
        EXPECT_EQ(brovane::page.rawRowBytes, static_cast<int32_t>(3 * width));
    }
}

TEST(PageSetup, ColourPagesAndColourPrintersGetTwentyFourBits)
{
    // Colour page on a monochrome printer, grey page on a colour printer.
    const struct {
        int32_t monochrome;
        uint8_t bits, space;
    } cases[] = {{1, 24, 1}, {0, 8, 0}, {0, 24, 1}};
    for (const auto &c : cases) {
        startJob(c.monochrome, CUPS_CSPACE_RGB, 300);
        ASSERT_EQ(setUp(c.bits, c.space, 100, 150, 300), nullptr);
        EXPECT_EQ(out().cupsColorSpace, CUPS_CSPACE_RGB);
        EXPECT_EQ(out().cupsBitsPerColor, 8u);
        EXPECT_EQ(out().cupsBitsPerPixel, 24u);
        EXPECT_EQ(out().cupsNumColors, 3u);
        EXPECT_EQ(out().cupsBytesPerLine, 300u);
        EXPECT_EQ(out().NumCopies, 1u);
        EXPECT_EQ(testsupport::rawDuplex(out()), 1u); // code 2: two-sided,
        EXPECT_EQ(out().Tumble, CUPS_TRUE);            // turned on the short edge
    }
}

TEST(PageSetup, PrinterColourSpaceRules)
{
    // K and RGBW become sRGB with the order kept; W becomes RGB; others pass
    // with the order made chunked.
    const struct {
        cups_cspace_t from, to;
        cups_order_t order;
    } cases[] = {{CUPS_CSPACE_K, CUPS_CSPACE_SRGB, CUPS_ORDER_BANDED},
                 {CUPS_CSPACE_RGBW, CUPS_CSPACE_SRGB, CUPS_ORDER_BANDED},
                 {CUPS_CSPACE_W, CUPS_CSPACE_RGB, CUPS_ORDER_CHUNKED},
                 {CUPS_CSPACE_SRGB, CUPS_CSPACE_SRGB, CUPS_ORDER_CHUNKED},
                 {CUPS_CSPACE_CMYK, CUPS_CSPACE_CMYK, CUPS_ORDER_CHUNKED}};
    for (const auto &c : cases) {
        startJob(0, c.from, 300, CUPS_ORDER_BANDED);
        ASSERT_EQ(setUp(24, 1, 10, 10, 300), nullptr);
        EXPECT_EQ(out().cupsColorSpace, c.to) << c.from;
        EXPECT_EQ(out().cupsColorOrder, c.order) << c.from;
    }
}

TEST(PageSetup, ColourSpaceCarriesOverFromThePreviousPage)
{
    // Receipt printer: grey page (K), then a colour page starts from K -> sRGB
    // although the PPD said RGB.
    startJob(1, CUPS_CSPACE_RGB, 203);
    ASSERT_EQ(setUp(8, 0, 16, 4, 203), nullptr);
    EXPECT_EQ(out().cupsColorSpace, CUPS_CSPACE_K);
    ASSERT_EQ(setUp(24, 1, 16, 4, 203), nullptr);
    EXPECT_EQ(out().cupsColorSpace, CUPS_CSPACE_SRGB);
    EXPECT_EQ(out().cupsBitsPerPixel, 24u);
}

TEST(PageSetup, WholeNumberEnlargement)
{
    const struct {
        unsigned device, page;
        uint8_t bits;
        int32_t scale;
    } cases[] = {{600, 300, 24, 2}, {600, 400, 24, 1}, {600, 600, 24, 1}, {600, 1200, 24, 1},
                 {600, 0, 24, 1},   {0, 300, 24, 1},   {600, 300, 8, 1},  {1200, 300, 24, 4}};
    for (const auto &c : cases) {
        startJob(0, CUPS_CSPACE_RGB, c.device);
        ASSERT_EQ(setUp(c.bits, c.bits == 8 ? 0 : 1, 100, 150, c.page), nullptr);
        EXPECT_EQ(brovane::page.scale, c.scale) << c.device << "/" << c.page;
        EXPECT_EQ(out().cupsWidth, 100u * c.scale);
        EXPECT_EQ(out().cupsHeight, 150u * c.scale);
        EXPECT_EQ(out().cupsBytesPerLine, 300u * c.scale);
        EXPECT_EQ(out().HWResolution[0], c.device); // the printer's, not the page's
    }
}

TEST(PageSetup, PagesThatCannotBeConvertedLeaveTheHeaderAlone)
{
    const struct {
        uint8_t bits, space;
        uint32_t width, height, resolution;
    } refused[] = {
        {32, 1, 10, 10, 300}, {16, 0, 10, 10, 300}, {0, 0, 10, 10, 300},  {1, 0, 10, 10, 300},
        {7, 0, 10, 10, 300},  {12, 1, 10, 10, 300}, {255, 1, 10, 10, 300}, // depths
        {8, 1, 10, 10, 300},  {24, 0, 10, 10, 300},                        // depth and space disagree
        {24, 1, 0, 10, 300},  {24, 1, 0x7fffffff, 10, 300},                // width
        {24, 1, 200000, 10, 300},                                          // 2 x 200000 > 2^18
        {24, 1, 10, 0x7fffffff, 150},                                      // height x 4 overflows
    };
    for (const auto &r : refused) {
        startJob(0, CUPS_CSPACE_RGB, 600);
        cups_page_header2_t before = out();
        EXPECT_NE(setUp(r.bits, r.space, r.width, r.height, r.resolution), nullptr)
            << int(r.bits) << " " << r.width << "x" << r.height;
        EXPECT_EQ(std::memcmp(&before, &out(), sizeof before), 0);
    }
}

} // namespace
