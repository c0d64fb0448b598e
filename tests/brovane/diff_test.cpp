// Differential tests of brovane: URF made by encoders written elsewhere (Ghostscript's
// urf device, libcups' URF writer), brovane's rows checked against libcups' URF reader.

#include "support.h"

#include <cups/raster.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

using namespace testsupport;

namespace {

// What brovane is expected to do with a printer's PPD.
struct Printer {
    const char *ppd;
    uint32_t resolution;        // HWResolution[0] of the PPD
    bool monochrome;            // grey pages go out as 1-bit black
    uint32_t colourPageSpace;   // cupsColorSpace of a page that goes out as 24-bit
};
const Printer kColour600 = {"colour-600.ppd", 600, false, CUPS_CSPACE_RGB};
const Printer kColour300 = {"colour-300.ppd", 300, false, CUPS_CSPACE_RGB};
// The receipt PPD asks for colour space 3, which a colour page turns into 19.
const Printer kReceipt = {"receipt.ppd", 203, true, CUPS_CSPACE_SRGB};

// ---- What brovane should write, from libcups' decoded rows ------------------

// The page header and rows brovane should write for one reference page.
struct Expected {
    uint32_t width, height, bytesPerLine, bitsPerPixel, colorSpace;
    std::vector<Bytes> rows;
};

Expected expectedPage(const RasterPage &reference, const Printer &printer)
{
    const cups_page_header2_t &h = reference.header;
    bool grey = h.cupsBitsPerPixel == 8;
    Expected e;
    if (grey && printer.monochrome) {
        e = {h.cupsWidth, h.cupsHeight, (h.cupsWidth + 7) / 8, 1, CUPS_CSPACE_K, {}};
        for (const Bytes &row : reference.rows)
            e.rows.push_back(packRow(row));
        return e;
    }
    if (grey) {
        e = {h.cupsWidth, h.cupsHeight, h.cupsWidth * 3, 24, printer.colourPageSpace, {}};
        for (const Bytes &row : reference.rows)
            e.rows.push_back(greyToRgb(row));
        return e;
    }
    // Colour pages are enlarged by the printer's resolution over the page's
    // when that is a whole number, each row then repeated as often.
    uint32_t dpi = h.HWResolution[0];
    uint32_t scale = dpi != 0 && printer.resolution % dpi == 0 && printer.resolution / dpi != 0
                         ? printer.resolution / dpi
                         : 1;
    e = {h.cupsWidth * scale, h.cupsHeight * scale, h.cupsWidth * 3 * scale, 24, printer.colourPageSpace, {}};
    for (const Bytes &row : reference.rows) {
        Bytes wide = widen(row, 3, scale);
        for (uint32_t s = 0; s < scale; s++)
            e.rows.push_back(wide);
    }
    return e;
}

// Runs brovane on `urf` for `printer` and compares every page with what
// libcups' own reader makes of the same bytes. Returns brovane's log lines.
std::vector<std::string> compareWithLibcups(const Bytes &urf, const Printer &printer)
{
    SCOPED_TRACE(printer.ppd);
    std::vector<RasterPage> reference = readRaster(std::string(urf.begin(), urf.end()));
    EXPECT_FALSE(reference.empty()) << "libcups read no page";

    RunOptions options;
    options.env.push_back({"PPD", ppdPath(printer.ppd)});
    RunResult run = runFilter(programPath("brovane"), {"7", "tester", "diff", "1", ""}, urf, options);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err.find("ERROR:"), std::string::npos) << run.err;
    std::vector<RasterPage> pages = readRaster(run.out);
    EXPECT_EQ(pages.size(), reference.size());

    for (size_t i = 0; i < pages.size() && i < reference.size(); i++) {
        SCOPED_TRACE("page " + std::to_string(i + 1));
        EXPECT_EQ(reference[i].rows.size(), reference[i].header.cupsHeight) << "libcups read a short page";
        Expected e = expectedPage(reference[i], printer);
        const cups_page_header2_t &h = pages[i].header;
        EXPECT_EQ(h.cupsWidth, e.width);
        EXPECT_EQ(h.cupsHeight, e.height);
        EXPECT_EQ(h.cupsBytesPerLine, e.bytesPerLine);
        EXPECT_EQ(h.cupsBitsPerPixel, e.bitsPerPixel);
        EXPECT_EQ(static_cast<uint32_t>(h.cupsColorSpace), e.colorSpace);
        EXPECT_EQ(pages[i].rows.size(), e.rows.size());

        // One failure line for the page, naming the first row that differs.
        size_t rows = std::min(pages[i].rows.size(), e.rows.size()), differing = 0, first = 0;
        for (size_t y = 0; y < rows; y++)
            if (pages[i].rows[y] != e.rows[y] && differing++ == 0)
                first = y;
        EXPECT_EQ(differing, 0u) << "first differing row " << first;
    }
    return run.errLines();
}

