// rasterpreview: turns what a printer would receive into PNG pages a person
// can look at: a CUPS raster stream, or the packed 1-bit CMYK rows of dunsiple.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <csetjmp>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include <cups/raster.h>
#include <png.h>

namespace preview {

// A page larger than this is not previewed: 2^18 pixels is a 108-inch line
// at 2400 dpi, 2^24 rows a 582-foot page. They bound every buffer below.
constexpr uint32_t kMaxWidth = 1u << 18;
constexpr uint32_t kMaxHeight = 1u << 24;

// One PNG being written, row by row.
struct PngOut {
    FILE *file;       // the open PNG file
    png_structp png;  // libpng's writer
    png_infop info;   // its header
};

// Opens `path` for an 8-bit RGB PNG of width x height; false on failure.
static bool openPng(PngOut &out, const std::string &path, uint32_t width, uint32_t height)
{
    out.file = std::fopen(path.c_str(), "wb");
    if (out.file == nullptr) {
        std::perror(path.c_str());
        return false;
    }
    out.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    out.info = out.png != nullptr ? png_create_info_struct(out.png) : nullptr;
    if (out.info == nullptr || setjmp(png_jmpbuf(out.png))) {
        std::fprintf(stderr, "rasterpreview: unable to write %s\n", path.c_str());
        std::fclose(out.file);
        return false;
    }
    png_init_io(out.png, out.file);
    png_set_IHDR(out.png, out.info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(out.png, out.info);
    return true;
}

static void closePng(PngOut &out)
{
    if (setjmp(png_jmpbuf(out.png)) == 0)
        png_write_end(out.png, out.info);
    png_destroy_write_struct(&out.png, &out.info);
    std::fclose(out.file);
}

// Converts one raster row to RGB. False for a layout this tool does not know.
static bool rowToRgb(const cups_page_header2_t &h, const uint8_t *row, uint8_t *rgb)
{
    uint32_t space;
    std::memcpy(&space, &h.cupsColorSpace, sizeof space);
    uint32_t bits = h.cupsBitsPerPixel;
    for (uint32_t x = 0; x < h.cupsWidth; x++, rgb += 3) {
        uint8_t r, g, b;
        if ((space == CUPS_CSPACE_K) && bits == 1) {
            uint8_t ink = (row[x / 8] >> (7 - x % 8)) & 1;
            r = g = b = ink ? 0 : 255;
        } else if ((space == CUPS_CSPACE_K) && bits == 8) {
            r = g = b = static_cast<uint8_t>(255 - row[x]);
        } else if ((space == CUPS_CSPACE_W || space == CUPS_CSPACE_SW) && bits == 8) {
            r = g = b = row[x];
        } else if ((space == CUPS_CSPACE_RGB || space == CUPS_CSPACE_SRGB) && bits == 24) {
            r = row[3 * x];
            g = row[3 * x + 1];
            b = row[3 * x + 2];
        } else if (space == CUPS_CSPACE_CMYK && bits == 32) {
            const uint8_t *p = row + 4 * static_cast<size_t>(x);
            int k = p[3];
            r = static_cast<uint8_t>(std::max(0, 255 - p[0] - k));
            g = static_cast<uint8_t>(std::max(0, 255 - p[1] - k));
            b = static_cast<uint8_t>(std::max(0, 255 - p[2] - k));
        } else {
            return false;
        }
        rgb[0] = r;
        rgb[1] = g;
        rgb[2] = b;
    }
    return true;
}

// Every page of a CUPS raster stream, as <prefix>-<n>.png.
static int previewRaster(const char *input, const std::string &prefix)
{
    int fd = open(input, O_RDONLY);
    cups_raster_t *raster = fd >= 0 ? cupsRasterOpen(fd, CUPS_RASTER_READ) : nullptr;
    if (raster == nullptr) {
        std::fprintf(stderr, "rasterpreview: %s is not a raster stream\n", input);
        return 1;
    }
    cups_page_header2_t h;
    int pages = 0;
    std::vector<uint8_t> row, rgb;
    while (cupsRasterReadHeader2(raster, &h)) {
        pages++;
        if (h.cupsWidth == 0 || h.cupsWidth > kMaxWidth || h.cupsHeight > kMaxHeight ||
            h.cupsBytesPerLine > kMaxWidth * 8u) {
            std::fprintf(stderr, "rasterpreview: page %d is %ux%u, too large to preview\n", pages, h.cupsWidth,
                         h.cupsHeight);
            return 1;
        }
        row.assign(h.cupsBytesPerLine, 0);
        rgb.assign(static_cast<size_t>(h.cupsWidth) * 3, 255);
        std::string path = prefix + "-" + std::to_string(pages) + ".png";
        PngOut out;
        if (!openPng(out, path, h.cupsWidth, h.cupsHeight))
            return 1;
        // A page cut short is finished in white, so the PNG stays whole.
        bool known = true;
        for (uint32_t y = 0; y < h.cupsHeight; y++) {
            if (cupsRasterReadPixels(raster, row.data(), h.cupsBytesPerLine) == 0)
                std::fill(rgb.begin(), rgb.end(), 255);
            else if (!rowToRgb(h, row.data(), rgb.data()))
                known = false;
            png_write_row(out.png, rgb.data());
        }
        closePng(out);
        if (!known) {
            std::fprintf(stderr, "rasterpreview: page %d: colour space / depth not supported\n", pages);
            return 1;
        }
        std::printf("%s (%ux%u)\n", path.c_str(), h.cupsWidth, h.cupsHeight);
    }
    cupsRasterClose(raster);
    close(fd);
    return pages > 0 ? 0 : 1;
}

// Packed 1-bit CMYK rows (two pixels a byte, C M Y K from the high bit),
// width / 2 bytes a row, `height` rows a page, pages one after the other.
static int previewPacked(const char *input, uint32_t width, uint32_t height, const std::string &prefix)
{
    if (width < 2 || width > kMaxWidth || height == 0 || height > kMaxHeight) {
        std::fprintf(stderr, "rasterpreview: width must be 2 to %u, height 1 to %u\n", kMaxWidth, kMaxHeight);
        return 1;
    }
    FILE *in = std::fopen(input, "rb");
    if (in == nullptr) {
        std::perror(input);
        return 1;
    }
    uint32_t pixels = width / 2 * 2; // the packed form drops an odd last pixel
    std::vector<uint8_t> row(width / 2), rgb(static_cast<size_t>(pixels) * 3);
    int pages = 0;
    while (std::fread(row.data(), 1, row.size(), in) == row.size()) {
        pages++;
        std::string path = prefix + "-" + std::to_string(pages) + ".png";
        PngOut out;
        if (!openPng(out, path, pixels, height))
            return 1;
        for (uint32_t y = 0; y < height; y++) {
            if (y > 0 && std::fread(row.data(), 1, row.size(), in) != row.size())
                std::fill(row.begin(), row.end(), 0);
            for (uint32_t x = 0; x < pixels; x++) {
                uint8_t nibble = static_cast<uint8_t>(x % 2 == 0 ? row[x / 2] >> 4 : row[x / 2] & 15);
                bool c = nibble & 8, m = nibble & 4, yellow = nibble & 2, k = nibble & 1;
                rgb[3 * x] = (c || k) ? 0 : 255;
                rgb[3 * x + 1] = (m || k) ? 0 : 255;
                rgb[3 * x + 2] = (yellow || k) ? 0 : 255;
            }
            png_write_row(out.png, rgb.data());
        }
        closePng(out);
        std::printf("%s (%ux%u)\n", path.c_str(), pixels, height);
    }
    std::fclose(in);
    return pages > 0 ? 0 : 1;
}

} // namespace preview

int main(int argc, char **argv)
{
    if (argc == 3)
        return preview::previewRaster(argv[1], argv[2]);
    if (argc == 6 && std::strcmp(argv[1], "--packed-cmyk") == 0)
        return preview::previewPacked(argv[4], static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)),
                                      static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10)), argv[5]);
    std::fprintf(stderr, "usage: rasterpreview RASTER-FILE OUTPUT-PREFIX\n"
                         "       rasterpreview --packed-cmyk WIDTH HEIGHT PACKED-FILE OUTPUT-PREFIX\n");
    return 2;
}
