// End-to-end tests of brovane: the built program run as the scheduler runs it, on
// hand-made URF jobs with the test PPDs; exit status, message lines and raster read back.

#include "support.h"

#include <cups/ppd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace testsupport;

namespace {

// ---- Jobs and the rows they should give ------------------------------------

// job, user, title, copies, options: six arguments with the program name, so
// the job comes on standard input.
const std::vector<std::string> kArgs = {"42", "alice", "Quarterly report", "1", ""};

// A page's pixels as the URF encoder sees them, rows top first.
struct Image {
    uint32_t width;
    uint32_t height;
    uint32_t pixelSize; // 1 grey, 3 colour
    Bytes pixels;

    Bytes row(uint32_t y) const
    {
        size_t bytes = static_cast<size_t>(width) * pixelSize;
        return Bytes(pixels.begin() + static_cast<std::ptrdiff_t>(y * bytes),
                     pixels.begin() + static_cast<std::ptrdiff_t>((y + 1) * bytes));
    }
};

// Content that exercises every code kind: flat runs, ramps, noise, values on
// both sides of the 128 ink threshold, and rows that repeat the row above.
Image makeImage(uint32_t width, uint32_t height, uint32_t pixelSize, uint32_t seed)
{
    Image image{width, height, pixelSize, {}};
    uint32_t state = seed * 2654435761u + 12345u;
    for (uint32_t y = 0; y < height; y++) {
        if (y % 3 == 2) {
            Bytes above = image.row(y - 1);
            image.pixels.insert(image.pixels.end(), above.begin(), above.end());
            continue;
        }
        for (uint32_t x = 0; x < width; x++) {
            uint32_t kind = (x / 5 + y + seed) % 3;
            for (uint32_t c = 0; c < pixelSize; c++) {
                uint8_t value;
                if (kind == 0) {
                    value = static_cast<uint8_t>(100 + 30 * c + 11 * y);
                } else if (kind == 1) {
                    value = static_cast<uint8_t>(x * 255 / (width > 1 ? width - 1 : 1));
                } else {
                    state = state * 1103515245u + 12345u;
                    value = static_cast<uint8_t>(state >> 16);
                }
                image.pixels.push_back(value);
            }
        }
    }
    return image;
}

// A URF page: header plus encoded lines.
Bytes urfPage(const Image &image, uint8_t colorSpace, uint32_t resolution, uint8_t duplex = 0, uint8_t quality = 4)
{
    Bytes page = urfPageHeader(static_cast<uint8_t>(image.pixelSize * 8), colorSpace, duplex, quality, image.width,
                               image.height, resolution);
    append(page, encodeUrfPage(image.pixels, image.width, image.height, image.pixelSize));
    return page;
}

Bytes urfJob(uint32_t pageCount, const std::vector<Bytes> &pages)
{
    Bytes job = urfFileHeader(pageCount);
    for (const Bytes &page : pages)
        append(job, page);
    return job;
}

enum class Out { Mono, GreyRgb, Colour };

// The output rows a page should give: converted, widened, each row `scale` times.
std::vector<Bytes> expectedRows(const Image &image, Out out, uint32_t scale = 1)
{
    std::vector<Bytes> rows;
    for (uint32_t y = 0; y < image.height; y++) {
        Bytes row = image.row(y);
        Bytes converted = out == Out::Mono      ? packRow(row)
                          : out == Out::GreyRgb ? greyToRgb(row)
                                                : widen(row, image.pixelSize, scale);
        for (uint32_t s = 0; s < scale; s++)
            rows.push_back(converted);
    }
    return rows;
}

// ---- Running brovane -----------------------------------------------------------

RunResult runBrovane(const char *ppd, const Bytes &input, const std::vector<std::string> &args = kArgs,
                     RunOptions options = RunOptions())
{
    if (ppd != nullptr)
        options.env.push_back({"PPD", ppdPath(ppd)});
    return runFilter(programPath("brovane"), args, input, options);
}

// Runs brovane with `input` on a pipe, one byte at a time: each byte is
// written only once the filter has taken the one before, so every read it
// makes gets exactly one byte. With `sigtermAfter` >= 0, SIGTERM is sent once
// that many bytes were taken.
RunResult runTrickled(const char *ppd, const Bytes &input, int sigtermAfter = -1)
{
    RunOptions options;
    options.stdinPipe = true;
    options.oneBytePerRead = true;
    options.sigtermAfterBytes = sigtermAfter;
    return runBrovane(ppd, input, kArgs, options);
}

std::string line(const std::string &text)
{
    return "DEBUG: (brovane) " + text;
}

// Length of the option code of a PPD with its defaults marked, asked of libcups
// itself: the number that the "Starting meta gather" line must show.
int optionCodeLength(const char *ppd)
{
    ppd_file_t *file = ppdOpenFile(ppdPath(ppd).c_str());
    if (file == nullptr)
        return -1;
    ppdMarkDefaults(file);
    char *code = ppdEmitString(file, PPD_ORDER_ANY, 0.0f);
    int length = code != nullptr ? static_cast<int>(std::strlen(code)) : -1;
    std::free(code);
    ppdClose(file);
    return length;
}

// The lines every run writes before the job input is touched.
std::vector<std::string> startLines(int argc, const char *ppd)
{
    return {line("Starting operation " + std::to_string(argc) + ", psOutput 0, arg0=" + programPath("brovane")),
            line("Emit code ready: 0"), line("Starting meta gather, " + std::to_string(optionCodeLength(ppd))),
            line("Done with meta gather, 0")};
}

// The four closing lines of a run that reached its end: three timing lines in
// "%8.4f" and the exit line. Returns a description of the first mismatch.
::testing::AssertionResult endsWithTiming(const std::vector<std::string> &lines)
{
    if (lines.size() < 4)
        return ::testing::AssertionFailure() << "only " << lines.size() << " lines";
    static const char *labels[] = {"Real Time  ", "System Time", "User Time  "};
    size_t first = lines.size() - 4;
    for (int i = 0; i < 3; i++) {
        std::regex form(std::string("DEBUG: \\(brovane\\) ") + labels[i] + ": [ 0-9]{2}[0-9]\\.[0-9]{4}");
        if (!std::regex_match(lines[first + i], form))
            return ::testing::AssertionFailure() << "timing line " << i << " is \"" << lines[first + i] << "\"";
    }
    if (lines.back() != line("Exiting program 0"))
        return ::testing::AssertionFailure() << "last line is \"" << lines.back() << "\"";
    return ::testing::AssertionSuccess();
}

// The lines from `from` (inclusive) up to the timing report.
std::vector<std::string> linesFrom(const std::vector<std::string> &lines, const std::string &from)
{
    int start = lineIndex(lines, from);
    if (start < 0 || lines.size() < 4)
        return {};
    return std::vector<std::string>(lines.begin() + start, lines.end() - 4);
}

int countLines(const std::vector<std::string> &lines, const std::string &prefix)
{
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string &l) {
        return l.compare(0, prefix.size(), prefix) == 0;
    }));
}

// Compares one output page with the header values and rows it should have.
void expectPage(const RasterPage &page, uint32_t width, uint32_t height, uint32_t bytesPerLine,
                uint32_t bitsPerPixel, uint32_t colorSpace, const std::vector<Bytes> &rows)
{
    EXPECT_EQ(page.header.cupsWidth, width);
    EXPECT_EQ(page.header.cupsHeight, height);
    EXPECT_EQ(page.header.cupsBytesPerLine, bytesPerLine);
    EXPECT_EQ(page.header.cupsBitsPerPixel, bitsPerPixel);
    EXPECT_EQ(page.header.cupsBitsPerColor, bitsPerPixel == 1 ? 1u : 8u);
    EXPECT_EQ(page.header.cupsNumColors, bitsPerPixel == 1 ? 1u : 3u);
    EXPECT_EQ(static_cast<uint32_t>(page.header.cupsColorSpace), colorSpace);
    ASSERT_EQ(page.rows.size(), rows.size());
    for (size_t y = 0; y < rows.size(); y++)
        EXPECT_EQ(page.rows[y], rows[y]) << "row " << y;
}