// ---- Ghostscript's URF ------------------------------------------------------------

// Three small pages: text and shapes, stepped ramps in colour and grey, and a
// smooth shading under text and an open arc.
const char *kPostScript = R"PS(%!PS
<< /PageSize [48 36] >> setpagedevice
1 1 0.9 setrgbcolor 0 0 48 36 rectfill
0.8 0.1 0.1 setrgbcolor 4 4 16 12 rectfill
0.1 0.3 0.9 setrgbcolor newpath 34 18 10 0 360 arc fill
0 setgray 1.5 setlinewidth 2 32 moveto 46 20 lineto stroke
/Helvetica findfont 9 scalefont setfont 0.2 0.6 0.2 setrgbcolor 3 24 moveto (URF Ag) show
showpage
0 1 47 { /x exch def x 47 div 0.5 1 x 47 div sub setrgbcolor x 0 1 18 rectfill } for
0 1 47 { /x exch def x 47 div setgray x 18 1 18 rectfill } for
showpage
<< /ShadingType 2 /ColorSpace /DeviceRGB /Coords [0 0 48 36]
   /Function << /FunctionType 2 /Domain [0 1] /C0 [1 0 0] /C1 [0 0 1] /N 1 >> >> shfill
/Times-Bold findfont 14 scalefont setfont 1 setgray 4 12 moveto (Hi!) show
0 setgray 0.5 setlinewidth newpath 24 18 8 0 270 arc closepath stroke
showpage
)PS";

// The PostScript above rendered by Ghostscript's urf device; empty on failure.
Bytes ghostscriptUrf(bool grey, int dpi)
{
    static std::string source;
    if (source.empty())
        source = writeTempFile(Bytes(kPostScript, kPostScript + std::strlen(kPostScript)), ".ps");
    std::string out = writeTempFile({}, ".urf");
    std::string command = "gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=urf -dcupsColorSpace=" +
                          std::string(grey ? "18" : "19") + " -dcupsBitsPerColor=8 -r" + std::to_string(dpi) +
                          " -sOutputFile='" + out + "' '" + source + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0)
        return {};
    Bytes urf = readFile(out);
    unlink(out.c_str());
    return urf;
}

// Colour pages enlarged twice and three times and not at all, grey pages as
// RGB and as packed black: every row as libcups reads the same stream.
TEST(BrovaneDiff, GhostscriptUrfConvertsLikeLibcupsReadsIt)
{
    if (!haveProgram("gs"))
        GTEST_SKIP() << "Ghostscript is not installed";
    struct Case {
        bool grey;
        int dpi;
        Printer printer;
    };
    for (const Case &c : {Case{false, 300, kColour600}, Case{false, 100, kColour300}, Case{false, 100, kReceipt},
                          Case{true, 150, kColour600}, Case{true, 203, kReceipt}}) {
        SCOPED_TRACE(std::string(c.grey ? "grey" : "colour") + " at " + std::to_string(c.dpi) + " dpi");
        Bytes urf = ghostscriptUrf(c.grey, c.dpi);
        ASSERT_FALSE(urf.empty()) << "gs made no URF";
        std::vector<std::string> lines = compareWithLibcups(urf, c.printer);

        // Ghostscript states no page count: the job ends at the end of its input.
        EXPECT_TRUE(hasLine(lines, "DEBUG: (brovane) End of file reached @ page 4"));
    }
}

// ---- libcups' URF writer --------------------------------------------------------------

struct WrittenPage {
    bool grey;
    uint32_t width, height, resolution;
};

