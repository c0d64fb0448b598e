// brovane's pages laid out on their paper as drivers expect them: checked against the same page
// laid out by Ghostscript's cups device for the same PPD, and pages of a paper the printer lacks.

#include "support.h"

#include <cups/raster.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

using namespace testsupport;

namespace {

// A printer with margins on every paper, fractional ones among them, and a landscape label.
// %s: the resolution and colour lines.
const char *kPpd = R"PPD(*PPD-Adobe: "4.3"
*FormatVersion: "4.3"
*FileVersion: "1.0"
*LanguageVersion: English
*LanguageEncoding: ISOLatin1
*PCFileName: "MARGINS.PPD"
*Manufacturer: "Test"
*Product: "(Margins)"
*ModelName: "Margins"
*ShortNickName: "Margins"
*NickName: "Margins"
*PSVersion: "(3010.000) 0"
*LanguageLevel: "3"
*FileSystem: False
*Throughput: "1"
*TTRasterizer: Type42
*cupsVersion: 2.4
*cupsFilter2: "application/vnd.cups-raster application/vnd.cups-raster 0 -"
%s
*OpenUI *PageSize/Media Size: PickOne
*OrderDependency: 10 AnySetup *PageSize
*DefaultPageSize: A6
*PageSize A6/A6: "<</PageSize[298 420]/ImagingBBox null>>setpagedevice"
*PageSize w288h432/4x6: "<</PageSize[288 432]/ImagingBBox null>>setpagedevice"
*PageSize w288h432.Borderless/4x6 Borderless: "<</PageSize[288 432]/ImagingBBox null>>setpagedevice"
*PageSize w288h144/4x2 Label: "<</PageSize[288 144]/ImagingBBox null>>setpagedevice"
*CloseUI: *PageSize
*OpenUI *PageRegion/Media Size: PickOne
*OrderDependency: 10 AnySetup *PageRegion
*DefaultPageRegion: A6
*PageRegion A6/A6: "<</PageSize[298 420]/ImagingBBox null>>setpagedevice"
*PageRegion w288h432/4x6: "<</PageSize[288 432]/ImagingBBox null>>setpagedevice"
*PageRegion w288h432.Borderless/4x6 Borderless: "<</PageSize[288 432]/ImagingBBox null>>setpagedevice"
*PageRegion w288h144/4x2 Label: "<</PageSize[288 144]/ImagingBBox null>>setpagedevice"
*CloseUI: *PageRegion
*DefaultImageableArea: A6
*ImageableArea A6/A6: "12.25 14.75 285.9 410.2"
*ImageableArea w288h432/4x6: "8.4 8.6 279.5 423.7"
*ImageableArea w288h432.Borderless/4x6 Borderless: "0 0 288 432"
*ImageableArea w288h144/4x2 Label: "5.3 3.1 282.9 140.2"
*DefaultPaperDimension: A6
*PaperDimension A6/A6: "298 420"
*PaperDimension w288h432/4x6: "288 432"
*PaperDimension w288h432.Borderless/4x6 Borderless: "288 432"
*PaperDimension w288h144/4x2 Label: "288 144"
)PPD";

const char *kColourLines = R"(*ColorDevice: True
*DefaultColorSpace: RGB
*OpenUI *Resolution/Resolution: PickOne
*OrderDependency: 20 AnySetup *Resolution
*DefaultResolution: 300dpi
*Resolution 300dpi/300 DPI: "<</HWResolution[300 300]/cupsBitsPerColor 8/cupsColorSpace 1>>setpagedevice"
*CloseUI: *Resolution)";

const char *kBlackLines = R"(*ColorDevice: False
*DefaultColorSpace: Gray
*BWOnly: True
*OpenUI *Resolution/Resolution: PickOne
*OrderDependency: 20 AnySetup *Resolution
*DefaultResolution: 203dpi
*Resolution 203dpi/203 DPI: "<</HWResolution[203 203]/cupsBitsPerColor 1/cupsColorSpace 3>>setpagedevice"
*CloseUI: *Resolution)";

// A grey laser's driver at 720x360 dpi, as brovane-enable leaves its PPD; and a colour inkjet at 600x300.
const char *kGreyLines = R"(*ColorDevice: False
*DefaultColorSpace: Gray
*brovaneGrey: True
*brovaneResolution: "360"
*OpenUI *Resolution/Resolution: PickOne
*OrderDependency: 20 AnySetup *Resolution
*DefaultResolution: 360dpi
*Resolution 360dpi/720x360 DPI: "<</HWResolution[720 360]/cupsBitsPerColor 8/cupsColorSpace 0>>setpagedevice"
*CloseUI: *Resolution)";

