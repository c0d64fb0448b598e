// calmeric run as the scheduler runs it: whole URF jobs in, CUPS raster read
// back through libcups, message lines, exit statuses, pipes, SIGTERM.

#include "support.h"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <random>
#include <regex>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using testsupport::Bytes;
using testsupport::hasLine;
using testsupport::RunResult;

namespace {

const std::vector<std::string> kArgs = {"42", "alice", "report", "1", "media=a4"};

RunResult calmeric(const Bytes &input, const testsupport::RunOptions &options = {})
{
    return testsupport::runFilter(testsupport::programPath("calmeric"), kArgs, input, options);
}

Bytes page(uint8_t bitsPerPixel, uint32_t width, uint32_t height, const Bytes &body, uint8_t quality = 4,
           uint8_t duplex = 0)
{
    Bytes b = testsupport::urfPageHeader(bitsPerPixel, bitsPerPixel == 8 ? 0 : 1, duplex, quality, width, height, 300);
    testsupport::append(b, body);
    return b;
}

Bytes job(uint32_t pageCount, const std::vector<Bytes> &pages)
{
    Bytes b = testsupport::urfFileHeader(pageCount);
    for (const Bytes &p : pages)
        testsupport::append(b, p);
    return b;
}

std::vector<Bytes> rowsOf(const std::vector<testsupport::RasterPage> &pages, size_t index)
{
    return index < pages.size() ? pages[index].rows : std::vector<Bytes>();
}

// The end of a job that reached the end of its page loop.
void expectNormalEnd(const RunResult &r)
{
    EXPECT_EQ(r.status, 0) << r.err;
    auto lines = r.errLines();
    EXPECT_TRUE(hasLine(lines, "INFO:"));
    EXPECT_TRUE(hasLine(lines, "DEBUG: (calmeric) Completed processing 0"));
    EXPECT_TRUE(hasLine(lines, "DEBUG: (calmeric) Exiting program 0"));
}

TEST(CalmericRun, MessagesInOrderAndHeadersMapped)
{
    RunResult r =
        calmeric(job(2, {page(8, 4, 1, {0x00, 0x03, 0x00}), page(24, 2, 1, {0x00, 0x01, 0xFF, 0x00, 0x00}, 4, 2)}));
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> want = {"DEBUG: (calmeric) Starting operation 6, arg0=" +
                                         testsupport::programPath("calmeric"),
                                     "DEBUG: (calmeric) UNIRAST file, with 2 page(s).",
                                     "DEBUG: (calmeric) Page 1 :",
                                     "DEBUG: (calmeric) ARG 1: 42",
                                     "DEBUG: (calmeric) ARG 2: alice",
                                     "DEBUG: (calmeric) ARG 3: report",
                                     "DEBUG: (calmeric) ARG 4: 1",
                                     "DEBUG: (calmeric) ARG 5: media=a4",
                                     "DEBUG: (calmeric) Bits Per Pixel : 8",
                                     "DEBUG: (calmeric) Bits Per Color : 8",
                                     "DEBUG: (calmeric) Colorspace : 0",
                                     "DEBUG: (calmeric) Duplex Mode : 0",
                                     "DEBUG: (calmeric) Quality : 4",
                                     "DEBUG: (calmeric) Size : 4x1 pixels",
                                     "DEBUG: (calmeric) Dots per Inches : 300",
                                     "DEBUG: (calmeric) Decoding raster image for page 1",
                                     "INFO: Rendering page 1 of 2",
                                     "DEBUG: (calmeric) Result of raster decode: Success",
                                     "DEBUG: (calmeric) Page 2 :",
                                     "DEBUG: (calmeric) Bits Per Pixel : 24",
                                     "DEBUG: (calmeric) Bits Per Color : 8",
                                     "DEBUG: (calmeric) Colorspace : 1",
                                     "DEBUG: (calmeric) Duplex Mode : 2",
                                     "DEBUG: (calmeric) Quality : 4",
                                     "DEBUG: (calmeric) Size : 2x1 pixels",
                                     "DEBUG: (calmeric) Dots per Inches : 300",
                                     "DEBUG: (calmeric) Decoding raster image for page 2",
                                     "INFO: Rendering page 2 of 2",
                                     "DEBUG: (calmeric) Result of raster decode: Success",
                                     "INFO:",
                                     "DEBUG: (calmeric) Completed processing 0"};
    auto lines = r.errLines();
    ASSERT_EQ(lines.size(), want.size() + 4) << r.err;
    for (size_t i = 0; i < want.size(); i++)
        EXPECT_EQ(lines[i], want[i]);
    const char *labels[] = {"Real Time  ", "System Time", "User Time  "};
    for (int k = 0; k < 3; k++)
        EXPECT_TRUE(std::regex_match(lines[want.size() + k], std::regex(std::string("DEBUG: \\(calmeric\\) ") +
                                                                        labels[k] + ": +[0-9]+\\.[0-9]{4}")))
            << lines[want.size() + k];
    EXPECT_EQ(lines.back(), "DEBUG: (calmeric) Exiting program 0");

    auto pages = testsupport::readRaster(r.out);
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_EQ(pages[0].rows, std::vector<Bytes>({Bytes(4, 0x00)}));
    EXPECT_EQ(pages[1].rows, std::vector<Bytes>({{0xFF, 0, 0, 0xFF, 0, 0}}));
    EXPECT_EQ(testsupport::rawDuplex(pages[0].header), 0u); // code 0: one side
    EXPECT_EQ(testsupport::rawDuplex(pages[1].header), 1u); // code 2: two sides, short edge
    EXPECT_EQ(pages[1].header.Tumble, CUPS_TRUE);
    EXPECT_EQ(pages[1].header.HWResolution[0], 300u);
    EXPECT_EQ(pages[1].header.PageSize[0], 0u);
}

// With no PPD the printer makes the copies: every page header asks for the
// copies argument, 1 to 9999, and for one when the argument is anything else.
TEST(CalmericRun, CopiesArgumentOnEveryPage)
{
    Bytes input = job(2, {page(8, 4, 1, {0x00, 0x03, 0x00}), page(8, 4, 1, {0x00, 0x03, 0xFF})});
    for (auto c : {std::pair<const char *, unsigned>{"3", 3}, {"9999", 9999}, {"10000", 1}, {"0", 1}, {"2x", 1}}) {
        RunResult r = testsupport::runFilter(testsupport::programPath("calmeric"),
                                             {"42", "alice", "report", c.first, ""}, input);
        ASSERT_EQ(r.status, 0) << r.err;
        auto pages = testsupport::readRaster(r.out);
        ASSERT_EQ(pages.size(), 2u) << c.first;
        for (const auto &p : pages)
            EXPECT_EQ(p.header.NumCopies, c.second) << "copies argument " << c.first;
    }
}

TEST(CalmericRun, LinesWrittenAsDecodedRepeatsClippedToThePage)
{
    // Pixels of a 64-bit page wider than every page before it: the buffers grow.
    std::mt19937 random(7);
    Bytes wide(300 * 3 * 8);
    for (uint8_t &b : wide)
        b = static_cast<uint8_t>(random() % 3 * 0x55);

    RunResult r = calmeric(
        job(7, {
                   page(8, 4, 2, {0x00, 0x00, 0x10, 0x80, 0x00, 0x80}),
                   page(24, 4, 2, {0x01, 0x01, 0xAA, 0xBB, 0xCC, 0xFF, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}, 167),
                   page(32, 2, 1, {0x00, 0xFF, 1, 2, 3, 4, 5, 6, 7, 8}),
                   page(8, 1, 300, {0xFF, 0x00, 0x0A, 0xFF, 0x00, 0x0B}), // 256 rows, then 44 of 256
                   page(8, 1, 3, {0x04, 0x00, 0x0C}),                     // 3 rows of 5
                   page(64, 300, 3, testsupport::encodeUrfPage(wide, 300, 3, 8)),
                   page(8, 2, 1, {0x00, 0x01, 0x0D}), // found where the clipped repeats left the input
               }));
    expectNormalEnd(r);
    EXPECT_FALSE(hasLine(r.errLines(), "DEBUG: (calmeric) Result of raster decode: Failure"));
    EXPECT_EQ(r.err.find("white rows"), std::string::npos) << "every page counted complete";
    auto pages = testsupport::readRaster(r.out);
    ASSERT_EQ(pages.size(), 7u);

    EXPECT_EQ(rowsOf(pages, 0), std::vector<Bytes>({{0x10, 0xFF, 0xFF, 0xFF}, Bytes(4, 0xFF)}));
    Bytes colour = {0xAA, 0xBB, 0xCC, 0xAA, 0xBB, 0xCC, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    EXPECT_EQ(rowsOf(pages, 1), std::vector<Bytes>({colour, colour}));
    EXPECT_EQ(rowsOf(pages, 2), std::vector<Bytes>({{1, 2, 3, 4, 5, 6, 7, 8}}));
    std::vector<Bytes> tall(256, Bytes{0x0A});
    tall.resize(300, Bytes{0x0B});
    EXPECT_EQ(rowsOf(pages, 3), tall);
    EXPECT_EQ(rowsOf(pages, 4), std::vector<Bytes>(3, Bytes{0x0C}));
    std::vector<Bytes> wideRows;
    for (size_t y = 0; y < 3; y++)
        wideRows.emplace_back(wide.begin() + y * 2400, wide.begin() + (y + 1) * 2400);
    EXPECT_EQ(rowsOf(pages, 5), wideRows);
    EXPECT_EQ(rowsOf(pages, 6), std::vector<Bytes>({{0x0D, 0x0D}}));
    EXPECT_EQ(pages[2].header.cupsNumColors, 4u); // 32-bit: four colours, RGB colour space
    EXPECT_EQ(pages[2].header.cupsColorSpace, CUPS_CSPACE_RGB);
}

// Pages of an uncompressed raster stream cut where their headers say,
// without libcups, whose reader refuses a header of height 0.
std::vector<std::pair<cups_page_header2_t, size_t>> splitRaster(const std::string &out)
{
    std::vector<std::pair<cups_page_header2_t, size_t>> pages;
    uint32_t sync = 0;
    if (out.size() >= 4)
        std::memcpy(&sync, out.data(), 4);
    EXPECT_EQ(sync, 0x52615333u); // "RaS3" in host order
    for (size_t at = 4; at + sizeof(cups_page_header2_t) <= out.size();) {
        cups_page_header2_t h;
        std::memcpy(&h, out.data() + at, sizeof h);
        at += sizeof h + static_cast<size_t>(h.cupsHeight) * h.cupsBytesPerLine;
        pages.emplace_back(h, at);
    }
    return pages;
}

TEST(CalmericRun, PageOfHeightZeroTakesOneLineAndWritesNoRow)
{
    RunResult r = calmeric(job(2, {page(8, 4, 0, {0x00, 0x80}), page(8, 2, 1, {0x00, 0x01, 0x5A})}));
    expectNormalEnd(r);
    auto pages = splitRaster(r.out);
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_EQ(pages[0].first.cupsHeight, 0u);
    EXPECT_EQ(pages[1].first.cupsWidth, 2u);
    EXPECT_EQ(pages[1].second, r.out.size());
    EXPECT_EQ(r.out.substr(r.out.size() - 2), "ZZ");
}

TEST(CalmericRun, PageCounts)
{
    Bytes one = page(8, 1, 1, {0x00, 0x00, 0x01});
    const struct {
        uint32_t count;
        size_t pages;
        const char *info, *end;
    } cases[] = {
        {0, 2, "INFO: Rendering page 2", "DEBUG: (calmeric) End of file reached @ page 3"},
        {999, 2, "INFO: Rendering page 2 of 999", "DEBUG: (calmeric) End of file reached @ page 3"},
        {1000, 2, "INFO: Rendering page 2", "DEBUG: (calmeric) End of file reached @ page 3"},
        {1, 1, "INFO: Rendering page 1 of 1", nullptr},
    };
    for (auto c : cases) {
        RunResult r = calmeric(job(c.count, {one, one}));
        expectNormalEnd(r);
        auto lines = r.errLines();
        EXPECT_EQ(hasLine(lines, "DEBUG: (calmeric) Page count of zero, resetting to 9999"), c.count == 0);
        EXPECT_TRUE(hasLine(lines, c.info)) << c.count;
        EXPECT_FALSE(hasLine(lines, "INFO: Rendering page 2 of 1000"));
        EXPECT_EQ(hasLine(lines, "DEBUG: (calmeric) Page 2 :"), c.pages == 2) << c.count;
        if (c.end != nullptr)
            EXPECT_TRUE(hasLine(lines, c.end)) << c.count;
        else
            EXPECT_EQ(r.err.find("End of file reached"), std::string::npos);
        EXPECT_EQ(testsupport::readRaster(r.out).size(), c.pages) << c.count;
    }
}

TEST(CalmericRun, FileArgumentAndAnyEighthMagicByte)
{
    Bytes input = job(1, {page(8, 1, 1, {0x00, 0x00, 0x33})});
    input[7] = 'X';
    std::string path = testsupport::writeTempFile(input, ".urf");
    std::vector<std::string> args = kArgs;
    args.push_back(path);
    args.push_back("ignored");
    RunResult r = testsupport::runFilter(testsupport::programPath("calmeric"), args, {});
    expectNormalEnd(r);
    EXPECT_TRUE(hasLine(r.errLines(), "DEBUG: (calmeric) UNIRAST file, with 1 page(s)."));
    EXPECT_TRUE(hasLine(r.errLines(), "DEBUG: (calmeric) ARG 7: ignored"));
    EXPECT_EQ(rowsOf(testsupport::readRaster(r.out), 0), std::vector<Bytes>({{0x33}}));
    unlink(path.c_str());
}

// calmeric started on descriptor `in` (closed in this process afterwards),
// its output and messages in fresh files, with the emulator prefix as runFilter uses it.
struct Spawned {
    pid_t pid;
    std::string outPath, errPath;
};
Spawned spawnCalmeric(int in, bool closedOutput = false)
{
    Spawned s = {0, testsupport::writeTempFile({}), testsupport::writeTempFile({})};
    std::vector<std::string> argv;
    if (const char *emulator = std::getenv("FILTER_EMULATOR"); emulator != nullptr && *emulator)
        argv.push_back(emulator);
    argv.push_back(testsupport::programPath("calmeric"));
    argv.insert(argv.end(), kArgs.begin(), kArgs.end());
    int out = open(s.outPath.c_str(), O_WRONLY), err = open(s.errPath.c_str(), O_WRONLY);
    s.pid = fork();
    if (s.pid == 0) {
        dup2(in, 0);
        closedOutput ? close(1) : dup2(out, 1);
        dup2(err, 2);
        std::vector<char *> pointers;
        for (std::string &arg : argv)
            pointers.push_back(arg.data());
        pointers.push_back(nullptr);
        execv(pointers[0], pointers.data());
        _exit(127);
    }
    close(in);
    close(out);
    close(err);
    return s;
}

// Waits for the process; its exit status, -1 when a signal ended it.
int exitStatus(pid_t child)
{
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Waits (up to 20 s) until the file holds `text`; returns its content.
std::string waitForText(const std::string &path, const std::string &text)
{
    std::string content;
    for (int wait = 0; wait < 2000; wait++) {
        Bytes b = testsupport::readFile(path);
        content.assign(b.begin(), b.end());
        if (content.find(text) != std::string::npos)
            break;
        usleep(10000);
    }
    return content;
}

TEST(CalmericRun, UsageAndFatalErrors)
{
    RunResult usage = testsupport::runFilter(testsupport::programPath("calmeric"), {"1", "u", "t", "1"}, {});
    EXPECT_EQ(usage.status, 1);
    std::string program = testsupport::programPath("calmeric");
    EXPECT_EQ(usage.errLines(),
              std::vector<std::string>({"DEBUG: (calmeric) Starting operation 5, arg0=" + program,
                                        "Usage: " + program + " <job> <user> <job name> <copies> <option> [file]",
                                        "Version 2.0"}));
    EXPECT_EQ(usage.out.size(), 4u) << "only the sync word of the stream opened before the check";

    std::vector<std::string> args = kArgs;
    args.push_back("/nonexistent/job.urf");
    RunResult missing = testsupport::runFilter(program, args, {});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.errLines().back(), "CRIT: (calmeric) die(Unable to open rast file) [No such file or directory]");

    for (const Bytes &bad : {Bytes{}, Bytes{'U', 'N', 'I', 'R', 'A', 'S', 'X', 0, 0, 0, 0, 1}}) {
        RunResult r = calmeric(bad);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.errLines().back().rfind("CRIT: (calmeric) die(Bad File Header) [", 0), 0u) << r.err;
    }

    // Standard output closed: the stream can't be opened, and nothing would
    // reach the printer, so the job fails instead of reporting success.
    std::string inPath = testsupport::writeTempFile(job(1, {page(8, 1, 1, {0x00, 0x00, 0x01})}));
    Spawned closed = spawnCalmeric(open(inPath.c_str(), O_RDONLY), true);
    EXPECT_EQ(exitStatus(closed.pid), 1);
    EXPECT_NE(waitForText(closed.errPath, "")
                  .find("CRIT: (calmeric) die(Unable to open output raster stream) [Bad file descriptor]\n"),
              std::string::npos);
}

TEST(CalmericRun, DecoderMessagesThenTheJobEnds)
{
    const struct {
        Bytes page;
        size_t rows;
        const char *error; // followed by the offset unless it ends in "wanted 3"
    } cases[] = {
        {page(8, 4, 1, {}), 0, "ERROR: (calmeric) l000000 : line_repeat EOF at "},
        {page(8, 4, 1, {0x00, 0x01, 0xAA}), 0, "ERROR: (calmeric) p000002l000000 : packbit_code EOF at "},
        {page(24, 4, 3, {0x01, 0x03, 1, 2, 3, 0x00, 0x02, 4, 5}), 2,
         "ERROR: (calmeric) p000000l000002 : pixel repeat EOF at "},
        {page(24, 4, 3, {0x00, 0x03, 1, 2, 3, 0x00, 0xFE, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x11}), 1,
         "ERROR: (calmeric) p000002l000001 : literal_pixel EOF at 0, read 1, wanted 3"},
    };
    for (const auto &c : cases) {
        Bytes input = job(3, {c.page});
        RunResult r = calmeric(input);
        expectNormalEnd(r);
        std::string error = c.error;
        if (error.back() == ' ')
            error += std::to_string(input.size()); // all of the file came in one refill
        auto lines = r.errLines();
        int at = testsupport::lineIndex(lines, error);
        ASSERT_GE(at, 0) << r.err;
        EXPECT_EQ(lines[at + 1], "DEBUG: (calmeric) Result of raster decode: Failure");
        EXPECT_EQ(lines[at + 2], "DEBUG: (calmeric) End of file reached @ page 2");
        EXPECT_EQ(rowsOf(testsupport::readRaster(r.out), 0).size(), c.rows) << error;
    }

    // A page header cut short keeps the earlier page's remaining bytes.
    Bytes cut = job(0, {page(8, 4, 1, {0x00, 0x80})});
    testsupport::append(cut, {24, 1, 0, 4, 0, 0, 0, 0, 0, 0});
    RunResult r = calmeric(cut);
    expectNormalEnd(r);
    auto lines = r.errLines();
    EXPECT_TRUE(hasLine(lines, "DEBUG: (calmeric) Bits Per Pixel : 24"));
    EXPECT_TRUE(hasLine(lines, "DEBUG: (calmeric) Size : 4x1 pixels"));
    EXPECT_TRUE(hasLine(lines, "ERROR: (calmeric) l000000 : line_repeat EOF at " + std::to_string(cut.size())));
    EXPECT_TRUE(hasLine(lines, "DEBUG: (calmeric) End of file reached @ page 3"));
}

TEST(CalmericRun, PagesThatCantBeDecodedEndTheJobKeepingEarlierPages)
{
    const struct {
        uint8_t bitsPerPixel;
        uint32_t width, height;
    } cases[] = {{0, 4, 1}, {4, 8, 1},      {12, 4, 1},          {72, 4, 1},
                 {8, 0, 1}, {8, 262145, 1}, {8, 0xFFFFFFFFu, 1}, {8, 4, 16777217}};
    for (auto c : cases) {
        Bytes input = job(3, {page(8, 2, 1, {0x00, 0x01, 0x7F}), page(c.bitsPerPixel, c.width, c.height, {}),
                              Bytes(64, 0x01), page(8, 2, 1, {0x00, 0x01, 0x7F})});
        RunResult r = calmeric(input);
        expectNormalEnd(r);
        std::string prefix = "ERROR: (calmeric) Page 2 (" + std::to_string(c.bitsPerPixel) + " bits a pixel, " +
                             std::to_string(c.width) + "x" + std::to_string(c.height) + " pixels) can't be converted: ";
        std::string suffix = "; the rest of the job is not read\n";
        size_t at = r.err.find(prefix);
        ASSERT_NE(at, std::string::npos) << r.err;
        EXPECT_EQ(r.err.compare(r.err.find('\n', at) + 1 - suffix.size(), suffix.size(), suffix), 0) << r.err;
        EXPECT_EQ(r.err.find("Decoding raster image for page 2"), std::string::npos);
        EXPECT_EQ(r.err.find("Page 3 :"), std::string::npos);
        auto pages = testsupport::readRaster(r.out);
        ASSERT_EQ(pages.size(), 1u);
        EXPECT_EQ(pages[0].rows, std::vector<Bytes>({{0x7F, 0x7F}}));
    }
}

TEST(CalmericRun, OneBytePerReadFromAPipeGivesTheSameOutput)
{
    std::mt19937 random(11);
    std::vector<Bytes> pages;
    std::vector<Bytes> pixels;
    for (uint32_t pixelSize : {1u, 3u, 3u}) {
        Bytes p(40 * 5 * pixelSize);
        for (size_t i = 0; i < p.size(); i++)
            p[i] = static_cast<uint8_t>(i / 37 % 2 ? random() : 0x80);
        pixels.push_back(p);
        pages.push_back(
            page(static_cast<uint8_t>(pixelSize * 8), 40, 5, testsupport::encodeUrfPage(p, 40, 5, pixelSize)));
    }
    Bytes input = job(0, pages);
    RunResult fromFile = calmeric(input);
    testsupport::RunOptions piped;
    piped.stdinPipe = true;
    piped.oneBytePerRead = true;
    RunResult fromPipe = calmeric(input, piped);
    expectNormalEnd(fromPipe);
    EXPECT_EQ(fromPipe.out, fromFile.out);
    auto got = testsupport::readRaster(fromPipe.out);
    ASSERT_EQ(got.size(), 3u);
    for (size_t k = 0; k < 3; k++) {
        Bytes joined;
        for (const Bytes &row : got[k].rows)
            testsupport::append(joined, row);
        EXPECT_EQ(joined, pixels[k]) << "page " << k + 1;
    }
}

TEST(CalmericRun, SigtermInsideAPageEndsQuietlyWithStatusZero)
{
    // Ten lines of a 200-line page; the pipe stays open, so the filter waits
    // in a read for the rest, its handler long installed.
    Bytes input = job(0, {page(8, 1, 200, {})});
    for (int y = 0; y < 10; y++)
        testsupport::append(input, {0x00, 0x00, static_cast<uint8_t>(y)});
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    Spawned run = spawnCalmeric(fds[0]);
    waitForText(run.errPath, "INFO: Rendering page 1\n");
    kill(run.pid, SIGTERM);
    EXPECT_EQ(exitStatus(run.pid), 0);
    close(fds[1]);

    std::string text = waitForText(run.errPath, "");
    EXPECT_EQ(text.find("INFO:\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("Exiting program"), std::string::npos) << text;
    // Interrupted in its read, the decoder reports the page and the next read
    // ends the process; a signal that came between reads ends it at the next.
    size_t error = text.find("ERROR: (calmeric) l000010 : line_repeat EOF at ");
    if (error != std::string::npos) {
        EXPECT_EQ(text.substr(text.find('\n', error) + 1), "DEBUG: (calmeric) Result of raster decode: Failure\n");
        EXPECT_EQ(rowsOf(testsupport::readRasterFile(run.outPath), 0).size(), 10u);
    }
}

// A read that fails (here a socket's receive timeout) cuts a page short while
// more input is still to come: the short page is completed with white before
// the next header, so a reader of the stream finds both pages intact.
TEST(CalmericRun, PageCutShortByAFailedReadIsCompletedBeforeTheNext)
{
    int sockets[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sockets), 0);
    timeval timeout = {1, 0};
    setsockopt(sockets[0], SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    Bytes first = job(2, {page(8, 4, 3, {0x00, 0x03, 0x21})});
    Bytes second = page(8, 2, 1, {0x00, 0x01, 0x42});
    send(sockets[1], first.data(), first.size(), MSG_NOSIGNAL);

    Spawned run = spawnCalmeric(sockets[0]);
    // The next page goes in once the first has failed, while its header read waits.
    waitForText(run.errPath, "decode: Failure");
    send(sockets[1], second.data(), second.size(), MSG_NOSIGNAL);
    close(sockets[1]);
    EXPECT_EQ(exitStatus(run.pid), 0);

    std::string text = waitForText(run.errPath, "");
    EXPECT_NE(text.find("DEBUG: (calmeric) Page 1 completed with 2 white rows\n"), std::string::npos) << text;
    auto pages = testsupport::readRasterFile(run.outPath);
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_EQ(pages[0].rows, std::vector<Bytes>({Bytes(4, 0x21), Bytes(4, 0xFF), Bytes(4, 0xFF)}));
    EXPECT_EQ(pages[1].rows, std::vector<Bytes>({{0x42, 0x42}}));
}

} // namespace
