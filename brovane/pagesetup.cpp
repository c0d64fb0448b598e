// Page setup: one URF page header turned into the output page header (1-bit
// black or 24-bit colour, bytes per line, whole-number enlargement) and written.

#include "brovane/brovane.h"

#include "common/filter.h"
#include "urf/urf.h"

#include <cmath>
#include <cstring>

namespace brovane {

PageState page; // the current page, renewed by setupPage

// Whole-number enlargement from a page's `from` dots per inch to the printer's `to`; 1 where there
// is none (a resolution of 0, above the printer's, or not dividing it).
static uint32_t factorFor(uint32_t from, uint32_t to)
{
    if (from == 0)
        return 1;
    uint32_t q = to / from;
    return q != 0 && static_cast<uint64_t>(q) * from == to ? q : 1;
}

// The page's enlargement across and down, each to the printer's resolution in that direction. An
// 8-bit page keeps its pixels where the printer's resolution is the same both ways, unless it is at
// the resolution the queue offers phones below the printer's (brovane-enable's line): where the
// resolutions differ, or phones were told a lower one, kept pixels would print out of shape or small.
static void scalesFor(const urf::UrfPageHeader &urfPage, uint32_t &across, uint32_t &down)
{
    // A printer that gives no resolution down (0) is taken to have the one across, as it always was.
    uint32_t x = job.pageHeader.HWResolution[0], y = job.pageHeader.HWResolution[1];
    if (y == 0)
        y = x;
    across = down = 1;
    if (urfPage.bitsPerPixel == 8 && x == y &&
        !(job.phoneResolution != 0 && urfPage.resolution == job.phoneResolution))
        return;
    across = factorFor(urfPage.resolution, x);
    down = factorFor(urfPage.resolution, y);
}

// The pages this filter converts: 8-bit grey and 24-bit colour, within the
// line and page limits. Null when the page is fine, else the reason.
static const char *refusal(const urf::UrfPageHeader &urfPage, uint32_t scale, uint32_t rowScale)
{
    if (urfPage.bitsPerPixel == 8 && urfPage.colorSpace != 0)
        return "8-bit pages must be grey (colour space 0)";
    if (urfPage.bitsPerPixel == 24 && urfPage.colorSpace == 0)
        return "24-bit pages must be colour (colour space other than 0)";
    if (urfPage.bitsPerPixel != 8 && urfPage.bitsPerPixel != 24)
        return "only 8-bit grey and 24-bit colour pages are supported";
    if (urfPage.width == 0 || static_cast<uint64_t>(urfPage.width) * scale > urf::kMaxLinePixels)
        return "the enlarged width must be 1 to 262144 pixels";
    if (static_cast<uint64_t>(urfPage.height) * rowScale > urf::kMaxPageRows)
        return "the enlarged height must be at most 16777216 rows";
    return nullptr;
}

const char *setupPage()
{
    urf::UrfPageHeader urfPage = urf::parsePageHeader(urf::headerBytes);
    page.urfBitsPerPixel = urfPage.bitsPerPixel;
    page.urfColorSpace = urfPage.colorSpace;
    page.urfDuplex = urfPage.duplex;
    page.urfQuality = urfPage.quality;
    page.urfWidth = urfPage.width;
    page.urfHeight = urfPage.height;
    page.urfResolution = urfPage.resolution;

    uint32_t scale = 1, rowScale = 1;
    scalesFor(urfPage, scale, rowScale);
    if (const char *reason = refusal(urfPage, scale, rowScale))
        return reason;

    cups_page_header2_t &header = job.pageHeader;
    cups_page_header2_t before = header; // given back when the page has no paper
    // The sides the page asks for; a page that names none keeps what the
    // PPD and the job's options gave.
    bool twoSided = false, tumble = false;
    if (urf::sidesFor(urfPage.duplex, twoSided, tumble)) {
        header.Duplex = twoSided ? CUPS_TRUE : CUPS_FALSE;
        header.Tumble = tumble ? CUPS_TRUE : CUPS_FALSE;
    } else {
        header.Duplex = job.jobDuplex;
        header.Tumble = job.jobTumble;
    }
    header.cupsWidth = urfPage.width;
    header.cupsHeight = urfPage.height;
    header.cupsBitsPerPixel = 24;
    header.NumCopies = job.headerCopies;

    // Line lengths in single precision, exact for every width allowed above.
    int32_t colourBytes = static_cast<int32_t>(ceilf(static_cast<float>(urfPage.width) * 24.0f * 0.125f));
    page.rawRowBytes = colourBytes;

    if (job.monochrome == 1 && urfPage.colorSpace == 0) {
        header.cupsColorSpace = CUPS_CSPACE_K;
        header.cupsColorOrder = CUPS_ORDER_CHUNKED;
        header.cupsBitsPerColor = 1;
        header.cupsBitsPerPixel = 1;
        header.cupsNumColors = 1;
    } else if (job.greyOutput) {
        // A grey driver's page: one byte a pixel, 255 white, colour pages by their luma.
        common::setFieldBits(header.cupsColorSpace, job.greySpace);
        header.cupsColorOrder = CUPS_ORDER_CHUNKED;
        header.cupsBitsPerColor = 8;
        header.cupsBitsPerPixel = 8;
        header.cupsNumColors = 1;
    } else {
        // The colour space carries over from the previous page, not the PPD.
        // It is compared as a number: the PPD may hold any.
        uint32_t space = common::fieldBits(header.cupsColorSpace);
        if (space == CUPS_CSPACE_RGBW || space == CUPS_CSPACE_K)
            header.cupsColorSpace = CUPS_CSPACE_SRGB;
        else
            header.cupsColorOrder = CUPS_ORDER_CHUNKED;
        header.cupsBitsPerColor = 8;
        header.cupsNumColors = 3;
        if (space == CUPS_CSPACE_W)
            header.cupsColorSpace = CUPS_CSPACE_RGB;
    }

    // refusal() bounds width * scale by 2^18 and height * rowScale by 2^24,
    // so these products fit in 32 bits.
    page.scale = static_cast<int32_t>(scale);
    page.rowScale = static_cast<int32_t>(rowScale);
    header.cupsWidth *= scale;
    header.cupsHeight *= rowScale;
    // The raster a driver gets is the paper's imageable area (the PostScript image is the page,
    // which the interpreter places on the paper itself).
    if (!psOutput) {
        if (const char *reason = layOutPage(urfPage, scale, rowScale, header)) {
            header = before;
            return reason;
        }
    }
    // A line is the output's pixels, eight to a byte at 1 bit (at most 3 x 2^18 bytes).
    header.cupsBytesPerLine = header.cupsBitsPerPixel == 1 ? (header.cupsWidth + 7) / 8
                                                           : header.cupsBitsPerPixel / 8 * header.cupsWidth;

    if (!psOutput)
        cupsRasterWriteHeader2(job.rasterOut, &header);
    return nullptr;
}

} // namespace brovane