// ---- The log of a whole job -------------------------------------------------

// The one-page job spelled out byte by byte: every line of the log in order,
// and the page enlarged twice (300 dpi page, 600 dpi printer).
TEST(BrovaneJobLog, OnePageJobLogsEveryStageInOrder)
{
    Bytes input = {0x55, 0x4E, 0x49, 0x52, 0x41, 0x53, 0x54, 0x00, 0x00, 0x00, 0x00, 0x01, // UNIRAST, 1 page
                   0x18, 0x01, 0x00, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, // 24 bits, colour, simplex, quality 4
                   0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x2C, // 2 x 1 at 300 dpi
                   0, 0, 0, 0, 0, 0, 0, 0,
                   0x00, 0x01, 0xFF, 0x00, 0x00}; // one line: red twice
    RunResult run = runBrovane("colour-600.ppd", input);
    ASSERT_EQ(run.status, 0) << run.err;

    std::vector<std::string> expected = startLines(6, "colour-600.ppd");
    std::vector<std::string> rest = {
        line("Reading header file 12"),
        line("UNIRAST file, with 1 page(s)."),
        line("Reading page header 32"),
        line(".. Bytes read 32"),
        line("Page 1 :"),
        line("PPD : " + ppdPath("colour-600.ppd")),
        line("ARG 1: 42"),
        line("ARG 2: alice"),
        line("ARG 3: Quarterly report"),
        line("ARG 4: 1"),
        line("ARG 5: "),
        line("Language version/level: English/3"),
        line("Bits Per Pixel : 24 (Page Header), computed : 8"),
        line("Colorspace : org(1), computed(1)"),
        line("Cups Colorspace : 1"),
        line("Duplex Mode : 0"),
        line("Quality : 4"),
        line("Size : 2x1 pixels"),
        line("Dots per Inches : 300"),
        line("Color device: 1"),
        line("Device resolution: 600 x 600"),
        line("Scaling: 2"),
        line("Compression: 0"),
        line("B/W only Printer: 0"),
        line("Decoding raster image for page 1"),
        "INFO: Rendering page 1 of 1",
        line("Result of raster decode 0"),
        "INFO:",
        line("Completed processing 0"),
    };
    expected.insert(expected.end(), rest.begin(), rest.end());

    // Everything but the timing values is fixed text; the report closes the log
    // and the last line ends with its newline too.
    std::vector<std::string> lines = run.errLines();
    ASSERT_EQ(lines.size(), expected.size() + 4) << run.err;
    for (size_t i = 0; i < expected.size(); i++)
        EXPECT_EQ(lines[i], expected[i]) << "line " << i;
    EXPECT_TRUE(endsWithTiming(lines));
    EXPECT_EQ(run.err.back(), '\n');

    // One page of 4 x 2 red pixels: the pixel pair widened and the row doubled.
    std::vector<RasterPage> pages = readRaster(run.out);
    ASSERT_EQ(pages.size(), 1u);
    Bytes red = {0xFF, 0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0xFF, 0, 0};
    expectPage(pages[0], 4, 2, 12, 24, 1, {red, red});
    EXPECT_EQ(pages[0].header.HWResolution[0], 600u);
    EXPECT_EQ(pages[0].header.HWResolution[1], 600u);
    EXPECT_EQ(pages[0].header.cupsColorOrder, CUPS_ORDER_CHUNKED);
}

// A file header without a count: the count becomes 9999, progress lines show
// no total, the argument lines come with page 1 only, and the job ends at the
// end of the input, naming the page after the last.
TEST(BrovaneJobLog, UnstatedPageCountReadsToTheEndOfInput)
{
    Image a = makeImage(9, 4, 1, 1), b = makeImage(5, 3, 3, 2), c = makeImage(12, 2, 1, 3);
    RunResult run = runBrovane("colour-300.ppd", urfJob(0, {urfPage(a, 0, 300), urfPage(b, 1, 300), urfPage(c, 0, 300)}));
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<std::string> lines = run.errLines();

    EXPECT_TRUE(hasLine(lines, line("UNIRAST file, with 0 page(s).")));
    EXPECT_TRUE(hasLine(lines, line("Page count of zero, resetting to 9999")));
    for (const char *progress : {"INFO: Rendering page 1", "INFO: Rendering page 2", "INFO: Rendering page 3"})
        EXPECT_TRUE(hasLine(lines, progress)) << progress;
    EXPECT_EQ(countLines(lines, "INFO: Rendering page"), 3);
    EXPECT_EQ(countLines(lines, line("ARG ")), 5);
    EXPECT_EQ(countLines(lines, line("Language version/level: ")), 1);
    EXPECT_LT(lineIndex(lines, line("ARG 1: 42")), lineIndex(lines, line("Page 2 :")));

    // Page 2's block: the same lines as page 1's, less the argument and
    // language lines.
    std::vector<std::string> page2 = linesFrom(lines, line("Page 2 :"));
    ASSERT_GE(page2.size(), 17u) << run.err;
    std::vector<std::string> expected2 = {
        line("Page 2 :"),
        line("PPD : " + ppdPath("colour-300.ppd")),
        line("Bits Per Pixel : 24 (Page Header), computed : 8"),
        line("Colorspace : org(1), computed(1)"),
        line("Cups Colorspace : 1"),
        line("Duplex Mode : 0"),
        line("Quality : 4"),
        line("Size : 5x3 pixels"),
        line("Dots per Inches : 300"),
        line("Color device: 1"),
        line("Device resolution: 300 x 300"),
        line("Scaling: 1"),
        line("Compression: 0"),
        line("B/W only Printer: 0"),
        line("Decoding raster image for page 2"),
        "INFO: Rendering page 2",
        line("Result of raster decode 0"),
    };
    EXPECT_EQ(std::vector<std::string>(page2.begin(), page2.begin() + 17), expected2);

    // The end: a fourth header read finds the end of the input.
    std::vector<std::string> tail = linesFrom(lines, line("Decoding raster image for page 3"));
    std::vector<std::string> expectedTail = {
        line("Decoding raster image for page 3"), "INFO: Rendering page 3", line("Result of raster decode 0"),
        line("Reading page header 32"),           line("End of file reached @ page 4"),
        "INFO:",                                   line("Completed processing 0")};
    EXPECT_EQ(tail, expectedTail);
    EXPECT_TRUE(endsWithTiming(lines));

    std::vector<RasterPage> pages = readRaster(run.out);
    ASSERT_EQ(pages.size(), 3u);
    expectPage(pages[0], 9, 4, 27, 24, 1, expectedRows(a, Out::GreyRgb));
    expectPage(pages[1], 5, 3, 15, 24, 1, expectedRows(b, Out::Colour));
    expectPage(pages[2], 12, 2, 36, 24, 1, expectedRows(c, Out::GreyRgb));
}

