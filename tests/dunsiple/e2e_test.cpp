// The dunsiple program run as the scheduler runs it: command line, PPD and
// input failures, page and timing lines, and the packed rows, Ghostscript's too.

#include "support.h"

#include "dunsiple/dither.h"

#include <cstring>
#include <gtest/gtest.h>
#include <regex>
#include <unistd.h>

using testsupport::Bytes;

namespace {

struct Page {
    cups_page_header2_t header;
    Bytes body; // the rows as stored, possibly cut short
};

// 8-bit chunked CMYK, width x height at 72 dpi; components from `value(x, k)`
// or, without it, random with a third of the pixels blank.
Page cmykPage(uint32_t width, uint32_t height, uint32_t seed, int (*value)(uint32_t x, uint32_t k) = nullptr)
{
    Page page;
    std::memset(&page.header, 0, sizeof page.header);
    cups_page_header2_t &h = page.header;
    h.cupsWidth = h.PageSize[0] = width;
    h.cupsHeight = h.PageSize[1] = height;
    h.cupsBitsPerColor = 8;
    h.cupsBitsPerPixel = 32;
    h.cupsBytesPerLine = 4 * width;
    h.cupsColorSpace = CUPS_CSPACE_CMYK;
    h.HWResolution[0] = h.HWResolution[1] = 72;
    for (uint32_t i = 0; i < width * height; i++) {
        seed = seed * 1664525u + 1013904223u;
        bool blank = seed >> 30 == 0;
        for (uint32_t k = 0; k < 4; k++) {
            seed = seed * 1664525u + 1013904223u;
            page.body.push_back(static_cast<uint8_t>(value ? value(i % width, k) : blank ? 0 : seed >> 24));
        }
    }
    return page;
}

int fullInk(uint32_t, uint32_t)
{
    return 255;
}

// An uncompressed raster stream in this machine's byte order, headers and
// bodies exactly as given, so that headers libcups' writer refuses get through.
Bytes rasterStream(const std::vector<Page> &pages)
{
    Bytes out(4);
    const uint32_t sync = CUPS_RASTER_SYNC;
    std::memcpy(out.data(), &sync, 4);
    for (const Page &page : pages) {
        const uint8_t *header = reinterpret_cast<const uint8_t *>(&page.header);
        out.insert(out.end(), header, header + sizeof page.header);
        out.insert(out.end(), page.body.begin(), page.body.end());
    }
    return out;
}

// The expected output of whole rows: the per-pixel rule, then packing, the
// row counter running on from `*counter`.
std::string reference(const std::vector<Bytes> &rows, uint32_t width, uint32_t *counter)
{
    std::string out;
    for (const Bytes &row : rows) {
        Bytes work(4 * static_cast<size_t>(width), 0);
        dunsiple::dither.rowCounter = (*counter)++;
        dunsiple::ditherRowReference(row.data(), static_cast<int32_t>(width), work.data());
        dunsiple::packRow(work.data(), static_cast<int32_t>(width / 2));
        out.append(work.begin(), work.begin() + width / 2);
    }
    return out;
}

std::string reference(const std::vector<Page> &pages, uint32_t counter = 0)
{
    std::string out;
    for (const Page &page : pages) {
        std::vector<Bytes> rows;
        for (size_t at = 0, n = page.header.cupsBytesPerLine; at + n <= page.body.size(); at += n)
            rows.emplace_back(page.body.begin() + static_cast<long>(at), page.body.begin() + static_cast<long>(at + n));
        out += reference(rows, page.header.cupsWidth, &counter);
    }
    return out;
}

std::string cmykPpd(const char *resolutionCode = nullptr)
{
    std::string path = testsupport::ppdPath("cmyk-600.ppd");
    if (resolutionCode == nullptr)
        return path;
    Bytes ppd = testsupport::readFile(path);
    std::string text(ppd.begin(), ppd.end());
    size_t at = text.find("<</HWResolution[600 600]");
    size_t end = text.find('"', at);
    text.replace(at, end - at, resolutionCode);
    return testsupport::writeTempFile(Bytes(text.begin(), text.end()), ".ppd");
}

// Runs the filter with five arguments and the input on standard input, or
// with six and the input in a named file.
testsupport::RunResult run(const Bytes &input, const std::string &ppd, bool byName = false)
{
    testsupport::RunOptions options;
    if (!ppd.empty())
        options.env.emplace_back("PPD", ppd);
    std::vector<std::string> args = {"1", "user", "title", "1", ""};
    if (byName)
        args.push_back(testsupport::writeTempFile(input, ".ras"));
    return testsupport::runFilter(testsupport::programPath("dunsiple"), args, byName ? Bytes() : input, options);
}

// The nine lines that open a page.
std::vector<std::string> pageLines(int n, const cups_page_header2_t &h)
{
    auto line = [](const char *label, int a, int b = 0, bool two = false) {
        return std::string("DEBUG: (dunsiple) ") + label + std::to_string(a) + (two ? " x " + std::to_string(b) : "");
    };
    int width = static_cast<int>(h.cupsWidth), height = static_cast<int>(h.cupsHeight);
    return {line("Page ", n) + " starts.", line("Bits per Color: ", static_cast<int>(h.cupsBitsPerColor)),
            line("Bits per Pixel: ", static_cast<int>(h.cupsBitsPerPixel)),
            line("Bytes per line :", static_cast<int>(h.cupsBytesPerLine)),
            line("Colorspace :", static_cast<int>(h.cupsColorSpace)),
            line("Page size: ", static_cast<int>(h.PageSize[0]), static_cast<int>(h.PageSize[1]), true),
            line("Size: ", width, height, true),
            line("Input resolution : ", static_cast<int>(h.HWResolution[0]), static_cast<int>(h.HWResolution[1]), true),
            line("Output Size: ", width, height, true)};
}

std::string pageEnd(int n)
{
    return "DEBUG: (dunsiple) Page " + std::to_string(n) + " ends.";
}

// The last four lines of a run that reached its end.
void expectTimingReport(const std::vector<std::string> &lines)
{
    ASSERT_GE(lines.size(), 4u);
    const char *labels[3] = {"Real Time  ", "System Time", "User Time  "};
    for (size_t i = 0; i < 3; i++)
        EXPECT_TRUE(std::regex_match(lines[lines.size() - 4 + i],
                                     std::regex(std::string("DEBUG: \\(dunsiple\\) ") + labels[i] + ": [ 0-9]{3}\\.[0-9]{4}")))
            << lines[lines.size() - 4 + i];
    EXPECT_EQ(lines.back(), "DEBUG: (dunsiple) Exiting program 0");
}

TEST(DunsipleRun, UsageGoesToStandardOutputForFiveOrEightArguments)
{
    for (size_t count : {4u, 7u}) {
        std::vector<std::string> args = {"1", "user", "title", "1", "", "a", "b"};
        args.resize(count);
        testsupport::RunResult r = testsupport::runFilter(testsupport::programPath("dunsiple"), args, {});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "Usage: dunsiple job user title copies options [filename]\n");
        EXPECT_EQ(r.err, "");
    }
}