// Content that an encoder has to work for: ramps, noise, flat stretches with
// a few changes, and rows equal to the row above.
Bytes pageRow(uint32_t y, uint32_t bytes, uint32_t &state, const Bytes &above)
{
    Bytes row(bytes);
    switch (y % 5) {
    case 0:
        for (uint32_t i = 0; i < bytes; i++)
            row[i] = static_cast<uint8_t>(i * 255 / bytes + y);
        break;
    case 1:
        for (uint32_t i = 0; i < bytes; i++) {
            state = state * 1103515245u + 12345u;
            row[i] = static_cast<uint8_t>(state >> 16);
        }
        break;
    case 2:
        return above;
    case 3:
        for (uint32_t i = 0; i < bytes; i++)
            row[i] = static_cast<uint8_t>((i / 17) % 2 ? 0x20 : 0xE0);
        break;
    default:
        for (uint32_t i = 0; i < bytes; i++) {
            state = state * 1103515245u + 12345u;
            row[i] = (i / 9) % 2 ? static_cast<uint8_t>(state >> 16) : static_cast<uint8_t>(120 + y % 16);
        }
    }
    return row;
}

// A URF stream written by libcups from the pages described; the page count
// is stated in the file header.
Bytes libcupsUrf(const std::vector<WrittenPage> &pages)
{
    std::string path = writeTempFile({}, ".urf");
    int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
    cups_raster_t *raster = cupsRasterOpen(fd, CUPS_RASTER_WRITE_APPLE);
    uint32_t state = 77;
    for (const WrittenPage &p : pages) {
        cups_page_header2_t header;
        std::memset(&header, 0, sizeof header);
        header.cupsWidth = p.width;
        header.cupsHeight = p.height;
        header.cupsBitsPerColor = 8;
        header.cupsBitsPerPixel = p.grey ? 8 : 24;
        header.cupsNumColors = p.grey ? 1 : 3;
        header.cupsBytesPerLine = p.width * (p.grey ? 1 : 3);
        header.cupsColorSpace = p.grey ? CUPS_CSPACE_SW : CUPS_CSPACE_SRGB;
        header.cupsColorOrder = CUPS_ORDER_CHUNKED;
        header.HWResolution[0] = header.HWResolution[1] = p.resolution;
        header.cupsInteger[0] = static_cast<unsigned>(pages.size()); // total page count
        cupsRasterWriteHeader2(raster, &header);
        Bytes row;
        for (uint32_t y = 0; y < p.height; y++) {
            row = pageRow(y, header.cupsBytesPerLine, state, row);
            cupsRasterWritePixels(raster, row.data(), header.cupsBytesPerLine);
        }
    }
    cupsRasterClose(raster);
    close(fd);
    Bytes urf = readFile(path);
    unlink(path.c_str());
    return urf;
}

// sRGB pages at three resolutions: enlarged 2, 3 and 1 times on the 600 dpi
// printer (so the factor is per page), only the 300 dpi one kept on the 300 dpi printer.
TEST(BrovaneDiff, LibcupsColourUrfConvertsLikeLibcupsReadsIt)
{
    Bytes urf = libcupsUrf({{false, 61, 17, 300}, {false, 100, 23, 200}, {false, 33, 40, 600}});
    std::vector<std::string> lines = compareWithLibcups(urf, kColour600);
    EXPECT_TRUE(hasLine(lines, "INFO: Rendering page 3 of 3"));
    compareWithLibcups(urf, kColour300);
    compareWithLibcups(urf, kReceipt);
}

// sGray pages of widths that leave pad bits, as RGB and as packed black.
TEST(BrovaneDiff, LibcupsGreyUrfConvertsLikeLibcupsReadsIt)
{
    Bytes urf = libcupsUrf({{true, 45, 20, 300}, {true, 130, 11, 203}, {true, 8, 30, 600}});
    compareWithLibcups(urf, kColour600);
    compareWithLibcups(urf, kReceipt);
}

// Grey and colour pages mixed in one stream, narrow before wide: each page
// takes its own path on a receipt printer, and buffers follow the widest page.
TEST(BrovaneDiff, LibcupsMixedUrfConvertsLikeLibcupsReadsIt)
{
    Bytes urf = libcupsUrf({{true, 9, 7, 203}, {false, 12, 5, 300}, {true, 201, 13, 203}, {false, 150, 6, 100},
                            {true, 40, 4, 203}});
    compareWithLibcups(urf, kReceipt);
    compareWithLibcups(urf, kColour600);
}

} // namespace
