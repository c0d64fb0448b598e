// The benchmark's reference for the URF filters and brovane's raster input:
// the conversion a user could glue together from libcups alone, row by row.
//
// urf_baseline brovane        < job.urf > out.ras   (printer from $PPD)
// urf_baseline calmeric       < job.urf > out.ras
// urf_baseline brovane-raster < job.pwg > out.ras   (as brovane-rasterin; printer from $PPD)
//
// Pages come from cupsRasterOpen(fd, CUPS_RASTER_READ), which reads URF as
// well as CUPS and PWG raster, and rows from cupsRasterReadPixels. Each row
// is converted with a plain loop (1-bit rows widened to grey, 8-bit black
// inverted, 1-bit packing, grey to RGB, widening by the enlargement) and
// written with one cupsRasterWritePixels call per output row. The page
// headers are worked out as the filters document them, so the output is byte
// for byte the filters' own: the benchmark checks that before it compares times.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <vector>

#include <cups/ppd.h>
#include <cups/raster.h>

namespace baseline {

// The printer, for brovane's headers.
struct Printer {
    ppd_file_t *ppd;                // for the custom size of each page's paper
    ppd_size_t asked;               // the PPD's default paper
    cups_page_header2_t pageHeader; // from the PPD, adjusted in place page by page
    bool monochrome;                // grey pages go out as 1-bit black
    cups_bool_t jobDuplex;          // the PPD's sides, for raster pages that name none
    cups_bool_t jobTumble;
};

// How a row of a raster page (brovane-raster) becomes the 8-bit grey or
// 24-bit colour line that brovane converts, as the same page in URF would be.
enum class RowForm {
    asRead,     // 8-bit grey or 24-bit chunked RGB / sRGB
    inverted,   // 8-bit black: 0 is white
    inkBits,    // 1-bit black: a set bit is ink
    whiteBits,  // 1-bit grey: a set bit is white
};

static bool attributeIsTrue(ppd_file_t *ppd, const char *name, bool *found)
{
    ppd_attr_t *attr = ppdFindAttr(ppd, name, nullptr);
    *found = attr != nullptr;
    return attr != nullptr && attr->value != nullptr && strcasecmp(attr->value, "True") == 0;
}

static bool loadPrinter(Printer &printer)
{
    ppd_file_t *ppd = ppdOpenFile(std::getenv("PPD"));
    if (ppd == nullptr) {
        std::fprintf(stderr, "urf_baseline: no PPD\n");
        return false;
    }
    ppdMarkDefaults(ppd);
    cupsRasterInterpretPPD(&printer.pageHeader, ppd, 0, nullptr, nullptr);
    printer.ppd = ppd;
    printer.asked = *ppdPageSize(ppd, nullptr);
    printer.jobDuplex = printer.pageHeader.Duplex;
    printer.jobTumble = printer.pageHeader.Tumble;
    bool found = false;
    bool receipt = attributeIsTrue(ppd, "ReceiptPrinter", &found);
    printer.monochrome = found && receipt;
    if (attributeIsTrue(ppd, "BWOnly", &found))
        printer.monochrome = true;
    return true;
}

// The page's paper, as brovane describes it: the PPD's default where the page is that size within
// 2 pt, else the page's own custom size (the benchmark's PPDs take any size, the whole sheet
// printable), its edges the nearest whole points.
static void describePaper(Printer &printer, const cups_page_header2_t &in)
{
    double dpi = in.HWResolution[0];
    if (dpi == 0)
        return;
    double width = in.cupsWidth * 72.0 / dpi, length = in.cupsHeight * 72.0 / dpi;
    if (std::fabs(printer.asked.width - width) <= 2 && std::fabs(printer.asked.length - length) <= 2)
        return;
    char name[64];
    std::snprintf(name, sizeof name, "Custom.%.2fx%.2f", width, length);
    const ppd_size_t *size = ppdPageSize(printer.ppd, name);
    cups_page_header2_t &h = printer.pageHeader;
    h.PageSize[0] = h.ImagingBoundingBox[2] = static_cast<unsigned>(std::floor(size->width + 0.5));
    h.PageSize[1] = h.ImagingBoundingBox[3] = static_cast<unsigned>(std::floor(size->length + 0.5));
    h.ImagingBoundingBox[0] = h.ImagingBoundingBox[1] = h.Margins[0] = h.Margins[1] = 0;
    h.cupsPageSize[0] = h.cupsImagingBBox[2] = size->width;
    h.cupsPageSize[1] = h.cupsImagingBBox[3] = size->length;
    h.cupsImagingBBox[0] = h.cupsImagingBBox[1] = 0;
    std::snprintf(h.cupsPageSizeName, sizeof h.cupsPageSizeName, "%s", size->name);
}

// The row form of a raster page; false for pages brovane-rasterin refuses
// (the benchmark's inputs have none, so this reference simply stops).
static bool rasterFormOf(const cups_page_header2_t &in, RowForm &form, bool &grey)
{
    bool white = in.cupsColorSpace == CUPS_CSPACE_W || in.cupsColorSpace == CUPS_CSPACE_SW;
    bool black = in.cupsColorSpace == CUPS_CSPACE_K;
    bool rgb = in.cupsColorSpace == CUPS_CSPACE_RGB || in.cupsColorSpace == CUPS_CSPACE_SRGB;
    grey = true;
    if (in.cupsBitsPerColor == 1 && in.cupsBitsPerPixel == 1 && (white || black))
        form = black ? RowForm::inkBits : RowForm::whiteBits;
    else if (in.cupsBitsPerColor == 8 && in.cupsBitsPerPixel == 8 && (white || black))
        form = black ? RowForm::inverted : RowForm::asRead;
    else if (in.cupsBitsPerColor == 8 && in.cupsBitsPerPixel == 24 && rgb && in.cupsColorOrder == CUPS_ORDER_CHUNKED) {
        form = RowForm::asRead;
        grey = false;
    } else
        return false;
    return in.HWResolution[0] == in.HWResolution[1] &&
           (static_cast<uint64_t>(in.cupsWidth) * in.cupsBitsPerPixel + 7) / 8 == in.cupsBytesPerLine;
}

// The header brovane writes for this page; returns the enlargement. A raster
// page (`raster`) is set up as the URF page of its size, depth and resolution.
static uint32_t brovaneHeader(Printer &printer, const cups_page_header2_t &in, bool grey, bool raster)
{
    cups_page_header2_t &h = printer.pageHeader;
    // The sides as libcups' reader turned the URF code into them (the
    // benchmark's URF pages all name theirs); a one-sided raster page names
    // none, so it keeps the PPD's. And the one copy the runs ask for.
    h.Duplex = in.Duplex;
    h.Tumble = in.Tumble;
    if (raster && in.Duplex == CUPS_FALSE) {
        h.Duplex = printer.jobDuplex;
        h.Tumble = printer.jobTumble;
    } else if (raster) {
        h.Tumble = in.Tumble == CUPS_FALSE ? CUPS_FALSE : CUPS_TRUE;
    }
    h.NumCopies = 1;
    h.cupsWidth = in.cupsWidth;
    h.cupsHeight = in.cupsHeight;
    describePaper(printer, in);
    if (printer.monochrome && grey) {
        h.cupsColorSpace = CUPS_CSPACE_K;
        h.cupsColorOrder = CUPS_ORDER_CHUNKED;
        h.cupsBitsPerColor = 1;
        h.cupsBitsPerPixel = 1;
        h.cupsNumColors = 1;
        h.cupsBytesPerLine = (in.cupsWidth + 7) / 8;
    } else {
        if (h.cupsColorSpace == CUPS_CSPACE_RGBW || h.cupsColorSpace == CUPS_CSPACE_K)
            h.cupsColorSpace = CUPS_CSPACE_SRGB;
        else
            h.cupsColorOrder = CUPS_ORDER_CHUNKED;
        if (h.cupsColorSpace == CUPS_CSPACE_W)
            h.cupsColorSpace = CUPS_CSPACE_RGB;
        h.cupsBitsPerColor = 8;
        h.cupsBitsPerPixel = 24;
        h.cupsNumColors = 3;
        h.cupsBytesPerLine = in.cupsWidth * 3;
    }
    uint32_t scale = 1;
    uint32_t dpi = in.HWResolution[0];
    if (!grey && dpi != 0 && h.HWResolution[0] % dpi == 0 && h.HWResolution[0] / dpi != 0)
        scale = h.HWResolution[0] / dpi;
    h.cupsWidth *= scale;
    h.cupsHeight *= scale;
    h.cupsBytesPerLine *= scale;
    return scale;
}

// The header calmeric writes for this page: the URF values, all else zero.
static cups_page_header2_t calmericHeader(const cups_page_header2_t &in)
{
    cups_page_header2_t h;
    std::memset(&h, 0, sizeof h);
    h.cupsBitsPerPixel = in.cupsBitsPerPixel;
    h.cupsBitsPerColor = 8;
    h.cupsNumColors = in.cupsBitsPerPixel / 8;
    h.cupsColorSpace = h.cupsNumColors == 1 ? CUPS_CSPACE_W : CUPS_CSPACE_RGB;
    h.cupsWidth = in.cupsWidth;
    h.cupsHeight = in.cupsHeight;
    h.cupsBytesPerLine = in.cupsBytesPerLine;
    h.HWResolution[0] = in.HWResolution[0];
    h.HWResolution[1] = in.HWResolution[0];
    h.Duplex = in.Duplex;
    h.Tumble = in.Tumble;
    h.NumCopies = 1;
    return h;
}

// What the program converts: URF for brovane or calmeric, or CUPS and PWG
// raster as brovane-rasterin does.
enum class Mode { brovane, calmeric, brovaneRaster };

// A 1-bit row widened to 8-bit grey: a set bit becomes `set`, a clear one its
// inverse.
static void widenBits(const uint8_t *bits, uint32_t width, uint8_t set, uint8_t *grey)
{
    for (uint32_t x = 0; x < width; x++)
        grey[x] = (bits[x / 8] & (0x80 >> (x % 8))) ? set : static_cast<uint8_t>(~set);
}

static int convert(Mode mode)
{
    bool forBrovane = mode != Mode::calmeric;
    bool raster = mode == Mode::brovaneRaster;
    Printer printer = {};
    if (forBrovane && !loadPrinter(printer))
        return 1;
    cups_raster_t *in = cupsRasterOpen(0, CUPS_RASTER_READ);
    cups_raster_t *out = cupsRasterOpen(1, CUPS_RASTER_WRITE);
    if (in == nullptr || out == nullptr)
        return 1;

    int status = 0;
    std::vector<uint8_t> row, line, converted;
    cups_page_header2_t inHeader;
    while (cupsRasterReadHeader2(in, &inHeader)) {
        bool grey = inHeader.cupsBitsPerPixel == 8;
        RowForm form = RowForm::asRead;
        if (raster && !rasterFormOf(inHeader, form, grey)) {
            std::fprintf(stderr, "urf_baseline: a page of %u bits a pixel in colour space %u is not converted\n",
                         inHeader.cupsBitsPerPixel, static_cast<unsigned>(inHeader.cupsColorSpace));
            status = 1;
            break;
        }
        uint32_t width = inHeader.cupsWidth;
        row.resize(inHeader.cupsBytesPerLine);
        if (!forBrovane) {
            cups_page_header2_t outHeader = calmericHeader(inHeader);
            cupsRasterWriteHeader2(out, &outHeader);
            for (uint32_t y = 0; y < inHeader.cupsHeight; y++) {
                if (!cupsRasterReadPixels(in, row.data(), inHeader.cupsBytesPerLine))
                    break;
                cupsRasterWritePixels(out, row.data(), inHeader.cupsBytesPerLine);
            }
            continue;
        }

        uint32_t scale = brovaneHeader(printer, inHeader, grey, raster);
        const cups_page_header2_t &outHeader = printer.pageHeader;
        cupsRasterWriteHeader2(out, &printer.pageHeader);
        converted.resize(outHeader.cupsBytesPerLine);
        if (form != RowForm::asRead)
            line.resize(width);
        bool pack = outHeader.cupsColorSpace == CUPS_CSPACE_K && printer.monochrome;
        // A 1-bit black page to a 1-bit printer: its rows are the output's
        // once the pad bits past the last pixel are cleared.
        bool bitsAsRead = pack && form == RowForm::inkBits;
        uint8_t lastMask = width % 8 == 0 ? 0xFF : static_cast<uint8_t>(0xFF << (8 - width % 8));
        for (uint32_t y = 0; y < inHeader.cupsHeight; y++) {
            if (!cupsRasterReadPixels(in, row.data(), inHeader.cupsBytesPerLine))
                break;
            if (bitsAsRead) {
                row[inHeader.cupsBytesPerLine - 1] &= lastMask;
                cupsRasterWritePixels(out, row.data(), outHeader.cupsBytesPerLine);
                continue;
            }
            // Colour rows at scale 1 go out as they were read.
            if (!pack && !grey && scale == 1) {
                cupsRasterWritePixels(out, row.data(), outHeader.cupsBytesPerLine);
                continue;
            }
            // Raster rows that aren't grey or colour already become 8-bit grey.
            const uint8_t *src = row.data();
            if (form == RowForm::inverted) {
                for (uint32_t x = 0; x < width; x++)
                    line[x] = static_cast<uint8_t>(~row[x]);
                src = line.data();
            } else if (form == RowForm::inkBits || form == RowForm::whiteBits) {
                widenBits(row.data(), width, form == RowForm::inkBits ? 0x00 : 0xFF, line.data());
                src = line.data();
            }
            uint8_t *dst = converted.data();
            if (pack) {
                // Eight pixels a byte, the first in the top bit; dark is ink.
                std::memset(dst, 0, outHeader.cupsBytesPerLine);
                for (uint32_t x = 0; x < width; x++)
                    if (src[x] < 128)
                        dst[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
            } else if (grey) {
                for (uint32_t x = 0; x < width; x++)
                    dst[3 * x] = dst[3 * x + 1] = dst[3 * x + 2] = src[x];
            } else {
                for (uint32_t x = 0; x < width; x++)
                    for (uint32_t s = 0; s < scale; s++)
                        std::memcpy(dst + 3 * (static_cast<size_t>(x) * scale + s), &src[3 * static_cast<size_t>(x)], 3);
            }
            for (uint32_t s = 0; s < scale; s++)
                cupsRasterWritePixels(out, dst, outHeader.cupsBytesPerLine);
        }
    }
    cupsRasterClose(in);
    cupsRasterClose(out);
    return status;
}

} // namespace baseline

int main(int argc, char **argv)
{
    if (argc == 2 && std::strcmp(argv[1], "brovane") == 0)
        return baseline::convert(baseline::Mode::brovane);
    if (argc == 2 && std::strcmp(argv[1], "calmeric") == 0)
        return baseline::convert(baseline::Mode::calmeric);
    if (argc == 2 && std::strcmp(argv[1], "brovane-raster") == 0)
        return baseline::convert(baseline::Mode::brovaneRaster);
    std::fprintf(stderr, "usage: urf_baseline brovane|calmeric < job.urf > out.ras\n"
                         "       urf_baseline brovane-raster < job.pwg > out.ras\n");
    return 2;
}