// Below 1000 the progress line names the total; from 1000 on it doesn't.
TEST(BrovaneJobLog, ProgressLineShowsTheTotalBelow1000)
{
    Image image = makeImage(4, 2, 1, 4);
    RunResult run999 = runBrovane("colour-300.ppd", urfJob(999, {urfPage(image, 0, 300)}));
    RunResult run1000 = runBrovane("colour-300.ppd", urfJob(1000, {urfPage(image, 0, 300)}));
    ASSERT_EQ(run999.status, 0) << run999.err;
    ASSERT_EQ(run1000.status, 0) << run1000.err;

    EXPECT_TRUE(hasLine(run999.errLines(), "INFO: Rendering page 1 of 999"));
    EXPECT_TRUE(hasLine(run1000.errLines(), "INFO: Rendering page 1"));
    EXPECT_EQ(countLines(run1000.errLines(), "INFO: Rendering page 1 of"), 0);
    // Neither count is reset, and both jobs end at the end of the input.
    EXPECT_FALSE(hasLine(run1000.errLines(), line("Page count of zero, resetting to 9999")));
    EXPECT_TRUE(hasLine(run999.errLines(), line("End of file reached @ page 2")));
    EXPECT_TRUE(hasLine(run1000.errLines(), line("End of file reached @ page 2")));
    EXPECT_EQ(readRaster(run999.out).size(), 1u);
    EXPECT_EQ(readRaster(run1000.out).size(), 1u);
}

// The stated count rules: pages beyond it are never read; a stream that holds
// fewer ends quietly at the first missing page.
TEST(BrovaneJobLog, StatedPageCountLimitsAndMissingPagesEndQuietly)
{
    Image a = makeImage(6, 3, 3, 5), b = makeImage(6, 3, 1, 6), c = makeImage(7, 2, 3, 7);

    // Two announced, three present: two pages out, the third header never read.
    RunResult more = runBrovane("colour-300.ppd", urfJob(2, {urfPage(a, 1, 300), urfPage(b, 0, 300), urfPage(c, 1, 300)}));
    ASSERT_EQ(more.status, 0) << more.err;
    std::vector<std::string> lines = more.errLines();
    EXPECT_EQ(countLines(lines, line("Reading page header 32")), 2);
    EXPECT_FALSE(hasLine(lines, line("Page 3 :")));
    EXPECT_EQ(countLines(lines, line("End of file reached")), 0);
    EXPECT_EQ(linesFrom(lines, line("Decoding raster image for page 2")),
              (std::vector<std::string>{line("Decoding raster image for page 2"), "INFO: Rendering page 2 of 2",
                                        line("Result of raster decode 0"), "INFO:", line("Completed processing 0")}));
    EXPECT_TRUE(endsWithTiming(lines));
    std::vector<RasterPage> pages = readRaster(more.out);
    ASSERT_EQ(pages.size(), 2u);
    expectPage(pages[0], 6, 3, 18, 24, 1, expectedRows(a, Out::Colour));
    expectPage(pages[1], 6, 3, 18, 24, 1, expectedRows(b, Out::GreyRgb));

    // Three announced, two present: the third header read finds the end.
    RunResult fewer = runBrovane("colour-300.ppd", urfJob(3, {urfPage(a, 1, 300), urfPage(b, 0, 300)}));
    ASSERT_EQ(fewer.status, 0) << fewer.err;
    lines = fewer.errLines();
    EXPECT_TRUE(hasLine(lines, "INFO: Rendering page 2 of 3"));
    std::vector<std::string> tail = linesFrom(lines, line("End of file reached @ page 3"));
    EXPECT_EQ(tail, (std::vector<std::string>{line("End of file reached @ page 3"), "INFO:",
                                              line("Completed processing 0")}));
    EXPECT_TRUE(endsWithTiming(lines));
    pages = readRaster(fewer.out);
    ASSERT_EQ(pages.size(), 2u);
    expectPage(pages[0], 6, 3, 18, 24, 1, expectedRows(a, Out::Colour));
    expectPage(pages[1], 6, 3, 18, 24, 1, expectedRows(b, Out::GreyRgb));
}

// ---- Input that ends too soon ------------------------------------------------

struct ShortBody {
    const char *name;
    const char *ppd;
    Bytes pageHeader; // the page that is cut short
    Bytes body;       // what of its lines arrives
    std::string error; // the decoder's line, with "@" for the input offset
    size_t rowsOut;   // complete rows written before the error
};

// A page whose lines stop early: the decoder's one ERROR line, result 1, then
// the next header read ends the job normally. The offset is the descriptor's,
// here the whole file (it is smaller than one 8192-byte refill).
TEST(BrovaneShortInput, PageBodyEndingEarlyIsReportedAndTheJobEndsNormally)
{
    Bytes colour4x3 = urfPageHeader(24, 1, 0, 4, 4, 3, 300);
    const std::vector<ShortBody> cases = {
        {"no lines at all", "colour-300.ppd", colour4x3, {}, "l000000 : line_repeat EOF at @", 0},
        // Line 0 stands for rows 0 and 1; the next line-repeat byte is missing.
        {"second line missing", "colour-300.ppd", colour4x3, {0x01, 0x03, 0xAA, 0xBB, 0xCC},
         "l000002 : line_repeat EOF at @", 2},
        {"code missing after pixel 0", "colour-300.ppd", colour4x3, {0x00, 0x00, 0xAA, 0xBB, 0xCC},
         "p000001l000000 : packbit_code EOF at @", 0},
        {"repeated pixel cut", "colour-300.ppd", colour4x3, {0x00, 0x01, 0xAA, 0xBB},
         "p000000l000000 : pixel repeat EOF at @", 0},
        {"literal pixel cut", "colour-300.ppd", colour4x3,
         {0x00, 0x00, 0xAA, 0xBB, 0xCC, 0xFE, 0x11, 0x22, 0x33, 0x44},
         "p000002l000000 : literal_pixel EOF at 0, read 1, wanted 3", 0},
        // Enlarged twice: line 0 stands for 5 lines, 10 output rows, so the
        // broken line starts at output row 10.
        {"row index counts enlarged rows", "colour-600.ppd", urfPageHeader(24, 1, 0, 4, 2, 8, 300),
         {0x04, 0x01, 0x10, 0x20, 0x30, 0x00, 0x01, 0x40, 0x50}, "p000000l000010 : pixel repeat EOF at @", 10},
        {"grey literal pixel missing", "colour-300.ppd", urfPageHeader(8, 0, 0, 4, 4, 2, 300),
         {0x00, 0xFD, 0x10, 0x20, 0x30}, "p000003l000000 : literal_pixel EOF at 0, read 0, wanted 1", 0},
    };
    for (const ShortBody &c : cases) {
        SCOPED_TRACE(c.name);
        // Page 1 is whole; page 2 is the one cut short; a count of 3 makes
        // the driver read on after it.
        Image first = makeImage(4, 2, 3, 8);
        Bytes input = urfJob(3, {urfPage(first, 1, 300)});
        append(input, c.pageHeader);
        append(input, c.body);
        RunResult run = runBrovane(c.ppd, input);
        ASSERT_EQ(run.status, 0) << run.err;

        std::string error = "ERROR: (brovane) " + c.error;
        size_t at = error.find('@');
        if (at != std::string::npos)
            error.replace(at, 1, std::to_string(input.size()));
        std::vector<std::string> tail = linesFrom(run.errLines(), "INFO: Rendering page 2 of 3");
        std::vector<std::string> expected = {"INFO: Rendering page 2 of 3",
                                             error,
                                             line("Result of raster decode 1"),
                                             line("Reading page header 32"),
                                             line("End of file reached @ page 3"),
                                             "INFO:",
                                             line("Completed processing 0")};
        EXPECT_EQ(tail, expected) << run.err;
        EXPECT_TRUE(endsWithTiming(run.errLines()));

        // Page 1 intact; page 2 has its header and only the rows completed.
        std::vector<RasterPage> pages = readRaster(run.out);
        ASSERT_EQ(pages.size(), 2u);
        uint32_t scale = std::string(c.ppd) == "colour-600.ppd" ? 2 : 1;
        expectPage(pages[0], 4 * scale, 2 * scale, 12 * scale, 24, 1, expectedRows(first, Out::Colour, scale));
        EXPECT_EQ(pages[1].rows.size(), c.rowsOut);
    }
}