TEST(DunsipleRun, OpenFailuresAndUnusablePpdsEndWithStatusOneBeforeAnyPage)
{
    testsupport::RunOptions options;
    options.env.emplace_back("PPD", cmykPpd());
    testsupport::RunResult r = testsupport::runFilter(testsupport::programPath("dunsiple"),
                                                      {"1", "user", "title", "1", "", "/nonexistent/job"}, {}, options);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ERROR: Unable to open print file: No such file or directory\n");

    Bytes page = rasterStream({cmykPage(64, 2, 0, fullInk)});
    r = run(page, "/nonexistent/printer.ppd");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ERROR: (dunsiple) Unable to open PPD file, 2\n");
    r = run(page, "");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(std::regex_match(r.err, std::regex("ERROR: \\(dunsiple\\) Unable to open PPD file, [0-9]+\n"))) << r.err;

    // No resolution, and one whose product with 595 points wraps to 339 in
    // 32 bits, which would have sized rows of 4 pixels for this page of 64.
    for (const char *dpi : {"0", "7218433"}) {
        r = run(page, cmykPpd(("<</HWResolution[" + std::string(dpi) + " 600]>>setpagedevice").c_str()));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "ERROR: (dunsiple) Page width of 595 points at " + std::string(dpi) +
                             " dpi is not a row of 1 to 262144 pixels\n");
        EXPECT_EQ(r.out, "");
    }
}