const char *kWideLines = R"(*ColorDevice: True
*DefaultColorSpace: RGB
*OpenUI *Resolution/Resolution: PickOne
*OrderDependency: 20 AnySetup *Resolution
*DefaultResolution: 300dpi
*Resolution 300dpi/600x300 DPI: "<</HWResolution[600 300]/cupsBitsPerColor 8/cupsColorSpace 1>>setpagedevice"
*CloseUI: *Resolution)";

enum Printer { black203, colour300, grey720x360, colour600x300 };

std::string printerPpd(Printer printer)
{
    const char *lines[] = {kBlackLines, kColourLines, kGreyLines, kWideLines};
    std::string text = kPpd;
    text.replace(text.find("%s"), 2, lines[printer]);
    return writeTempFile(Bytes(text.begin(), text.end()), ".ppd");
}

// A page of width x height points with a black frame 0.25 in inside its edge and a block near
// its top-left corner, so its ink shows where the page's edges went.
std::string framePage(double width, double height)
{
    char text[512];
    std::snprintf(text, sizeof text,
                  "%%!PS\n<< /PageSize [%g %g] >> setpagedevice\n0 setgray 3 setlinewidth\n"
                  "19.5 19.5 %g %g rectstroke\n30 %g 20 10 rectfill\nshowpage\n",
                  width, height, width - 39, height - 39, height - 50);
    return writeTempFile(Bytes(text, text + std::strlen(text)), ".ps");
}

// Runs Ghostscript; its output file, empty on failure.
std::string ghostscript(const std::string &arguments, const std::string &source, const std::string &ppd = "")
{
    std::string out = writeTempFile({}, ".out");
    std::string command = (ppd.empty() ? "" : "PPD='" + ppd + "' ") + "gs -q -dSAFER -dBATCH -dNOPAUSE " +
                          arguments + " -sOutputFile='" + out + "' '" + source + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0)
        return std::string();
    return out;
}

// The phone's page: Ghostscript's URF (or PWG raster) of the whole sheet.
std::string phonePage(const std::string &source, double width, double height, int dpi, const char *device,
                      const char *type)
{
    char arguments[256];
    std::snprintf(arguments, sizeof arguments,
                  "-sDEVICE=%s %s -r%d -dDEVICEWIDTHPOINTS=%g -dDEVICEHEIGHTPOINTS=%g -dFIXEDMEDIA", device, type,
                  dpi, width, height);
    return ghostscript(arguments, source);
}

// Left, top, right and bottom of a page's ink (black in 1-bit pages, dark in RGB ones).
struct Ink {
    long left = -1, top = -1, right = -1, bottom = -1;
};

Ink inkOf(const RasterPage &page)
{
    Ink ink;
    const cups_page_header2_t &h = page.header;
    for (size_t y = 0; y < page.rows.size(); y++)
        for (uint32_t x = 0; x < h.cupsWidth; x++) {
            const Bytes &row = page.rows[y];
            bool dark = h.cupsBitsPerPixel == 1   ? (row[x / 8] >> (7 - x % 8)) & 1
                        : h.cupsBitsPerPixel == 8 ? row[x] < 128
                                                  : row[3 * x] < 128;
            if (!dark)
                continue;
            if (ink.top < 0)
                ink.top = static_cast<long>(y);
            ink.bottom = static_cast<long>(y);
            ink.left = ink.left < 0 || x < ink.left ? x : ink.left;
            ink.right = x > ink.right ? x : ink.right;
        }
    return ink;
}