// A page header cut short keeps the previous page's bytes where it stops: the
// page goes on with the old size and meets the end of its lines at once.
TEST(BrovaneShortInput, PageHeaderCutShortIsDecodedWithThePreviousBytes)
{
    Image first = makeImage(5, 2, 3, 9);
    Bytes input = urfJob(0, {urfPage(first, 1, 300)});
    Bytes second = urfPageHeader(24, 1, 2, 4, 99, 99, 300); // duplex 2; its size never arrives
    second.resize(10);
    append(input, second);
    RunResult run = runBrovane("colour-300.ppd", input);
    ASSERT_EQ(run.status, 0) << run.err;

    std::vector<std::string> lines = run.errLines();
    EXPECT_TRUE(hasLine(lines, line(".. Bytes read 10")));
    std::vector<std::string> page2 = linesFrom(lines, line("Page 2 :"));
    EXPECT_TRUE(hasLine(page2, line("Duplex Mode : 2")));
    EXPECT_TRUE(hasLine(page2, line("Size : 5x2 pixels")));
    EXPECT_TRUE(hasLine(page2, "ERROR: (brovane) l000000 : line_repeat EOF at " + std::to_string(input.size())));
    EXPECT_TRUE(hasLine(page2, line("End of file reached @ page 3")));

    std::vector<RasterPage> pages = readRaster(run.out);
    ASSERT_EQ(pages.size(), 2u);
    expectPage(pages[0], 5, 2, 15, 24, 1, expectedRows(first, Out::Colour));
    EXPECT_EQ(pages[1].header.cupsWidth, 5u);
    EXPECT_EQ(pages[1].rows.size(), 0u);
}

// ---- Command line, PPD and file header ---------------------------------------------

// Five arguments: all of the PPD work is done first, then the usage text.
// Without a PPD nothing is done after the first line.
TEST(BrovaneCommandLine, FiveArgumentsGiveTheUsageTextAfterThePpdWork)
{
    std::vector<std::string> fiveArgs = {"42", "alice", "Quarterly report", "1"};
    RunResult withPpd = runBrovane("colour-300.ppd", {}, fiveArgs);
    EXPECT_EQ(withPpd.status, 1);
    std::vector<std::string> expected = startLines(5, "colour-300.ppd");
    expected.push_back("Usage: " + programPath("brovane") + " <job> <user> <job name> <copies> <option> [file]");
    expected.push_back("Version 1.0");
    EXPECT_EQ(withPpd.errLines(), expected);

    // The CRIT line breaks inside its parentheses: the message has a newline
    // of its own. The same with no PPD variable and with a PPD that isn't there.
    for (bool unset : {true, false}) {
        RunOptions options;
        if (!unset)
            options.env.push_back({"PPD", tempDir() + "/no-such-printer.ppd"});
        RunResult run = runBrovane(nullptr, {}, fiveArgs, options);
        EXPECT_EQ(run.status, 1);
        std::vector<std::string> lines = run.errLines();
        ASSERT_EQ(lines.size(), 3u) << run.err;
        EXPECT_EQ(lines[0], line("Starting operation 5, psOutput 0, arg0=" + programPath("brovane")));
        EXPECT_EQ(lines[1], "CRIT: (brovane) die(Unable to open PPD file");
        EXPECT_TRUE(std::regex_match(lines[2], std::regex("\\) \\[.*\\]"))) << lines[2];
        EXPECT_TRUE(run.out.empty());
    }
}

// The sixth argument names the input; standard input is then not read.
// Arguments after it are only logged. A name that can't be opened or read is fatal.
TEST(BrovaneCommandLine, NamedInputFileIsReadAndAMissingOneIsFatal)
{
    Image image = makeImage(6, 4, 3, 10);
    std::string path = writeTempFile(urfJob(1, {urfPage(image, 1, 300)}), ".urf");
    std::vector<std::string> args = kArgs;
    args.push_back(path);
    args.push_back("extra");
    RunResult run = runBrovane("colour-300.ppd", Bytes{'j', 'u', 'n', 'k'}, args);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(hasLine(run.errLines(), line("ARG 6: " + path)));
    EXPECT_TRUE(hasLine(run.errLines(), line("ARG 7: extra")));
    std::vector<RasterPage> pages = readRaster(run.out);
    ASSERT_EQ(pages.size(), 1u);
    expectPage(pages[0], 6, 4, 18, 24, 1, expectedRows(image, Out::Colour));

    args[5] = tempDir() + "/no-such-job.urf";
    RunResult missing = runBrovane("colour-300.ppd", urfJob(1, {urfPage(image, 1, 300)}), args);
    EXPECT_EQ(missing.status, 1);
    std::vector<std::string> lines = missing.errLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "CRIT: (brovane) die(Unable to open rast file) [No such file or directory]");
    EXPECT_FALSE(hasLine(lines, line("Reading header file 12")));
    unlink(path.c_str());

    // A directory opens but can't be read: the file header read fails.
    args[5] = tempDir();
    RunResult unreadable = runBrovane("colour-300.ppd", {}, args);
    EXPECT_EQ(unreadable.status, 1);
    lines = unreadable.errLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], line("Reading header file 12"));
    EXPECT_EQ(lines.back(), "CRIT: (brovane) die(Unable to read file header) [Is a directory]");
}

// The magic decides on its first 7 bytes: anything else, an empty input or one
// too short to hold it is fatal; the eighth byte is free, and a header cut
// after the magic takes zeros for the missing count bytes.
TEST(BrovaneCommandLine, FileHeaderMagicIsCheckedOnSevenBytes)
{
    for (const Bytes &bad : {Bytes{}, Bytes{'U', 'N', 'I', 'R', 'A', 'S'},
                             Bytes{'U', 'N', 'I', 'R', 'A', 'S', 'X', 0, 0, 0, 0, 1},
                             Bytes{'u', 'n', 'i', 'r', 'a', 's', 't', 0, 0, 0, 0, 1}}) {
        RunResult run = runBrovane("colour-300.ppd", bad);
        EXPECT_EQ(run.status, 1);
        std::vector<std::string> lines = run.errLines();
        ASSERT_GE(lines.size(), 2u) << run.err;
        EXPECT_EQ(lines[lines.size() - 2], line("Reading header file 12"));
        EXPECT_EQ(lines.back().rfind("CRIT: (brovane) die(Bad File Header) [", 0), 0u) << lines.back();
    }

    Image image = makeImage(3, 2, 3, 11);
    Bytes eighth = urfJob(1, {urfPage(image, 1, 300)});
    eighth[7] = '!';
    RunResult run = runBrovane("colour-300.ppd", eighth);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(hasLine(run.errLines(), line("UNIRAST file, with 1 page(s).")));
    EXPECT_EQ(readRaster(run.out).size(), 1u);

    // 9 bytes: count bytes 05 00 00 00, that is 0x05000000.
    RunResult cut = runBrovane("colour-300.ppd", Bytes{'U', 'N', 'I', 'R', 'A', 'S', 'T', 0, 5});
    ASSERT_EQ(cut.status, 0) << cut.err;
    EXPECT_TRUE(hasLine(cut.errLines(), line("UNIRAST file, with 83886080 page(s).")));
    EXPECT_TRUE(hasLine(cut.errLines(), line("End of file reached @ page 1")));
}

