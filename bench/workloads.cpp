// Photo-like benchmark inputs, the same bytes on every run: URF pages written
// with libcups' URF writer, CMYK samples for a PostScript image, CMYK raster.
//
// workloads urf rgb|grey <width> <height> <pages> <dpi>   URF job on standard output
// workloads cmyk <width> <height>                         CMYK samples on standard output
// workloads raster <width> <height> <pages> <dpi>         uncompressed 8-bit CMYK CUPS raster
//
// Every pixel is a smooth gradient plus a little noise, so neighbouring
// pixels differ and an encoder stores nearly every line as literal runs.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <cups/raster.h>

namespace workloads {

// A fixed linear congruential sequence: the noise is the same on every machine.
struct Noise {
    uint32_t state;
};

static int32_t nextNoise(Noise &noise, int32_t amplitude)
{
    noise.state = noise.state * 1664525u + 1013904223u;
    return static_cast<int32_t>((noise.state >> 16) % static_cast<uint32_t>(2 * amplitude + 1)) - amplitude;
}

static uint8_t clampByte(int32_t value)
{
    return static_cast<uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value);
}

// Component `c` of pixel (x, y) on page `page`: three crossing gradients.
static int32_t gradient(uint32_t x, uint32_t y, uint32_t width, uint32_t height, uint32_t c, uint32_t page)
{
    uint32_t along = c % 3 == 0 ? x * 255 / width : c % 3 == 1 ? y * 255 / height : (x + y) * 255 / (width + height);
    return static_cast<int32_t>((along + 60 * page + 40 * c) % 256);
}

// A page of 8-bit chunked samples, `components` a pixel, as both writers take it.
static cups_page_header2_t pageHeader(uint32_t width, uint32_t height, uint32_t components, uint32_t dpi,
                                      cups_cspace_t colorSpace)
{
    cups_page_header2_t header;
    std::memset(&header, 0, sizeof header);
    header.HWResolution[0] = dpi;
    header.HWResolution[1] = dpi;
    header.cupsWidth = width;
    header.cupsHeight = height;
    header.cupsBitsPerColor = 8;
    header.cupsBitsPerPixel = 8 * components;
    header.cupsBytesPerLine = width * components;
    header.cupsColorOrder = CUPS_ORDER_CHUNKED;
    header.cupsColorSpace = colorSpace;
    header.cupsNumColors = components;
    header.PageSize[0] = width * 72 / dpi;
    header.PageSize[1] = height * 72 / dpi;
    return header;
}

static int writeUrf(bool grey, uint32_t width, uint32_t height, uint32_t pages, uint32_t dpi)
{
    cups_raster_t *out = cupsRasterOpen(1, CUPS_RASTER_WRITE_APPLE);
    if (out == nullptr) {
        std::fprintf(stderr, "workloads: can't open the URF writer\n");
        return 1;
    }
    uint32_t components = grey ? 1 : 3;
    std::vector<uint8_t> row(static_cast<size_t>(width) * components);
    Noise noise = {20240601u};
    for (uint32_t p = 0; p < pages; p++) {
        cups_page_header2_t header =
            pageHeader(width, height, components, dpi, grey ? CUPS_CSPACE_SW : CUPS_CSPACE_SRGB);
        header.cupsInteger[CUPS_RASTER_PWG_TotalPageCount] = pages;
        std::strcpy(header.MediaType, "stationery");
        if (!cupsRasterWriteHeader2(out, &header)) {
            std::fprintf(stderr, "workloads: the URF writer refused the page header\n");
            return 1;
        }
        for (uint32_t y = 0; y < height; y++) {
            for (uint32_t x = 0; x < width; x++)
                for (uint32_t c = 0; c < components; c++)
                    row[static_cast<size_t>(x) * components + c] =
                        clampByte(gradient(x, y, width, height, c, p) + nextNoise(noise, 12));
            cupsRasterWritePixels(out, row.data(), static_cast<unsigned>(row.size()));
        }
    }
    cupsRasterClose(out);
    return 0;
}

// Row y of a dense CMYK photo: every component has some ink, black stays
// light, as in a photo.
static void cmykRow(std::vector<uint8_t> &row, Noise &noise, uint32_t y, uint32_t width, uint32_t height,
                    uint32_t page)
{
    for (uint32_t x = 0; x < width; x++)
        for (uint32_t c = 0; c < 4; c++) {
            int32_t base = gradient(x, y, width, height, c, page);
            if (c == 3)
                base /= 4;
            row[static_cast<size_t>(x) * 4 + c] = clampByte(base + 16 + nextNoise(noise, 16));
        }
}

static int writeCmyk(uint32_t width, uint32_t height)
{
    std::vector<uint8_t> row(static_cast<size_t>(width) * 4);
    Noise noise = {19700101u};
    for (uint32_t y = 0; y < height; y++) {
        cmykRow(row, noise, y, width, height, 0);
        std::fwrite(row.data(), 1, row.size(), stdout);
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}

// The same photo as CUPS raster written by libcups without compression, the
// densest raster a driver chain can hand to dunsiple.
static int writeRaster(uint32_t width, uint32_t height, uint32_t pages, uint32_t dpi)
{
    cups_raster_t *out = cupsRasterOpen(1, CUPS_RASTER_WRITE);
    if (out == nullptr) {
        std::fprintf(stderr, "workloads: can't open the raster writer\n");
        return 1;
    }
    std::vector<uint8_t> row(static_cast<size_t>(width) * 4);
    Noise noise = {19700101u};
    for (uint32_t p = 0; p < pages; p++) {
        cups_page_header2_t header = pageHeader(width, height, 4, dpi, CUPS_CSPACE_CMYK);
        if (!cupsRasterWriteHeader2(out, &header)) {
            std::fprintf(stderr, "workloads: the raster writer refused the page header\n");
            return 1;
        }
        for (uint32_t y = 0; y < height; y++) {
            cmykRow(row, noise, y, width, height, p);
            cupsRasterWritePixels(out, row.data(), static_cast<unsigned>(row.size()));
        }
    }
    cupsRasterClose(out);
    return 0;
}

} // namespace workloads

int main(int argc, char **argv)
{
    if (argc == 7 && std::strcmp(argv[1], "urf") == 0)
        return workloads::writeUrf(std::strcmp(argv[2], "grey") == 0, static_cast<uint32_t>(std::atol(argv[3])),
                                   static_cast<uint32_t>(std::atol(argv[4])), static_cast<uint32_t>(std::atol(argv[5])),
                                   static_cast<uint32_t>(std::atol(argv[6])));
    if (argc == 4 && std::strcmp(argv[1], "cmyk") == 0)
        return workloads::writeCmyk(static_cast<uint32_t>(std::atol(argv[2])),
                                    static_cast<uint32_t>(std::atol(argv[3])));
    if (argc == 6 && std::strcmp(argv[1], "raster") == 0)
        return workloads::writeRaster(static_cast<uint32_t>(std::atol(argv[2])),
                                      static_cast<uint32_t>(std::atol(argv[3])),
                                      static_cast<uint32_t>(std::atol(argv[4])),
                                      static_cast<uint32_t>(std::atol(argv[5])));
    std::fprintf(stderr, "usage: workloads urf rgb|grey WIDTH HEIGHT PAGES DPI | workloads cmyk WIDTH HEIGHT | "
                         "workloads raster WIDTH HEIGHT PAGES DPI\n");
    return 2;
}