TEST(DunsipleRun, InputWithoutPagesGivesOnlyTheTimingReport)
{
    for (const Bytes &input : {Bytes(), Bytes{'%', '!', 'P', 'S', '\n'}}) {
        testsupport::RunResult r = run(input, cmykPpd());
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.errLines().size(), 4u) << r.err;
        expectTimingReport(r.errLines());
    }
}

TEST(DunsipleRun, FullInkPagesContinueTheRowPhaseFromPageToPage)
{
    // Two pages of 10 rows from a named file: the second starts at phase 2,
    // and its row 5 is the job's row 15, phase 7 again.
    std::vector<Page> pages = {cmykPage(16, 10, 0, fullInk), cmykPage(16, 10, 0, fullInk)};
    pages[1].header.HWResolution[1] = 300;
    testsupport::RunResult r = run(rasterStream(pages), cmykPpd(), true);
    EXPECT_EQ(r.status, 0);
    std::string expected;
    for (uint32_t row = 0; row < 20; row++)
        expected += row % 8 == 7 ? std::string("\x0F\xFF\xFF\xFF\x0F\xFF\xFF\xFF", 8) : std::string(8, '\xFF');
    EXPECT_EQ(r.out, expected);

    std::vector<std::string> want = pageLines(1, pages[0].header), second = pageLines(2, pages[1].header);
    want.push_back(pageEnd(1));
    want.insert(want.end(), second.begin(), second.end());
    want.push_back(pageEnd(2));
    std::vector<std::string> lines = r.errLines();
    ASSERT_EQ(lines.size(), want.size() + 4) << r.err;
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + static_cast<long>(want.size())), want);
    expectTimingReport(lines);
}

TEST(DunsipleRun, RowsAsTheRuleGivesThemWhateverTheWidthOrWhereTheStreamEnds)
{
    // Width 5: pixels 3 and 4 at full ink; pixel 3 is byte 1's low nibble,
    // pixel 4 has no byte.
    auto lastTwo = [](uint32_t x, uint32_t) { return x >= 3 ? 255 : 0; };
    EXPECT_EQ(run(rasterStream({cmykPage(5, 3, 0, lastTwo)}), cmykPpd()).out, std::string("\0\x0F\0\x0F\0\x0F", 6));

    std::vector<Page> pages = {cmykPage(37, 11, 1), cmykPage(64, 5, 2), cmykPage(1, 3, 3), cmykPage(203, 9, 4)};
    pages.back().body.resize(3 * 203 * 4 + 10); // the stream ends inside row 3
    testsupport::RunResult r = run(rasterStream(pages), cmykPpd());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, reference(pages));
    ASSERT_EQ(r.errLines().size(), 4 * 10 + 4u) << r.err;
    EXPECT_EQ(r.errLines()[39], pageEnd(4));
    expectTimingReport(r.errLines());
}