// Standard output that can't take a raster stream (opened read-only): fatal
// before any input is read.
TEST(BrovaneCommandLine, UnwritableOutputIsFatal)
{
    // The shell that reopens descriptor 1 runs natively only.
    if (const char *emulator = std::getenv("FILTER_EMULATOR"); emulator != nullptr && *emulator)
        GTEST_SKIP() << "needs a native build";
    Image image = makeImage(3, 2, 3, 12);
    std::vector<std::string> args = {"-c", "exec \"$0\" \"$@\" 1</dev/null", programPath("brovane")};
    args.insert(args.end(), kArgs.begin(), kArgs.end());
    RunOptions options;
    options.env.push_back({"PPD", ppdPath("colour-300.ppd")});
    RunResult run = runFilter("/bin/sh", args, urfJob(1, {urfPage(image, 1, 300)}), options);
    EXPECT_EQ(run.status, 1);
    std::vector<std::string> lines = run.errLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().rfind("CRIT: (brovane) die(Unable to open output raster stream) [", 0), 0u) << run.err;
    EXPECT_FALSE(hasLine(lines, line("Reading header file 12")));
}

// A PPD with no options yields no option code: the gather is skipped with its
// one line, and the job runs on.
TEST(BrovaneCommandLine, PpdWithoutOptionCodeSkipsTheMetaGather)
{
    Image image = makeImage(4, 3, 1, 13);
    RunResult run = runBrovane("nooptions.ppd", urfJob(1, {urfPage(image, 0, 300)}));
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<std::string> lines = run.errLines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[1], line("Emit code ready: 0"));
    EXPECT_EQ(lines[2], line("EmitString is null 0"));
    EXPECT_EQ(lines[3], line("Reading header file 12"));
    EXPECT_EQ(countLines(lines, line("Starting meta gather")), 0);

    // The colour space is libcups' own default for a PPD that names none,
    // taken through the colour-page rule (3 and 17 -> 19, 0 -> 1).
    ppd_file_t *ppd = ppdOpenFile(ppdPath("nooptions.ppd").c_str());
    ASSERT_NE(ppd, nullptr);
    ppdMarkDefaults(ppd);
    cups_page_header2_t header;
    cupsRasterInterpretPPD(&header, ppd, 0, nullptr, nullptr);
    ppdClose(ppd);
    uint32_t space = header.cupsColorSpace;
    if (space == CUPS_CSPACE_K || space == CUPS_CSPACE_RGBW)
        space = CUPS_CSPACE_SRGB;
    else if (space == CUPS_CSPACE_W)
        space = CUPS_CSPACE_RGB;
    std::vector<RasterPage> pages = readRaster(run.out);
    ASSERT_EQ(pages.size(), 1u);
    expectPage(pages[0], 4, 3, 12, 24, space, expectedRows(image, Out::GreyRgb));
}

// ---- Page headers from PPD and URF page ------------------------------------------

// Grey and colour pages on a receipt printer, a black-and-white printer and a
// colour printer: grey goes out as packed 1-bit black on the first two only;
// colour is always 24-bit, and the colour space a page starts from is the one
// the page before left (3 after a grey page on a monochrome printer -> 19).
TEST(BrovanePageSetup, MonochromePrintersPackGreyPagesAndPassColourPages)
{
    // Width 11: the packed row's second byte has 5 pad bits. Row 0 sits on
    // both sides of the threshold: 00 7F 80 FF 10 90 00 FF packs to CA, and
    // 80 7F 00 with its pad to 60.
    Image grey = makeImage(11, 5, 1, 14);
    const uint8_t edge[11] = {0x00, 0x7F, 0x80, 0xFF, 0x10, 0x90, 0x00, 0xFF, 0x80, 0x7F, 0x00};
    std::copy(edge, edge + 11, grey.pixels.begin());
    Image colour = makeImage(7, 4, 3, 15);
    struct Printer {
        const char *ppd;
        bool monochrome;
        uint32_t colourSpaceOfColourPage;
    };
    for (const Printer &printer : {Printer{"receipt.ppd", true, 19}, Printer{"bwonly.ppd", true, 19},
                                   Printer{"colour-600.ppd", false, 1}}) {
        SCOPED_TRACE(printer.ppd);
        // 600 dpi pages: never enlarged on these printers (203, 600, 600 dpi).
        RunResult run = runBrovane(printer.ppd, urfJob(2, {urfPage(grey, 0, 600), urfPage(colour, 1, 600)}));
        ASSERT_EQ(run.status, 0) << run.err;
        std::vector<std::string> lines = run.errLines();
        std::string bw = line(std::string("B/W only Printer: ") + (printer.monochrome ? "1" : "0"));
        EXPECT_EQ(countLines(lines, bw), 2);
        EXPECT_TRUE(hasLine(lines, line(std::string("Bits Per Pixel : 8 (Page Header), computed : ") +
                                        (printer.monochrome ? "1" : "8"))));

        std::vector<RasterPage> pages = readRaster(run.out);
        ASSERT_EQ(pages.size(), 2u);
        if (printer.monochrome) {
            expectPage(pages[0], 11, 5, 2, 1, CUPS_CSPACE_K, expectedRows(grey, Out::Mono));
            EXPECT_EQ(pages[0].header.cupsColorOrder, CUPS_ORDER_CHUNKED);
            ASSERT_FALSE(pages[0].rows.empty());
            EXPECT_EQ(pages[0].rows[0], (Bytes{0xCA, 0x60}));
        } else {
            expectPage(pages[0], 11, 5, 33, 24, 1, expectedRows(grey, Out::GreyRgb));
        }
        expectPage(pages[1], 7, 4, 21, 24, printer.colourSpaceOfColourPage, expectedRows(colour, Out::Colour));
    }
}

// The colour space carries over from page to page, not from the PPD: on a
// black-and-white printer whose PPD says RGB (1), a colour page keeps 1, a
// grey page makes it 3, and the colour page after that gets 19.
TEST(BrovanePageSetup, ColourSpaceCarriesOverFromThePreviousPage)
{
    Image colour = makeImage(6, 2, 3, 16), grey = makeImage(9, 3, 1, 17);
    RunResult run = runBrovane("bw-rgb.ppd",
                               urfJob(3, {urfPage(colour, 1, 600), urfPage(grey, 0, 600), urfPage(colour, 1, 600)}));
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<RasterPage> pages = readRaster(run.out);
    ASSERT_EQ(pages.size(), 3u);
    expectPage(pages[0], 6, 2, 18, 24, CUPS_CSPACE_RGB, expectedRows(colour, Out::Colour));
    expectPage(pages[1], 9, 3, 2, 1, CUPS_CSPACE_K, expectedRows(grey, Out::Mono));
    expectPage(pages[2], 6, 2, 18, 24, CUPS_CSPACE_SRGB, expectedRows(colour, Out::Colour));
    // The log shows the same sequence.
    std::vector<std::string> lines = run.errLines();
    std::vector<std::string> spaces;
    for (const std::string &l : lines)
        if (l.rfind(line("Cups Colorspace : "), 0) == 0)
            spaces.push_back(l.substr(line("Cups Colorspace : ").size()));
    EXPECT_EQ(spaces, (std::vector<std::string>{"1", "3", "19"}));
}