// brovane's page must have the header fields by which drivers place and size a page as
// Ghostscript's cups device wrote them for the same page, and its ink where that page's is.
void expectLaidOutAsGhostscript(const RasterPage &mine, const RasterPage &reference, const std::string &what)
{
    const cups_page_header2_t &m = mine.header, &r = reference.header;
    EXPECT_EQ(m.PageSize[0], r.PageSize[0]) << what;
    EXPECT_EQ(m.PageSize[1], r.PageSize[1]) << what;
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(m.ImagingBoundingBox[i], r.ImagingBoundingBox[i]) << what << ", ImagingBoundingBox " << i;
    EXPECT_EQ(m.Margins[0], r.Margins[0]) << what;
    EXPECT_EQ(m.Margins[1], r.Margins[1]) << what;
    EXPECT_EQ(m.HWResolution[0], r.HWResolution[0]) << what;
    EXPECT_EQ(m.HWResolution[1], r.HWResolution[1]) << what;
    EXPECT_EQ(m.cupsBitsPerPixel, r.cupsBitsPerPixel) << what;
    EXPECT_EQ(m.cupsWidth, r.cupsWidth) << what;
    EXPECT_EQ(m.cupsHeight, r.cupsHeight) << what;
    EXPECT_STREQ(m.cupsPageSizeName, r.cupsPageSizeName) << what;
    ASSERT_EQ(mine.rows.size(), m.cupsHeight) << what;
    Ink a = inkOf(mine), b = inkOf(reference);
    ASSERT_GE(b.left, 0) << what << ": no ink in the reference";
    EXPECT_LE(std::labs(a.left - b.left), 1) << what;
    EXPECT_LE(std::labs(a.top - b.top), 1) << what;
    EXPECT_LE(std::labs(a.right - b.right), 1) << what;
    EXPECT_LE(std::labs(a.bottom - b.bottom), 1) << what;
}

struct Case {
    const char *what;
    double width, height; // the page, in points
    Printer printer;
    bool colour;          // a colour page (else grey)
    int phoneDpi;         // the page's resolution
    const char *options;  // the job's options
};

TEST(BrovaneLayout, PagesAreLaidOutOnTheirPaperAsGhostscriptLaysThemOut)
{
    if (!haveProgram("gs"))
        GTEST_SKIP() << "Ghostscript is not installed";
    const Case cases[] = {
        // Enlarged twice and cut at 300 dpi; margins of tenths of a point.
        {"colour 4x6 at 150 dpi", 288, 432, colour300, true, 150, "PageSize=w288h432"},
        // The job names another paper (and one names none): the page's own is taken.
        {"colour A6, the job asking 4x6", 298, 420, colour300, true, 300, "PageSize=w288h432"},
        {"colour landscape label, no paper named", 288, 144, colour300, true, 300, ""},
        // 1-bit black cut at a pixel that is not a byte's first.
        {"black A6 at 203 dpi", 298, 420, black203, false, 203, ""},
        {"black landscape label at 203 dpi", 288, 144, black203, false, 203, "media=w288h144"},
        // Resolutions that differ across and down: each way its own enlargement; grey drivers' pages
        // in 8-bit grey, colour ones by their luma.
        {"colour 4x6 at 300 dpi on 600x300", 288, 432, colour600x300, true, 300, ""},
        {"grey A6 at 300 dpi on 600x300", 298, 420, colour600x300, false, 300, ""},
        {"colour 4x6 at 360 dpi for a 720x360 grey driver", 288, 432, grey720x360, true, 360, ""},
        {"grey label at 360 dpi for a 720x360 grey driver", 288, 144, grey720x360, false, 360, ""},
    };
    const char *references[] = {"-r203 -dcupsColorSpace=3 -dcupsBitsPerColor=1",
                                "-r300 -dcupsColorSpace=1 -dcupsBitsPerColor=8",
                                "-r720x360 -dcupsColorSpace=0 -dcupsBitsPerColor=8",
                                "-r600x300 -dcupsColorSpace=1 -dcupsBitsPerColor=8"};
    for (const Case &c : cases) {
        std::string ppd = printerPpd(c.printer);
        std::string source = framePage(c.width, c.height);
        std::string urf = phonePage(source, c.width, c.height, c.phoneDpi, "urf",
                                    c.colour ? "-dcupsColorSpace=19 -dcupsBitsPerColor=8"
                                             : "-dcupsColorSpace=18 -dcupsBitsPerColor=8");
        std::string reference = ghostscript(std::string("-sDEVICE=cups ") + references[c.printer], source, ppd);
        ASSERT_FALSE(urf.empty() || reference.empty()) << c.what << ": Ghostscript failed";
        RunOptions options;
        options.env = {{"PPD", ppd}};
        RunResult run = runFilter(programPath("brovane"), {"1", "u", "t", "1", c.options}, readFile(urf), options);
        ASSERT_EQ(run.status, 0) << c.what << "\n" << run.err;
        std::vector<RasterPage> mine = readRaster(run.out), theirs = readRasterFile(reference);
        ASSERT_EQ(mine.size(), 1u) << c.what;
        ASSERT_FALSE(theirs.empty()) << c.what;
        expectLaidOutAsGhostscript(mine[0], theirs[0], c.what);

        // The same job cut short inside a line: every row made before the break comes out as from
        // the whole job (rows are made inside the batch, over the end of the rows held before them).
        Bytes whole = readFile(urf);
        RunResult cut = runFilter(programPath("brovane"), {"1", "u", "t", "1", c.options},
                                  Bytes(whole.begin(), whole.begin() + whole.size() / 2), options);
        EXPECT_GT(cut.out.size(), 1800 + 8 * size_t{mine[0].header.cupsBytesPerLine}) << c.what << "\n" << cut.err;
        EXPECT_TRUE(cut.out.size() <= run.out.size() && std::equal(cut.out.begin(), cut.out.end(), run.out.begin()))
            << c.what << ": cut short";

        // An Android phone's PWG raster of the same page comes out as the iPhone's URF.
        std::string pwg = phonePage(source, c.width, c.height, c.phoneDpi, "pwgraster",
                                    c.colour ? "-dcupsColorSpace=19 -dcupsBitsPerColor=8"
                                             : "-dcupsColorSpace=3 -dcupsBitsPerColor=1");
        ASSERT_FALSE(pwg.empty());
        RunResult fromPwg =
            runFilter(programPath("brovane/brovane-rasterin"), {"1", "u", "t", "1", c.options}, readFile(pwg), options);
        ASSERT_EQ(fromPwg.status, 0) << c.what << "\n" << fromPwg.err;
        std::vector<RasterPage> pwgPages = readRaster(fromPwg.out);
        ASSERT_EQ(pwgPages.size(), 1u) << c.what;
        expectLaidOutAsGhostscript(pwgPages[0], theirs[0], std::string(c.what) + ", from PWG raster");
        for (const std::string &path : {ppd, source, urf, reference, pwg})
            unlink(path.c_str());
    }
}

