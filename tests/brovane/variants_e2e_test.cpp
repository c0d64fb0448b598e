// The PostScript and raster-input builds of brovane, run as filters: the
// document's structure, Ghostscript rendering it back, and raster passed through.

#include "support.h"

#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace testsupport;

namespace {

constexpr uint32_t kA4Width = 595, kA4Height = 842; // the test PPDs' page, in points

// Pixels with runs and edges: blocks of colour that change every few pixels.
Bytes testPixels(uint32_t width, uint32_t height, uint32_t pixelSize, uint32_t seed)
{
    Bytes pixels;
    pixels.reserve(static_cast<size_t>(width) * height * pixelSize);
    for (uint32_t y = 0; y < height; y++)
        for (uint32_t x = 0; x < width; x++)
            for (uint32_t c = 0; c < pixelSize; c++)
                pixels.push_back(static_cast<uint8_t>(((x / (5 + c)) * 37 + (y / (3 + c)) * 11 + seed * 29 + c * 80) % 256));
    return pixels;
}

Bytes urfJob(const std::vector<Bytes> &pages, uint32_t width, uint32_t height, uint8_t bits, uint32_t resolution)
{
    Bytes job = urfFileHeader(static_cast<uint32_t>(pages.size()));
    for (const Bytes &pixels : pages) {
        append(job, urfPageHeader(bits, bits == 8 ? 0 : 1, 0, 4, width, height, resolution));
        append(job, encodeUrfPage(pixels, width, height, bits / 8));
    }
    return job;
}

std::vector<std::string> lines(const std::string &text)
{
    RunResult r;
    r.err = text;
    return r.errLines();
}

// Renders a PostScript document with Ghostscript at 72 dpi on an A4 page,
// one device pixel per point; returns each page's RGB pixels.
std::vector<Bytes> render(const std::string &document)
{
    std::string in = writeTempFile(Bytes(document.begin(), document.end()), ".ps");
    std::string base = tempDir() + "/render" + std::to_string(getpid()) + "-";
    std::string out = base + "%d.ppm";
    std::string command = "gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=ppmraw -r72 -dDEVICEWIDTHPOINTS=595 "
                          "-dDEVICEHEIGHTPOINTS=842 -dFIXEDMEDIA -sOutputFile=" + out + " " + in + " >/dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0);
    std::vector<Bytes> pages;
    for (int n = 1;; n++) {
        std::string path = base + std::to_string(n) + ".ppm";
        Bytes ppm = readFile(path);
        if (ppm.empty())
            break;
        unlink(path.c_str());
        // "P6\n# comment\n595 842\n255\n" then the pixels.
        size_t at = 0;
        for (int fields = 0; fields < 4 && at < ppm.size();) {
            if (ppm[at] == '#') {
                while (ppm[at] != '\n')
                    at++;
            } else if (std::isspace(ppm[at])) {
                at++;
                continue;
            } else {
                while (!std::isspace(ppm[at]))
                    at++;
                fields++;
                if (fields == 4)
                    break;
                continue;
            }
            at++;
        }
        pages.emplace_back(ppm.begin() + static_cast<long>(at + 1), ppm.end());
    }
    return pages;
}

RunResult runPs(const char *ppd, const Bytes &job, const std::string &title = "title", const char *program = "brovane/brovane-ps")
{
    RunOptions options;
    options.env = {{"PPD", ppdPath(ppd)}};
    return runFilter(programPath(program), {"7", "alice", title, "1", ""}, job, options);
}

TEST(PostScriptBuild, DocumentStructure)
{
    Bytes job = urfJob({testPixels(4, 3, 3, 1), testPixels(4, 3, 3, 2)}, 4, 3, 24, 300);
    RunResult r = runPs("colour-300.ppd", job);
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> doc = lines(r.out);
    ASSERT_GE(doc.size(), 12u);
    const std::vector<std::string> head = {"%!PS-Adobe-3.0", "%%BoundingBox: 0 0 595 842", "%%cupsRotation: 0",
                                           "%%Creator: ostrick/Quorvel Vexo", "%%CreationDate: N/A",
                                           "%%Title: (title)", "%%For: (alice)", "%%Pages: (atend)",
                                           "%%EndComments", "%%BeginProlog", "%%EndProlog", "%%Page: 1 2",
                                           "/picstr 12 string def",
                                           "/f currentfile /ASCIIHexDecode filter /RunLengthDecode filter def",
                                           "0 0 translate", "595 842 scale", "4 3 8", "[4 0 0 -3 0 3]",
                                           "{ f picstr readstring pop }", "false 3", "colorimage"};
    EXPECT_EQ(std::vector<std::string>(doc.begin(), doc.begin() + static_cast<long>(head.size())), head);
    EXPECT_EQ(doc.back(), "%%EOF");
    EXPECT_EQ(std::count(doc.begin(), doc.end(), "showpage"), 2);
    EXPECT_TRUE(hasLine(doc, "%%Page: 2 2"));
    // Each image ends with the RunLength end byte (after the text of the
    // last row's copies, on their line), the hex end and a blank line.
    int end = lineIndex(doc, ">") - 1;
    ASSERT_GT(end, 0);
    EXPECT_EQ(doc[end].substr(doc[end].size() - 2), "80");
    EXPECT_EQ(doc[end + 2], "");
    EXPECT_EQ(doc[end + 3], "showpage");
    // Nothing of the document goes to standard error, no raster to standard output.
    EXPECT_TRUE(hasLine(r.errLines(), "DEBUG: (brovane) Starting operation 6, psOutput 1, arg0=" +
                                          programPath("brovane/brovane-ps")));
}

TEST(PostScriptBuild, HostileTitleStaysInItsComment)
{
    Bytes job = urfJob({testPixels(2, 2, 3, 1)}, 2, 2, 24, 300);
    RunResult r = runPs("colour-300.ppd", job, "a)\nshowpage\n(b\\");
    ASSERT_EQ(r.status, 0);
    std::vector<std::string> doc = lines(r.out);
    EXPECT_TRUE(hasLine(doc, "%%Title: (a\\)\\012showpage\\012\\(b\\\\)"));
    EXPECT_EQ(std::count(doc.begin(), doc.end(), "showpage"), 1);
    if (!haveProgram("gs"))
        GTEST_SKIP() << "gs not installed";
    EXPECT_EQ(render(r.out).size(), 1u);
}

TEST(PostScriptBuild, GhostscriptRendersTheDecodedPixels)
{
    if (!haveProgram("gs"))
        GTEST_SKIP() << "gs not installed";
    // One URF pixel per point of the A4 page: at 72 dpi each is one device
    // pixel. Colour at 300 dpi (scale 1) and at 150 dpi (scale 2 in raster,
    // the image keeps its own size), and grey expanded to RGB.
    Bytes colour = testPixels(kA4Width, kA4Height, 3, 3);
    for (uint32_t resolution : {300u, 150u}) {
        RunResult r = runPs("colour-300.ppd", urfJob({colour}, kA4Width, kA4Height, 24, resolution));
        ASSERT_EQ(r.status, 0);
        std::vector<Bytes> pages = render(r.out);
        ASSERT_EQ(pages.size(), 1u);
        EXPECT_TRUE(pages[0] == colour) << "resolution " << resolution;
    }

    Bytes grey = testPixels(kA4Width, kA4Height, 1, 4);
    RunResult g = runPs("colour-300.ppd", urfJob({grey}, kA4Width, kA4Height, 8, 300));
    std::vector<Bytes> greyPages = render(g.out);
    ASSERT_EQ(greyPages.size(), 1u);
    Bytes expected;
    for (uint8_t v : grey)
        expected.insert(expected.end(), 3, v);
    EXPECT_TRUE(greyPages[0] == expected);

    // Receipt printer: 1 bit, black where the grey pixel is below 128.
    RunResult m = runPs("receipt.ppd", urfJob({grey}, kA4Width, kA4Height, 8, 203));
    std::vector<Bytes> monoPages = render(m.out);
    ASSERT_EQ(monoPages.size(), 1u);
    Bytes black;
    for (uint8_t v : grey)
        black.insert(black.end(), 3, v < 128 ? 0 : 255);
    EXPECT_TRUE(monoPages[0] == black);
}

// A CUPS raster stream of the given pages written with libcups.
Bytes rasterStream(const std::vector<std::pair<cups_page_header2_t, Bytes>> &pages)
{
    std::string path = writeTempFile({}, ".ras");
    int fd = open(path.c_str(), O_WRONLY);
    cups_raster_t *raster = cupsRasterOpen(fd, CUPS_RASTER_WRITE);
    for (const auto &page : pages) {
        cups_page_header2_t header = page.first;
        cupsRasterWriteHeader2(raster, &header);
        cupsRasterWritePixels(raster, const_cast<uint8_t *>(page.second.data()),
                              static_cast<unsigned>(page.second.size()));
    }
    cupsRasterClose(raster);
    close(fd);
    return readFile(path);
}

cups_page_header2_t rasterHeader(unsigned width, unsigned height, cups_cspace_t space, unsigned colours)
{
    cups_page_header2_t h;
    std::memset(&h, 0, sizeof h);
    h.cupsWidth = width;
    h.cupsHeight = height;
    h.cupsBitsPerColor = 8;
    h.cupsBitsPerPixel = 8 * colours;
    h.cupsBytesPerLine = width * colours;
    h.cupsColorSpace = space;
    h.cupsNumColors = colours;
    h.HWResolution[0] = h.HWResolution[1] = 72;
    h.cupsPageSize[0] = static_cast<float>(kA4Width);
    h.cupsPageSize[1] = static_cast<float>(kA4Height);
    return h;
}

TEST(RasterInputBuild, PagesPassThroughUnchanged)
{
    Bytes grey = testPixels(30, 20, 1, 5), rgb = testPixels(25, 10, 3, 6);
    Bytes input = rasterStream({{rasterHeader(30, 20, CUPS_CSPACE_W, 1), grey},
                                {rasterHeader(25, 10, CUPS_CSPACE_RGB, 3), rgb}});
    RunOptions options;
    options.env = {{"PPD", ppdPath("colour-600.ppd")}};
    RunResult r = runFilter(programPath("brovane/brovane-rasterin"), {"1", "u", "t", "1", ""}, input, options);
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> log = r.errLines();
    EXPECT_FALSE(hasLine(log, "DEBUG: (brovane) Reading header file 12"));
    EXPECT_TRUE(hasLine(log, "DEBUG: (brovane) Page count of zero, resetting to 9999"));
    EXPECT_TRUE(hasLine(log, "DEBUG: (brovane) Reading page header, page 2"));
    EXPECT_TRUE(hasLine(log, "DEBUG: (brovane) Bits per Pixel: 24"));
    EXPECT_TRUE(hasLine(log, "DEBUG: (brovane) Page size: 595 x 842"));
    EXPECT_TRUE(hasLine(log, "DEBUG: (brovane) End of file reached @ page 3"));
    EXPECT_TRUE(hasLine(log, "INFO: Rendering page 2"));

    std::vector<RasterPage> pages = readRaster(r.out);
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_EQ(pages[0].header.cupsWidth, 30u);
    EXPECT_EQ(pages[0].header.cupsColorSpace, CUPS_CSPACE_W);
    EXPECT_EQ(pages[1].header.cupsBytesPerLine, 75u);
    Bytes back0, back1;
    for (const Bytes &row : pages[0].rows)
        append(back0, row);
    for (const Bytes &row : pages[1].rows)
        append(back1, row);
    EXPECT_EQ(back0, grey);
    EXPECT_EQ(back1, rgb);

    // A stream cut inside the second page: its missing row is reported.
    Bytes cut(input.begin(), input.end() - 30);
    RunResult c = runFilter(programPath("brovane/brovane-rasterin"), {"1", "u", "t", "1", ""}, cut, options);
    EXPECT_EQ(c.status, 0);
    EXPECT_TRUE(hasLine(c.errLines(), "ERROR: (brovane) EOF reading raster line 9"));
    EXPECT_TRUE(hasLine(c.errLines(), "DEBUG: (brovane) Result of raster decode 1"));
}

TEST(RasterInputBuild, PostScriptOfRasterRendersItsPixels)
{
    if (!haveProgram("gs"))
        GTEST_SKIP() << "gs not installed";
    Bytes rgb = testPixels(kA4Width, kA4Height, 3, 7);
    Bytes input = rasterStream({{rasterHeader(kA4Width, kA4Height, CUPS_CSPACE_RGB, 3), rgb}});
    RunResult r = runPs("colour-600.ppd", input, "raster", "brovane/brovane-ps-rasterin");
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<Bytes> pages = render(r.out);
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_TRUE(pages[0] == rgb);
}

} // namespace