// Enlargement on a 600 dpi printer: only exact whole multiples of the URF
// resolution enlarge, only pages of more than 8 bits, and the header keeps
// the printer's resolution.
TEST(BrovanePageSetup, PagesAreEnlargedByExactWholeMultiplesOnly)
{
    struct Case {
        uint32_t bits;
        uint32_t resolution;
        uint32_t scale;
    };
    Image colour = makeImage(3, 2, 3, 18), grey = makeImage(3, 2, 1, 19);
    // 250 dpi: 600 / 250 is 2, but 2 x 250 is not 600.
    for (const Case &c : {Case{24, 300, 2}, Case{24, 200, 3}, Case{24, 400, 1}, Case{24, 250, 1}, Case{24, 600, 1},
                          Case{24, 1200, 1}, Case{24, 0, 1}, Case{8, 300, 1}, Case{8, 100, 1}}) {
        SCOPED_TRACE(std::to_string(c.bits) + " bits at " + std::to_string(c.resolution) + " dpi");
        const Image &image = c.bits == 24 ? colour : grey;
        RunResult run = runBrovane("colour-600.ppd", urfJob(1, {urfPage(image, c.bits == 24 ? 1 : 0, c.resolution)}));
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(hasLine(run.errLines(), line("Scaling: " + std::to_string(c.scale))));
        EXPECT_TRUE(hasLine(run.errLines(), line("Dots per Inches : " + std::to_string(c.resolution))));
        std::vector<RasterPage> pages = readRaster(run.out);
        ASSERT_EQ(pages.size(), 1u);
        expectPage(pages[0], 3 * c.scale, 2 * c.scale, 9 * c.scale, 24, 1,
                   expectedRows(image, c.bits == 24 ? Out::Colour : Out::GreyRgb, c.scale));
        EXPECT_EQ(pages[0].header.HWResolution[0], 600u);
        EXPECT_EQ(pages[0].header.HWResolution[1], 600u);
    }
}

// The option code's numbers reach the header: the index-1 key matches inside
// "/cupsInteger10", colour space 17 becomes 19 with the PPD's colour order
// kept; the next page starts from 19 and so gets colour order 0.
TEST(BrovanePageSetup, OptionCodeNumbersReachEveryPageHeader)
{
    Image a = makeImage(4, 2, 3, 20), b = makeImage(5, 3, 3, 21);
    RunResult run = runBrovane("meta.ppd", urfJob(2, {urfPage(a, 1, 300), urfPage(b, 1, 300)}));
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<RasterPage> pages = readRaster(run.out);
    ASSERT_EQ(pages.size(), 2u);
    expectPage(pages[0], 4, 2, 12, 24, CUPS_CSPACE_SRGB, expectedRows(a, Out::Colour));
    expectPage(pages[1], 5, 3, 15, 24, CUPS_CSPACE_SRGB, expectedRows(b, Out::Colour));
    EXPECT_EQ(pages[0].header.cupsColorOrder, CUPS_ORDER_BANDED);
    EXPECT_EQ(pages[1].header.cupsColorOrder, CUPS_ORDER_CHUNKED);
    for (const RasterPage &page : pages) {
        EXPECT_EQ(page.header.cupsInteger[1], 7u);
        EXPECT_EQ(page.header.cupsInteger[10], 7u);
        EXPECT_FLOAT_EQ(page.header.cupsReal[2], 0.5f);
        EXPECT_EQ(page.header.cupsMediaType, 42u);
    }
}

// Each page's duplex code becomes the sides drivers read: 1 one-sided
// (Duplex 0, even though the job asked for two sides), 3 long edge, 2 short
// edge; a page that names none (0) keeps the job's own choice. The log keeps
// the code. The copies argument goes into every page header, where the
// driver has the printer make them.
TEST(BrovanePageSetup, SidesAsEachPageAsksAndTheCopiesAsked)
{
    Image colour = makeImage(4, 2, 3, 22);
    // The job's choice as the scheduler passes it on for a PPD queue, its
    // Duplex option. (The IPP name, sides=, marks the same choice, but
    // libcups then builds a PPD cache whose strings it never frees, which the
    // sanitizer build's leak check would report.)
    std::vector<std::string> args = {"42", "alice", "Quarterly report", "3", "Duplex=DuplexTumble"};
    RunResult run = runBrovane("meta.ppd",
                               urfJob(4, {urfPage(colour, 1, 300, 1), urfPage(colour, 1, 300, 3),
                                          urfPage(colour, 1, 300, 2), urfPage(colour, 1, 300, 0)}),
                               args);
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<std::string> logged;
    for (const std::string &l : run.errLines())
        if (l.rfind(line("Duplex Mode : "), 0) == 0)
            logged.push_back(l);
    EXPECT_EQ(logged, std::vector<std::string>({line("Duplex Mode : 1"), line("Duplex Mode : 3"),
                                                line("Duplex Mode : 2"), line("Duplex Mode : 0")}));
    std::vector<RasterPage> pages = readRaster(run.out);
    ASSERT_EQ(pages.size(), 4u);
    const std::pair<uint32_t, uint32_t> sides[] = {{0, 0}, {1, 0}, {1, 1}, {1, 1}};
    for (size_t i = 0; i < 4; i++) {
        EXPECT_EQ(rawDuplex(pages[i].header), sides[i].first) << "page " << i + 1;
        EXPECT_EQ(static_cast<uint32_t>(pages[i].header.Tumble), sides[i].second) << "page " << i + 1;
        EXPECT_EQ(pages[i].header.NumCopies, 3u) << "page " << i + 1;
    }

    // Without the job's choice a page that names no sides is one-sided (the
    // PPD's default). A copies argument that is no count from 1 to 9999 is one
    // copy; a PPD that leaves copies to the filters (*cupsManualCopies: True)
    // has every header ask for one, and gets the pages again instead.
    std::string manual = manualCopiesPpd();
    const struct {
        const char *copies;
        std::string ppd;
        uint32_t numCopies;
        size_t pages;
    } cases[] = {{"0", ppdPath("meta.ppd"), 1, 1},       {"-2", ppdPath("meta.ppd"), 1, 1},
                 {"3x", ppdPath("meta.ppd"), 1, 1},      {"10000", ppdPath("meta.ppd"), 1, 1},
                 {"9999", ppdPath("meta.ppd"), 9999, 1}, {"3", manual, 1, 3}};
    for (const auto &c : cases) {
        RunOptions options;
        options.env.push_back({"PPD", c.ppd});
        RunResult plain = runFilter(programPath("brovane"), {"42", "alice", "t", c.copies, ""},
                                    urfJob(1, {urfPage(colour, 1, 300, 0)}), options);
        ASSERT_EQ(plain.status, 0) << plain.err;
        pages = readRaster(plain.out);
        ASSERT_EQ(pages.size(), c.pages) << "copies argument " << c.copies << " with " << c.ppd;
        for (const RasterPage &p : pages) {
            EXPECT_EQ(rawDuplex(p.header), 0u);
            EXPECT_EQ(p.header.NumCopies, c.numCopies) << "copies argument " << c.copies << " with " << c.ppd;
        }
    }
}

// A driver that leaves copies to the filters gets them from brovane: the job
// again for each copy (collated), every header asking for one; after an odd
// number of two-sided pages a white back side, so each copy starts on a sheet
// of its own. A job on a pipe can't be read again: one copy and an ERROR line.
TEST(BrovaneCopies, ManualCopiesAreWrittenByTheFilter)
{
    std::string ppd = manualCopiesPpd();
    std::vector<Bytes> images;
    for (uint32_t seed : {3u, 4u, 5u})
        images.push_back(urfPage(makeImage(6, 4, 3, seed), 1, 300, 3));
    Bytes twoSided = urfJob(3, images);
    RunOptions options;
    options.env.push_back({"PPD", ppd});
    std::vector<std::string> args = {"7", "bob", "t", "2", ""};
    RunResult run = runFilter(programPath("brovane"), args, twoSided, options);
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<RasterPage> pages = readRaster(run.out);
    ASSERT_EQ(pages.size(), 7u) << run.err;
    for (size_t i = 0; i < 3; i++) {
        EXPECT_EQ(pages[4 + i].rows, pages[i].rows) << "page " << i + 1 << " of the second copy";
        EXPECT_EQ(pages[i].header.NumCopies, 1u);
    }
    EXPECT_EQ(pages[3].header.cupsHeight, pages[2].header.cupsHeight);
    EXPECT_EQ(pages[3].rows, std::vector<Bytes>(pages[2].rows.size(), Bytes(pages[2].rows[0].size(), 0xFF)));

    // One-sided pages: no blank sheet between the copies.
    images.clear();
    for (uint32_t seed : {3u, 4u, 5u})
        images.push_back(urfPage(makeImage(6, 4, 3, seed), 1, 300, 1));
    run = runFilter(programPath("brovane"), args, urfJob(3, images), options);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(readRaster(run.out).size(), 6u);

    options.stdinPipe = true;
    run = runFilter(programPath("brovane"), args, twoSided, options);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(readRaster(run.out).size(), 3u);
    EXPECT_TRUE(hasLine(run.errLines(), "ERROR: (brovane) Only 1 of 2 copies: the job's input can't be read again"))
        << run.err;
}