TEST(BrovaneLayout, BorderlessPaperKeepsTheWholePageAndPaperThePrinterLacksPrintsNothing)
{
    if (!haveProgram("gs"))
        GTEST_SKIP() << "Ghostscript is not installed";
    std::string ppd = printerPpd(colour300);
    RunOptions options;
    options.env = {{"PPD", ppd}};
    std::string source = framePage(288, 432);
    std::string urf = phonePage(source, 288, 432, 300, "urf", "-dcupsColorSpace=19 -dcupsBitsPerColor=8");
    ASSERT_FALSE(urf.empty());

    // Borderless asked: the whole sheet, every pixel the phone drew.
    RunResult run =
        runFilter(programPath("brovane"), {"1", "u", "t", "1", "PageSize=w288h432.Borderless"}, readFile(urf), options);
    std::vector<RasterPage> pages = readRaster(run.out);
    ASSERT_EQ(pages.size(), 1u) << run.err;
    EXPECT_EQ(pages[0].header.cupsWidth, 1200u);
    EXPECT_EQ(pages[0].header.cupsHeight, 1800u);
    EXPECT_STREQ(pages[0].header.cupsPageSizeName, "w288h432.Borderless");

    // Paper the printer does not have: one line, and no page on other paper. A 3 x 3 inch page,
    // then a 6 x 4 inch one (the printer has it only the other way round).
    for (const auto &[width, height, line] :
         {std::tuple<double, double, const char *>{216, 216, "it is 216 x 216 pt (3.00 x 3.00 in) and the printer "
                                                               "has no such paper;"},
          {432, 288, "it is 432 x 288 pt (6.00 x 4.00 in) and the printer has no such paper (only the other way "
                     "round);"}}) {
        std::string other = framePage(width, height);
        std::string job = phonePage(other, width, height, 300, "urf", "-dcupsColorSpace=19 -dcupsBitsPerColor=8");
        ASSERT_FALSE(job.empty());
        run = runFilter(programPath("brovane"), {"1", "u", "t", "1", ""}, readFile(job), options);
        EXPECT_EQ(run.status, 0);
        EXPECT_TRUE(readRaster(run.out).empty()) << line;
        int errors = 0;
        for (const std::string &l : run.errLines())
            if (l.rfind("ERROR:", 0) == 0) {
                errors++;
                EXPECT_NE(l.find(line), std::string::npos) << l;
            }
        EXPECT_EQ(errors, 1) << run.err;
        unlink(other.c_str());
        unlink(job.c_str());
    }
    for (const std::string &path : {ppd, source, urf})
        unlink(path.c_str());
}

} // namespace