TEST(DunsipleRun, HeightsOfZeroOrPastTwoToThe31GiveNoRows)
{
    // libcups refuses a header of height 0: that page and all after it are
    // unread, and the run ends normally.
    std::vector<Page> pages = {cmykPage(6, 2, 6), cmykPage(6, 0, 0), cmykPage(6, 2, 7)};
    testsupport::RunResult r = run(rasterStream(pages), cmykPpd());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, reference({pages[0]}));
    EXPECT_EQ(r.errLines().size(), 14u) << r.err;

    // A height negative as a signed number: logged so, and no row read.
    Page tall = cmykPage(4, 2, 0, fullInk);
    tall.header.cupsHeight = 0x80000001u;
    r = run(rasterStream({tall}), cmykPpd());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    ASSERT_EQ(r.errLines().size(), 14u) << r.err;
    EXPECT_EQ(r.errLines()[6], "DEBUG: (dunsiple) Size: 4 x -2147483647");
    EXPECT_EQ(r.errLines()[9], pageEnd(1));
}

TEST(DunsipleRun, PagesWiderThanThePpdRowGrowTheBuffers)
{
    // At 1 dpi the A4 row is 8 pixels, 32 bytes: every page here is wider.
    std::vector<Page> pages = {cmykPage(300, 4, 7), cmykPage(9, 2, 8), cmykPage(1001, 3, 9)};
    testsupport::RunResult r = run(rasterStream(pages), cmykPpd("<</HWResolution[1 1]>>setpagedevice"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, reference(pages));
    EXPECT_EQ(r.err.find("ERROR"), std::string::npos) << r.err;
}

TEST(DunsipleRun, PagesNotEightBitCmykAreReadPastAndReported)
{
    // Each such page is logged, reported, read past and ends; nothing is
    // written for it, and the last page is dithered from row counter 0.
    Page grey = cmykPage(10, 3, 0, fullInk);
    grey.header.cupsBitsPerPixel = 8;
    grey.header.cupsBytesPerLine = 10;
    grey.body.resize(30);
    Page shortLines = cmykPage(4, 2, 0, fullInk);
    shortLines.header.cupsBytesPerLine = 8;
    shortLines.body.resize(16);
    Page deep = cmykPage(3, 1, 0, fullInk);
    deep.header.cupsBitsPerColor = 16;
    deep.header.cupsBitsPerPixel = 64;
    deep.header.cupsBytesPerLine = 24;
    deep.body.resize(24, 0xFF);
    Page good = cmykPage(6, 4, 11);
    testsupport::RunResult r = run(rasterStream({grey, shortLines, deep, good}), cmykPpd());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, reference({good}));
    std::vector<std::string> lines = r.errLines();
    ASSERT_EQ(lines.size(), 4 * 10 + 3 + 4u) << r.err;
    const char *skipped = "; its rows are skipped";
    EXPECT_EQ(lines[9], std::string("ERROR: (dunsiple) Page 1 is not 8-bit CMYK (8 bits a colour, 8 bits a pixel, "
                                    "10 bytes a line for 10 pixels)") + skipped);
    EXPECT_EQ(lines[20], std::string("ERROR: (dunsiple) Page 2 is not 8-bit CMYK (8 bits a colour, 32 bits a pixel, "
                                     "8 bytes a line for 4 pixels)") + skipped);
    EXPECT_EQ(lines[31], std::string("ERROR: (dunsiple) Page 3 is not 8-bit CMYK (16 bits a colour, 64 bits a pixel, "
                                     "24 bytes a line for 3 pixels)") + skipped);
    EXPECT_EQ(lines[42], pageEnd(4));
}