// ---- Decoding rules, stream delivery and SIGTERM --------------------------------

// A hand-encoded grey page (width 4, height 6) that leans on the edges of the
// line rules, then a colour page enlarged twice; and the rows they must give.
struct TrickyJob {
    Bytes input;
    std::vector<Bytes> greyRows;   // page 1 as RGB rows
    std::vector<Bytes> colourRows; // page 2, widened and doubled
};

TrickyJob trickyJob()
{
    TrickyJob job;
    job.input = urfJob(2, {urfPageHeader(8, 0, 0, 4, 4, 6, 300)});
    append(job.input, {
                          0x01, 0x05, 0x20,             // rows 0-1: a run of 6 clipped to 4
                          0x00, 0x00, 0x30, 0x80,       // row 2: one pixel, then fill
                          0x00, 0xFA, 0x01, 0x02, 0x03, // row 3: a literal run of 7 that stops at 4
                          0x04,                         //   pixel 3; the rest of the run...
                          0x00, 0x7F, 0x90,             // ...is row 4: repeat byte 0, a run of 128
                          0x00, 0x80,                   // row 5: all fill
                      });
    auto rgb = [](std::initializer_list<uint8_t> grey) { return greyToRgb(Bytes(grey)); };
    job.greyRows = {rgb({0x20, 0x20, 0x20, 0x20}), rgb({0x20, 0x20, 0x20, 0x20}), rgb({0x30, 0xFF, 0xFF, 0xFF}),
                    rgb({0x01, 0x02, 0x03, 0x04}), rgb({0x90, 0x90, 0x90, 0x90}), rgb({0xFF, 0xFF, 0xFF, 0xFF})};

    // Page 2: 24-bit, 3 x 2 at 300 dpi: a literal line repeated once.
    append(job.input, urfPageHeader(24, 1, 0, 4, 3, 2, 300));
    append(job.input, {0x01, 0xFE, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    Bytes wide = {1, 2, 3, 1, 2, 3, 4, 5, 6, 4, 5, 6, 7, 8, 9, 7, 8, 9};
    job.colourRows = std::vector<Bytes>(4, wide);
    return job;
}

// Runs, fills and line ends as the line rules set them.
TEST(BrovaneDecoding, LineRulesGiveTheExpectedRows)
{
    TrickyJob job = trickyJob();
    RunResult run = runBrovane("colour-600.ppd", job.input);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(countLines(run.errLines(), line("Result of raster decode 0")), 2);
    std::vector<RasterPage> pages = readRaster(run.out);
    ASSERT_EQ(pages.size(), 2u);
    expectPage(pages[0], 4, 6, 12, 24, 1, job.greyRows);
    expectPage(pages[1], 6, 4, 18, 24, 1, job.colourRows);
}

// The same job through a pipe that yields one byte per read: the output is the
// same to the byte, and so is the log but for the timing values.
TEST(BrovaneDecoding, OneBytePerReadGivesTheSameOutput)
{
    TrickyJob job = trickyJob();
    Image grey = makeImage(23, 9, 1, 23), colour = makeImage(17, 6, 3, 24);
    Bytes input = job.input;
    input[11] = 4; // page count
    append(input, urfPage(grey, 0, 600));
    append(input, urfPage(colour, 1, 300));

    RunResult whole = runBrovane("colour-600.ppd", input);
    RunResult piece = runTrickled("colour-600.ppd", input);
    ASSERT_EQ(whole.status, 0) << whole.err;
    ASSERT_EQ(piece.status, 0) << piece.err;

    EXPECT_TRUE(whole.out == piece.out);
    std::vector<std::string> a = whole.errLines(), b = piece.errLines();
    ASSERT_EQ(a.size(), b.size());
    EXPECT_EQ(std::vector<std::string>(a.begin(), a.end() - 4), std::vector<std::string>(b.begin(), b.end() - 4));
    EXPECT_TRUE(endsWithTiming(b));

    std::vector<RasterPage> pages = readRaster(piece.out);
    ASSERT_EQ(pages.size(), 4u);
    expectPage(pages[0], 4, 6, 12, 24, 1, job.greyRows);
    expectPage(pages[1], 6, 4, 18, 24, 1, job.colourRows);
    expectPage(pages[2], 23, 9, 69, 24, 1, expectedRows(grey, Out::GreyRgb));
    expectPage(pages[3], 34, 12, 102, 24, 1, expectedRows(colour, Out::Colour, 2));
}

// SIGTERM while the filter waits in the middle of page 2's lines: exit status
// 0 and no end of job. The signal either interrupts the blocked read (the
// decoder reports the failed read, the next header read ends the process) or
// lands between reads (the next read ends it with nothing more).
TEST(BrovaneDecoding, SigtermMidPageEndsWithStatusZero)
{
    Image first = makeImage(4, 2, 3, 25);
    // Three pages announced, so that after page 2 the driver goes on to a
    // header read, where a set stop flag is acted on.
    Bytes input = urfJob(3, {urfPage(first, 1, 300), urfPageHeader(24, 1, 0, 4, 4, 3, 300)});
    // Page 2, line 0: pixel 0, then the code of pixel 1 is the next read.
    append(input, {0x00, 0x00, 0xAA, 0xBB, 0xCC});
    int point = static_cast<int>(input.size());
    append(input, {0x02, 0x11, 0x22, 0x33, 0x01, 0x80});

    RunResult run = runTrickled("colour-300.ppd", input, point);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.status, 0) << run.err;

    // Everything up to the start of page 2's lines was written before the signal.
    std::vector<std::string> lines = run.errLines();
    int pageTwo = lineIndex(lines, "INFO: Rendering page 2 of 3");
    ASSERT_GE(pageTwo, 0) << run.err;
    std::vector<std::string> after(lines.begin() + pageTwo + 1, lines.end());
    std::vector<std::string> interrupted = {
        "ERROR: (brovane) p000001l000000 : packbit_code EOF at " + std::to_string(static_cast<unsigned long>(-1)),
        line("Result of raster decode 1"), line("Reading page header 32")};
    EXPECT_TRUE(after.empty() || after == interrupted) << run.err;
    EXPECT_FALSE(hasLine(lines, "INFO:"));
    EXPECT_FALSE(hasLine(lines, line("Exiting program 0")));

    // Page 1 was written whole before the signal.
    std::vector<RasterPage> pages = readRaster(run.out);
    ASSERT_GE(pages.size(), 1u);
    expectPage(pages[0], 4, 2, 12, 24, 1, expectedRows(first, Out::Colour));
}

// ---- Pages that can't be converted, raw pages, growing buffers --------------------

// A page that can't be converted ends the job at that page: one ERROR line,
// the pages before it intact, nothing after it read, and a normal end.
TEST(BrovaneRefusal, UnconvertiblePageEndsTheJobNormally)
{
    struct Case {
        const char *name;
        const char *ppd;
        Bytes header;
    };
    const std::vector<Case> cases = {
        {"16-bit colour", "colour-300.ppd", urfPageHeader(16, 1, 0, 4, 4, 2, 300)},
        {"32-bit colour", "colour-300.ppd", urfPageHeader(32, 1, 0, 4, 4, 2, 300)},
        {"1-bit grey", "receipt.ppd", urfPageHeader(1, 0, 0, 4, 8, 2, 203)},
        {"8-bit colour", "colour-300.ppd", urfPageHeader(8, 1, 0, 4, 4, 2, 300)},
        {"24-bit grey", "colour-300.ppd", urfPageHeader(24, 0, 0, 4, 4, 2, 300)},
        {"width 0", "colour-300.ppd", urfPageHeader(8, 0, 0, 4, 0, 2, 300)},
        {"width 262145", "colour-300.ppd", urfPageHeader(8, 0, 0, 4, 262145, 1, 300)},
        {"enlarged width 262146", "colour-600.ppd", urfPageHeader(24, 1, 0, 4, 131073, 1, 300)},
        {"height 16777217", "colour-300.ppd", urfPageHeader(8, 0, 0, 4, 4, 16777217, 300)},
        {"enlarged height 16777218", "colour-600.ppd", urfPageHeader(24, 1, 0, 4, 4, 8388609, 300)},
    };
    std::regex refusal("ERROR: \\(brovane\\) Page 2 \\(.*\\) can't be converted: .+; the rest of the job is not read");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Image first = makeImage(5, 3, 1, 26), third = makeImage(5, 3, 1, 27);
        Bytes input = urfJob(3, {urfPage(first, 0, 300)});
        append(input, c.header);
        append(input, {0x00, 0x80, 0x00, 0x80}); // something for a body, never read
        append(input, urfPage(third, 0, 300));
        RunResult run = runBrovane(c.ppd, input);
        ASSERT_EQ(run.status, 0) << run.err;

        // Page 2's header is read and refused before any of its log lines.
        std::vector<std::string> lines = run.errLines();
        EXPECT_EQ(countLines(lines, line("Reading page header 32")), 2);
        EXPECT_FALSE(hasLine(lines, line("Page 2 :")));
        std::vector<std::string> tail = linesFrom(lines, line("Result of raster decode 0"));
        ASSERT_EQ(tail.size(), 6u) << run.err;
        std::vector<std::string> end(tail.end() - 5, tail.end());
        EXPECT_EQ(end[0], line("Reading page header 32"));
        EXPECT_EQ(end[1], line(".. Bytes read 32"));
        EXPECT_TRUE(std::regex_match(end[2], refusal)) << end[2];
        EXPECT_EQ(end[3], "INFO:");
        EXPECT_EQ(end[4], line("Completed processing 0"));
        EXPECT_TRUE(endsWithTiming(run.errLines()));

        std::vector<RasterPage> pages = readRaster(run.out);
        ASSERT_EQ(pages.size(), 1u);
        bool mono = std::string(c.ppd) == "receipt.ppd";
        expectPage(pages[0], 5, 3, mono ? 1 : 15, mono ? 1 : 24, mono ? CUPS_CSPACE_K : 1,
                   expectedRows(first, mono ? Out::Mono : Out::GreyRgb));
    }
}

