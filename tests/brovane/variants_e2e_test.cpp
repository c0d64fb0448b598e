// The PostScript and raster-input builds of brovane, run as filters: the
// document's structure, Ghostscript rendering it back, and raster pages
// converted as the same pages in URF are.

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

// A CUPS raster stream of the given pages written with libcups (with
// CUPS_RASTER_WRITE_PWG: PWG raster, as Android phones send it).
Bytes rasterStream(const std::vector<std::pair<cups_page_header2_t, Bytes>> &pages,
                   cups_mode_t mode = CUPS_RASTER_WRITE)
{
    std::string path = writeTempFile({}, ".ras");
    int fd = open(path.c_str(), O_WRONLY);
    cups_raster_t *raster = cupsRasterOpen(fd, mode);
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

// A PWG raster page of 300 dpi as a phone sends it.
cups_page_header2_t pwgHeader(unsigned width, unsigned height, cups_cspace_t space, unsigned bits, unsigned duplex,
                              unsigned tumble)
{
    cups_page_header2_t h;
    std::memset(&h, 0, sizeof h);
    h.cupsWidth = width;
    h.cupsHeight = height;
    h.cupsBitsPerColor = bits == 1 ? 1 : 8;
    h.cupsBitsPerPixel = bits;
    h.cupsBytesPerLine = (width * bits + 7) / 8;
    h.cupsColorSpace = space;
    h.cupsNumColors = bits == 24 ? 3 : 1;
    h.Duplex = static_cast<cups_bool_t>(duplex);
    h.Tumble = static_cast<cups_bool_t>(tumble);
    h.HWResolution[0] = h.HWResolution[1] = 300;
    h.cupsPageSize[0] = static_cast<float>(kA4Width);
    h.cupsPageSize[1] = static_cast<float>(kA4Height);
    return h;
}

// 1-bit rows of `grey` (below 128 sets the bit when `setIsInk`, else 128 and
// above does), every pad bit set: a phone's pad bits are not to be trusted.
Bytes bitRows(const Bytes &grey, uint32_t width, bool setIsInk)
{
    uint32_t rowBytes = (width + 7) / 8;
    Bytes bits;
    for (size_t y = 0; y < grey.size() / width; y++)
        for (uint32_t k = 0; k < rowBytes; k++) {
            uint8_t byte = 0;
            for (uint32_t b = 0; b < 8; b++) {
                uint32_t x = 8 * k + b;
                bool set = x >= width || ((grey[y * width + x] < 128) == setIsInk);
                byte = static_cast<uint8_t>(byte | (set ? 0x80 >> b : 0));
            }
            bits.push_back(byte);
        }
    return bits;
}

// Every kind of page a phone sends (8-bit grey, sRGB, 1-bit black with its
// pad bits set, 1-bit grey, 8-bit black, device RGB; one-sided, long and
// short edge) comes out of the raster-input build byte for byte as the same
// pages in URF come out of brovane: enlarged for a 600 dpi colour printer,
// 1-bit for a receipt printer, sides from the page or else from the job,
// manual copies written twice from a file. Pages that aren't one of these
// are refused as URF pages are; a stream cut short reports its missing row.
TEST(RasterInputBuild, PwgPagesConvertAsTheSameUrfPages)
{
    const uint32_t w = 37, h = 5;
    // The 1-bit pages are `grey` in black and white (`ink`); the 8-bit black
    // page holds `grey`, so its URF page is `grey` inverted.
    Bytes grey = testPixels(w, h, 1, 5), rgb = testPixels(w, h, 3, 6), ink(grey.size()), black(grey.size());
    for (size_t i = 0; i < grey.size(); i++) {
        ink[i] = grey[i] < 128 ? 0x00 : 0xFF;
        black[i] = static_cast<uint8_t>(~grey[i]);
    }
    Bytes pwg = rasterStream({{pwgHeader(w, h, CUPS_CSPACE_SW, 8, 0, 0), grey},
                              {pwgHeader(w, h, CUPS_CSPACE_SRGB, 24, 1, 0), rgb},
                              {pwgHeader(w, h, CUPS_CSPACE_K, 1, 1, 1), bitRows(grey, w, true)},
                              {pwgHeader(w, h, CUPS_CSPACE_SW, 1, 0, 0), bitRows(grey, w, false)},
                              {pwgHeader(w, h, CUPS_CSPACE_K, 8, 0, 0), grey},
                              {pwgHeader(w, h, CUPS_CSPACE_RGB, 24, 1, 1), rgb}},
                             CUPS_RASTER_WRITE_PWG);
    Bytes urf = urfFileHeader(6);
    const std::pair<Bytes, uint8_t> urfPages[] = {{grey, 0}, {rgb, 3}, {ink, 2}, {ink, 0}, {black, 0}, {rgb, 2}};
    for (const auto &p : urfPages) {
        uint8_t bits = p.first.size() == grey.size() ? 8 : 24;
        append(urf, urfPageHeader(bits, bits == 8 ? 0 : 1, p.second, 4, w, h, 300));
        append(urf, encodeUrfPage(p.first, w, h, bits / 8));
    }

    std::string manual = manualCopiesPpd();
    const struct {
        std::string ppd;
        const char *copies;
        const char *options;
        size_t pages;
    } cases[] = {{ppdPath("colour-600.ppd"), "1", "", 6},
                 {ppdPath("receipt.ppd"), "1", "", 6},
                 {manual, "2", "Duplex=DuplexNoTumble", 12}};
    for (const auto &c : cases) {
        RunOptions options;
        options.env = {{"PPD", c.ppd}};
        RunResult fromUrf = runFilter(programPath("brovane"), {"1", "u", "t", c.copies, c.options}, urf, options);
        RunResult fromPwg =
            runFilter(programPath("brovane/brovane-rasterin"), {"1", "u", "t", c.copies, c.options}, pwg, options);
        ASSERT_EQ(fromPwg.status, 0) << fromPwg.err;
        EXPECT_EQ(readRaster(fromPwg.out).size(), c.pages) << c.ppd;
        EXPECT_TRUE(fromPwg.out == fromUrf.out) << c.ppd << "\n" << fromPwg.err;
        EXPECT_TRUE(hasLine(fromPwg.errLines(), "DEBUG: (brovane) Raster page: 37x5 pixels, 1 bits a pixel, colour "
                                                "space 3, 300x300 dpi, duplex 1, tumble 1"));
    }

    // Refused pages end the job after the pages before them, with the reason.
    RunOptions options;
    options.env = {{"PPD", ppdPath("colour-600.ppd")}};
    RunResult first = runFilter(programPath("brovane/brovane-rasterin"), {"1", "u", "t", "1", ""},
                                rasterStream({{pwgHeader(w, h, CUPS_CSPACE_SW, 8, 0, 0), grey}}, CUPS_RASTER_WRITE_PWG), options);
    cups_page_header2_t deep = pwgHeader(w, h, CUPS_CSPACE_SRGB, 48, 0, 0);
    deep.cupsBitsPerColor = 16;
    cups_page_header2_t oblong = pwgHeader(w, h, CUPS_CSPACE_SW, 8, 0, 0);
    oblong.HWResolution[1] = 600;
    cups_page_header2_t planar = pwgHeader(w, h, CUPS_CSPACE_SRGB, 24, 0, 0);
    planar.cupsColorOrder = CUPS_ORDER_PLANAR;
    const std::pair<cups_page_header2_t, const char *> refused[] = {
        {deep, "only 1-bit and 8-bit grey or black and 8-bit chunked RGB or sRGB pages are supported"},
        {planar, "only 1-bit and 8-bit grey or black and 8-bit chunked RGB or sRGB pages are supported"},
        {oblong, "the horizontal and vertical resolutions must be equal"}};
    for (const auto &r : refused) {
        Bytes body(static_cast<size_t>(r.first.cupsBytesPerLine) * h, 0x40);
        RunResult run = runFilter(programPath("brovane/brovane-rasterin"), {"1", "u", "t", "1", ""},
                                  rasterStream({{pwgHeader(w, h, CUPS_CSPACE_SW, 8, 0, 0), grey}, {r.first, body},
                                                {pwgHeader(w, h, CUPS_CSPACE_SW, 8, 0, 0), grey}},
                                               CUPS_RASTER_WRITE_PWG),
                                  options);
        EXPECT_EQ(run.status, 0);
        EXPECT_TRUE(run.out == first.out) << r.second;
        EXPECT_TRUE(hasLine(run.errLines(), "ERROR: (brovane) Page 2 (" + std::to_string(r.first.cupsBitsPerPixel) +
                                                " bits a pixel, colour space " +
                                                std::to_string(static_cast<unsigned>(r.first.cupsColorSpace)) +
                                                ", 37x5 pixels) can't be converted: " + r.second +
                                                "; the rest of the job is not read"))
            << run.err;
    }

    // A stream cut inside its last page: the missing row is reported.
    Bytes cut(pwg.begin(), pwg.end() - 30);
    RunResult c = runFilter(programPath("brovane/brovane-rasterin"), {"1", "u", "t", "1", ""}, cut, options);
    EXPECT_EQ(c.status, 0);
    EXPECT_TRUE(hasLine(c.errLines(), "ERROR: (brovane) EOF reading raster line 4")) << c.err;
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
