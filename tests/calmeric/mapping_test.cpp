// The header mapping and the pages calmeric turns away: every mapped field
// taken from the URF page header, every other field left zero, hostile sizes refused.

#include "support.h"

#include "calmeric/calmeric.h"

#include <climits>
#include <cstring>
#include <gtest/gtest.h>

namespace {

TEST(HeaderMapping, EachDepthOverwritesTheSameFieldsOnly)
{
    struct Case {
        uint8_t bitsPerPixel;
        unsigned colors;
        cups_cspace_t space;
        unsigned bytesPerLine; // for 5 pixels
    };
    // One header carried from page to page, as the filter does: a grey page
    // after colour ones must go back to CUPS_CSPACE_W.
    cups_page_header2_t header;
    std::memset(&header, 0, sizeof header);
    for (Case c : {Case{24, 3, CUPS_CSPACE_RGB, 15}, Case{8, 1, CUPS_CSPACE_W, 5}, Case{32, 4, CUPS_CSPACE_RGB, 20}}) {
        calmeric::mapHeader(urf::UrfPageHeader{c.bitsPerPixel, 7, 2, 167, 5, 9, 600}, header);

        cups_page_header2_t want;
        std::memset(&want, 0, sizeof want);
        want.cupsBitsPerPixel = c.bitsPerPixel;
        want.cupsBitsPerColor = 8;
        want.cupsNumColors = c.colors;
        want.cupsColorSpace = c.space;
        want.cupsWidth = 5;
        want.cupsHeight = 9;
        want.cupsBytesPerLine = c.bytesPerLine;
        want.HWResolution[0] = want.HWResolution[1] = 600;
        want.Duplex = CUPS_TRUE; // code 2: two-sided, short edge
        want.Tumble = CUPS_TRUE;
        EXPECT_EQ(0, std::memcmp(&header, &want, sizeof header)) << int(c.bitsPerPixel) << "-bit page";
    }
}

// Drivers read Duplex as yes or no: each duplex code is translated, and a
// page that names no sides (0, or a code the format lacks) after a two-sided
// one is one-sided again, not left as the header was.
TEST(HeaderMapping, DuplexCodesBecomeSides)
{
    cups_page_header2_t header;
    std::memset(&header, 0, sizeof header);
    const struct {
        uint8_t code;
        cups_bool_t duplex, tumble;
    } cases[] = {{1, CUPS_FALSE, CUPS_FALSE}, {3, CUPS_TRUE, CUPS_FALSE}, {2, CUPS_TRUE, CUPS_TRUE},
                 {0, CUPS_FALSE, CUPS_FALSE}, {2, CUPS_TRUE, CUPS_TRUE},  {7, CUPS_FALSE, CUPS_FALSE}};
    for (const auto &c : cases) {
        calmeric::mapHeader(urf::UrfPageHeader{24, 1, c.code, 4, 5, 9, 300}, header);
        EXPECT_EQ(testsupport::rawDuplex(header), static_cast<uint32_t>(c.duplex)) << "code " << int(c.code);
        EXPECT_EQ(header.Tumble, c.tumble) << "code " << int(c.code);
    }
}

TEST(HeaderMapping, BytesPerLineRoundsUpAndNeverOverflows)
{
    cups_page_header2_t header;
    std::memset(&header, 0, sizeof header);
    const struct {
        uint8_t bitsPerPixel;
        uint32_t width;
        unsigned bytes;
    } cases[] = {{1, 9, 2}, {12, 3, 5}, {64, 1u << 18, 1u << 21}, {255, 0xFFFFFFFFu, INT_MAX}};
    for (auto c : cases) {
        calmeric::mapHeader(urf::UrfPageHeader{c.bitsPerPixel, 0, 0, 0, c.width, 1, 300}, header);
        EXPECT_EQ(header.cupsBytesPerLine, c.bytes) << int(c.bitsPerPixel) << " bits x " << c.width;
    }
}

TEST(PageRefusal, OnlyPagesTheDecoderCanFollow)
{
    const struct {
        uint8_t bitsPerPixel;
        int32_t width, height;
        bool refused;
    } cases[] = {
        {8, 1, 0, false},
        {24, 1000, 1, false},
        {64, 1 << 18, 1 << 24, false},
        {0, 4, 1, true},
        {4, 8, 1, true},
        {12, 4, 1, true},
        {72, 4, 1, true},
        {8, 0, 1, true},
        {8, (1 << 18) + 1, 1, true},
        {8, 4, (1 << 24) + 1, true},
        {8, INT_MAX, 1, true},
    };
    for (auto c : cases) {
        cups_page_header2_t header;
        std::memset(&header, 0, sizeof header);
        calmeric::mapHeader(urf::UrfPageHeader{c.bitsPerPixel, 0, 0, 0, static_cast<uint32_t>(c.width),
                                               static_cast<uint32_t>(c.height), 300},
                            header);
        const char *reason = calmeric::pageRefusal(calmeric::pageLayout(c.width, c.height, c.bitsPerPixel), header);
        EXPECT_EQ(reason != nullptr, c.refused) << int(c.bitsPerPixel) << " bits, " << c.width << "x" << c.height;
    }
}

} // namespace