// The widest line allowed: 131072 pixels enlarged twice is exactly 262144.
TEST(BrovaneRefusal, WidestAllowedLineIsConverted)
{
    Bytes input = urfJob(1, {urfPageHeader(24, 1, 0, 4, 131072, 1, 300)});
    append(input, {0x00, 0x80}); // one all-white line
    RunResult run = runBrovane("colour-600.ppd", input);
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<RasterPage> pages = readRaster(run.out);
    ASSERT_EQ(pages.size(), 1u);
    expectPage(pages[0], 262144, 2, 786432, 24, 1, std::vector<Bytes>(2, Bytes(786432, 0xFF)));
}

// A raw page (quality 167) takes 3 x width bytes a line whatever its depth:
// an 8-bit page shows the first width bytes of each line as grey, and the
// page after it starts where those lines end.
TEST(BrovaneRawPages, RawLinesAreThreeBytesAPixelLong)
{
    Bytes input = urfJob(3, {urfPageHeader(8, 0, 0, 167, 4, 2, 300)});
    append(input, {0x10, 0x20, 0x30, 0x40, 1, 2, 3, 4, 5, 6, 7, 8,
                   0x50, 0x60, 0x70, 0x80, 9, 10, 11, 12, 13, 14, 15, 16});
    // A 24-bit raw page enlarged twice: each line gives two widened rows.
    append(input, urfPageHeader(24, 1, 0, 167, 2, 1, 300));
    append(input, {1, 2, 3, 4, 5, 6});
    Image last = makeImage(6, 2, 1, 28);
    append(input, urfPage(last, 0, 300));

    RunResult run = runBrovane("colour-600.ppd", input);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(hasLine(run.errLines(), line("Quality : 167")));
    std::vector<RasterPage> pages = readRaster(run.out);
    ASSERT_EQ(pages.size(), 3u);
    expectPage(pages[0], 4, 2, 12, 24, 1,
               {greyToRgb({0x10, 0x20, 0x30, 0x40}), greyToRgb({0x50, 0x60, 0x70, 0x80})});
    Bytes wide = {1, 2, 3, 1, 2, 3, 4, 5, 6, 4, 5, 6};
    expectPage(pages[1], 4, 2, 12, 24, 1, {wide, wide});
    expectPage(pages[2], 6, 2, 18, 24, 1, expectedRows(last, Out::GreyRgb));
}

// Later pages larger than the first: wider grey lines, wider enlarged colour
// lines and wider packed lines all come out whole.
TEST(BrovaneRawPages, LaterWiderPagesComeOutWhole)
{
    Image grey1 = makeImage(3, 2, 1, 29), grey2 = makeImage(150, 4, 1, 30);
    Image colour1 = makeImage(2, 2, 3, 31), colour2 = makeImage(90, 3, 3, 32);
    RunResult run = runBrovane("colour-600.ppd", urfJob(4, {urfPage(grey1, 0, 300), urfPage(grey2, 0, 300),
                                                             urfPage(colour1, 1, 300), urfPage(colour2, 1, 200)}));
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<RasterPage> pages = readRaster(run.out);
    ASSERT_EQ(pages.size(), 4u);
    expectPage(pages[0], 3, 2, 9, 24, 1, expectedRows(grey1, Out::GreyRgb));
    expectPage(pages[1], 150, 4, 450, 24, 1, expectedRows(grey2, Out::GreyRgb));
    expectPage(pages[2], 4, 4, 12, 24, 1, expectedRows(colour1, Out::Colour, 2));
    expectPage(pages[3], 270, 9, 810, 24, 1, expectedRows(colour2, Out::Colour, 3));

    // The same on a receipt printer, where grey lines are packed in place.
    Image narrow = makeImage(5, 2, 1, 33), wide = makeImage(77, 3, 1, 34);
    RunResult mono = runBrovane("receipt.ppd", urfJob(2, {urfPage(narrow, 0, 203), urfPage(wide, 0, 203)}));
    ASSERT_EQ(mono.status, 0) << mono.err;
    pages = readRaster(mono.out);
    ASSERT_EQ(pages.size(), 2u);
    expectPage(pages[0], 5, 2, 1, 1, CUPS_CSPACE_K, expectedRows(narrow, Out::Mono));
    expectPage(pages[1], 77, 3, 10, 1, CUPS_CSPACE_K, expectedRows(wide, Out::Mono));
}

} // namespace