TEST(DunsipleRun, APagePastTheRowLimitsEndsTheJob)
{
    // Its rows are not read (libcups would decode each into a buffer of the
    // header's line length), so neither is the page after it; the page
    // before it is complete, and the run ends as at the end of its input.
    Page before = cmykPage(6, 2, 5);
    Page wide = cmykPage(1, 2, 0, fullInk);
    wide.header.cupsWidth = (1u << 18) + 1;
    wide.header.cupsBytesPerLine = 4 * wide.header.cupsWidth;
    wide.body.assign(2 * size_t(wide.header.cupsBytesPerLine), 0xFF);
    Page after = cmykPage(6, 4, 11);
    testsupport::RunResult r = run(rasterStream({before, wide, after}), cmykPpd());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, reference({before}));
    std::vector<std::string> lines = r.errLines();
    ASSERT_EQ(lines.size(), 10 + 10 + 4u) << r.err;
    const char *notRead = "; the rest of the job is not read";
    EXPECT_EQ(lines[19], std::string("ERROR: (dunsiple) Page 2 is wider than 262144 pixels or 1048576 bytes a line "
                                     "(262145 pixels, 1048580 bytes)") + notRead);
    expectTimingReport(lines);

    // A line of nearly 2 GiB (the most libcups admits) over a few bytes.
    Page hostile = cmykPage(4, 3, 0, fullInk);
    hostile.header.cupsBytesPerLine = 0x7FFFFFF0u;
    r = run(rasterStream({hostile}), cmykPpd());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(testsupport::hasLine(r.errLines(), "ERROR: (dunsiple) Page 1 is wider than 262144 pixels or 1048576 "
                                                   "bytes a line (4 pixels, 2147483632 bytes)" + std::string(notRead)));
}

TEST(DunsipleGhostscript, RenderedCmykPagesComeOutAsTheRuleDithersThem)
{
    if (!testsupport::haveProgram("gs"))
        GTEST_SKIP() << "Ghostscript (gs) is not installed";
    // Two pages 145 x 40 points, 201 pixels wide at 100 dpi: stripes with all
    // four components varying across, text; then discs varying down the page.
    const std::string postScript = "%!PS\n<< /PageSize [145 40] >> setpagedevice\n"
                                   "0 1 144 { /x exch def x 145 div 1 x 145 div sub x 29 mod 29 div x 7 mod 7 div\n"
                                   "  setcmykcolor x 0 1 40 rectfill } for\n"
                                   "/Helvetica findfont 24 scalefont setfont 0.1 0.9 0.2 0.5 setcmykcolor\n"
                                   "8 10 moveto (Dots) show showpage\n"
                                   "0 1 19 { /i exch def i 19 div 0.6 1 i 19 div sub i 2 mod 0.3 mul setcmykcolor\n"
                                   "  72 20 20 i sub 0 360 arc fill } for showpage\n";
    std::string source = testsupport::writeTempFile(Bytes(postScript.begin(), postScript.end()), ".ps");
    std::string raster = source + ".ras";
    std::string command = "gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=cups -dcupsColorSpace=6 -dcupsBitsPerColor=8 "
                          "-r100 -sOutputFile=" + raster + " " + source + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    std::vector<testsupport::RasterPage> pages = testsupport::readRasterFile(raster);
    Bytes input = testsupport::readFile(raster);
    unlink(raster.c_str());

    ASSERT_EQ(pages.size(), 2u);
    std::string expected;
    uint32_t counter = 0;
    for (const testsupport::RasterPage &page : pages) {
        const cups_page_header2_t &h = page.header;
        ASSERT_TRUE(h.cupsColorSpace == CUPS_CSPACE_CMYK && h.cupsBitsPerPixel == 32 && h.cupsWidth == 201);
        ASSERT_EQ(page.rows.size(), h.cupsHeight);
        expected += reference(page.rows, h.cupsWidth, &counter);
    }
    // Every component must carry ink for the comparison to mean much.
    int inked[4] = {0, 0, 0, 0};
    for (char c : expected)
        for (int bit = 0; bit < 8; bit++)
            inked[3 - bit % 4] += (static_cast<uint8_t>(c) >> bit) & 1;
    for (int k = 0; k < 4; k++)
        EXPECT_GT(inked[k], 100) << "component " << k;
    testsupport::RunResult r = run(input, cmykPpd());
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out == expected) << "output of " << r.out.size() << " bytes differs from the rule's "
                                   << expected.size();
}

} // namespace
