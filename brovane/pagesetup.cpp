// Page setup: one URF page header turned into the output page header (1-bit
// black or 24-bit colour, bytes per line, whole-number enlargement) and written.

#include "brovane/brovane.h"

#include "common/filter.h"
#include "urf/urf.h"

#include <cmath>
#include <cstring>

namespace brovane {

PageState page; // the current page, renewed by setupPage

// Whole-number enlargement from the URF resolution to the printer's
// horizontal one; 1 for 8-bit pages, a resolution of 0, or no exact multiple.
static uint32_t scaleFor(const urf::UrfPageHeader &urfPage, uint32_t deviceX)
{
    if (urfPage.bitsPerPixel == 8 || urfPage.resolution == 0)
        return 1;
    uint32_t q = deviceX / urfPage.resolution;
    if (q != 0 && static_cast<uint64_t>(q) * urfPage.resolution == deviceX)
        return q;
    return 1;
}

// The pages this filter converts: 8-bit grey and 24-bit colour, within the
// line and page limits. Null when the page is fine, else the reason.
static const char *refusal(const urf::UrfPageHeader &urfPage, uint32_t scale)
{
    if (urfPage.bitsPerPixel == 8 && urfPage.colorSpace != 0)
        return "8-bit pages must be grey (colour space 0)";
    if (urfPage.bitsPerPixel == 24 && urfPage.colorSpace == 0)
        return "24-bit pages must be colour (colour space other than 0)";
    if (urfPage.bitsPerPixel != 8 && urfPage.bitsPerPixel != 24)
        return "only 8-bit grey and 24-bit colour pages are supported";
    if (urfPage.width == 0 || static_cast<uint64_t>(urfPage.width) * scale > urf::kMaxLinePixels)
        return "the enlarged width must be 1 to 262144 pixels";
    if (static_cast<uint64_t>(urfPage.height) * scale > urf::kMaxPageRows)
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

    uint32_t scale = scaleFor(urfPage, job.pageHeader.HWResolution[0]);
    if (const char *reason = refusal(urfPage, scale))
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
    uint32_t bytesPerLine;

    if (job.monochrome == 1 && urfPage.colorSpace == 0) {
        header.cupsColorSpace = CUPS_CSPACE_K;
        header.cupsColorOrder = CUPS_ORDER_CHUNKED;
        header.cupsBitsPerColor = 1;
        header.cupsBitsPerPixel = 1;
        header.cupsNumColors = 1;
        bytesPerLine = static_cast<uint32_t>(ceilf(static_cast<float>(urfPage.width) * 0.125f));
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
        bytesPerLine = static_cast<uint32_t>(colourBytes);
    }
    header.cupsBytesPerLine = bytesPerLine;

    // refusal() bounds width * scale by 2^18 and height * scale by 2^24,
    // so these products fit in 32 bits.
    page.scale = static_cast<int32_t>(scale);
    if (scale > 1) {
        header.cupsWidth *= scale;
        header.cupsHeight *= scale;
        header.cupsBytesPerLine *= scale;
    }
    // The raster a driver gets is the paper's imageable area (the PostScript image is the page,
    // which the interpreter places on the paper itself).
    if (!psOutput) {
        if (const char *reason = layOutPage(urfPage, scale, header)) {
            header = before;
            return reason;
        }
        if (page.cut)
            header.cupsBytesPerLine = header.cupsBitsPerPixel == 1 ? (header.cupsWidth + 7) / 8 : 3 * header.cupsWidth;
    }

    if (!psOutput)
        cupsRasterWriteHeader2(job.rasterOut, &header);
    return nullptr;
}

} // namespace brovane
