// The benchmark's reference for the URF filters: the conversion a user could
// glue together from libcups alone, one row at a time through its URF reader.
//
// urf_baseline brovane  < job.urf > out.ras   (printer from $PPD)
// urf_baseline calmeric < job.urf > out.ras
//
// Pages come from cupsRasterOpen(fd, CUPS_RASTER_READ), which reads URF, and
// rows from cupsRasterReadPixels. Each row is converted with a plain loop
// (1-bit packing, grey to RGB, widening by the enlargement) and written with
// one cupsRasterWritePixels call per output row. The page headers are
// worked out as the filters document them, so the output is byte for byte
// the filters' own: the benchmark checks that before it compares times.

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
    cups_page_header2_t pageHeader; // from the PPD, adjusted in place page by page
    bool monochrome;                // grey pages go out as 1-bit black
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
    bool found = false;
    bool receipt = attributeIsTrue(ppd, "ReceiptPrinter", &found);
    printer.monochrome = found && receipt;
    if (attributeIsTrue(ppd, "BWOnly", &found))
        printer.monochrome = true;
    ppdClose(ppd);
    return true;
}

// The header brovane writes for this page; returns the enlargement.
static uint32_t brovaneHeader(Printer &printer, const cups_page_header2_t &in, bool grey)
{
    cups_page_header2_t &h = printer.pageHeader;
    // The sides as libcups' reader turned the URF code into them (the
    // benchmark's pages all name theirs), and the one copy the runs ask for.
    h.Duplex = in.Duplex;
    h.Tumble = in.Tumble;
    h.NumCopies = 1;
    h.cupsWidth = in.cupsWidth;
    h.cupsHeight = in.cupsHeight;
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
    if (in.cupsBitsPerPixel != 8 && dpi != 0 && h.HWResolution[0] % dpi == 0 && h.HWResolution[0] / dpi != 0)
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

static int convert(bool forBrovane)
{
    Printer printer = {};
    if (forBrovane && !loadPrinter(printer))
        return 1;
    cups_raster_t *in = cupsRasterOpen(0, CUPS_RASTER_READ);
    cups_raster_t *out = cupsRasterOpen(1, CUPS_RASTER_WRITE);
    if (in == nullptr || out == nullptr)
        return 1;

    std::vector<uint8_t> row, converted;
    cups_page_header2_t inHeader;
    while (cupsRasterReadHeader2(in, &inHeader)) {
        bool grey = inHeader.cupsBitsPerPixel == 8;
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

        uint32_t scale = brovaneHeader(printer, inHeader, grey);
        const cups_page_header2_t &outHeader = printer.pageHeader;
        cupsRasterWriteHeader2(out, &printer.pageHeader);
        converted.resize(outHeader.cupsBytesPerLine);
        bool pack = outHeader.cupsColorSpace == CUPS_CSPACE_K && printer.monochrome;
        for (uint32_t y = 0; y < inHeader.cupsHeight; y++) {
            if (!cupsRasterReadPixels(in, row.data(), inHeader.cupsBytesPerLine))
                break;
            // Colour rows at scale 1 go out as they were read.
            if (!pack && !grey && scale == 1) {
                cupsRasterWritePixels(out, row.data(), outHeader.cupsBytesPerLine);
                continue;
            }
            uint8_t *dst = converted.data();
            if (pack) {
                // Eight pixels a byte, the first in the top bit; dark is ink.
                std::memset(dst, 0, outHeader.cupsBytesPerLine);
                for (uint32_t x = 0; x < width; x++)
                    if (row[x] < 128)
                        dst[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
            } else if (grey) {
                for (uint32_t x = 0; x < width; x++)
                    dst[3 * x] = dst[3 * x + 1] = dst[3 * x + 2] = row[x];
            } else {
                for (uint32_t x = 0; x < width; x++)
                    for (uint32_t s = 0; s < scale; s++)
                        std::memcpy(dst + 3 * (static_cast<size_t>(x) * scale + s), &row[3 * static_cast<size_t>(x)], 3);
            }
            for (uint32_t s = 0; s < scale; s++)
                cupsRasterWritePixels(out, dst, outHeader.cupsBytesPerLine);
        }
    }
    cupsRasterClose(in);
    cupsRasterClose(out);
    return 0;
}

} // namespace baseline

int main(int argc, char **argv)
{
    if (argc == 2 && std::strcmp(argv[1], "brovane") == 0)
        return baseline::convert(true);
    if (argc == 2 && std::strcmp(argv[1], "calmeric") == 0)
        return baseline::convert(false);
    std::fprintf(stderr, "usage: urf_baseline brovane|calmeric < job.urf > out.ras\n");
    return 2;
}
