// Differential fuzz target: the fuzzer's bytes choose a valid URF job (pages of
// any size and depth, runs, literals, fills, line repeats), which our reader
// and decoder and libcups' own URF reader both decode; every page and row must agree.

#include "common/filter.h"
#include "urf/urf.h"

#include <cups/raster.h>

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

// Sizes the generator keeps to, so that one input decodes in well under a
// millisecond: lines of up to 520 pixels, pages of up to 96 lines.
constexpr uint32_t kMaxWidth = 520;
constexpr uint32_t kMaxHeight = 96;
constexpr uint32_t kMaxPages = 4;
constexpr uint8_t kDepths[] = {8, 24, 32};
constexpr uint32_t kResolutions[] = {72, 150, 203, 300, 600};

// The fuzzer's bytes, taken one at a time; zeros once they run out.
struct Choices {
    const uint8_t *data;
    size_t size;
    size_t at;
};
Choices choices;

// Our decoder's pages: each row as the sink received it.
struct Decoded {
    std::vector<std::vector<uint8_t>> rows; // rows of the page being decoded
    uint32_t rowBytes;                      // bytes of each
};
Decoded decoded;

// The way back from die.
jmp_buf back;

// The job of the input being checked, written out when the decoders differ.
std::vector<uint8_t> currentJob;

uint8_t take()
{
    return choices.at < choices.size ? choices.data[choices.at++] : 0;
}

uint32_t takeUpTo(uint32_t most) // 1 .. most
{
    uint32_t value = take() | static_cast<uint32_t>(take()) << 8;
    return 1 + value % most;
}

void put32(std::vector<uint8_t> &out, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

// A valid job: the file header, then each page's header and encoded lines,
// every line filled exactly and no line repeated past the page's end.
std::vector<uint8_t> makeJob()
{
    std::vector<uint8_t> job = {'U', 'N', 'I', 'R', 'A', 'S', 'T', 0};
    uint32_t pages = takeUpTo(kMaxPages);
    put32(job, take() & 1 ? pages : 0);
    for (uint32_t p = 0; p < pages; p++) {
        uint8_t depth = kDepths[take() % sizeof kDepths];
        uint32_t pixelBytes = depth / 8u;
        uint32_t width = takeUpTo(kMaxWidth), height = takeUpTo(kMaxHeight);
        job.push_back(depth);
        // Grey and sRGB: where both readers agree that a fill is white (libcups
        // fills other colour spaces, such as code 2, with zeros).
        job.push_back(depth == 8 ? 0 : 1);
        job.push_back(static_cast<uint8_t>(1 + take() % 3)); // duplex
        job.push_back(static_cast<uint8_t>(3 + take() % 3)); // quality, never the raw one
        put32(job, 0);
        put32(job, 0);
        put32(job, width);
        put32(job, height);
        put32(job, kResolutions[take() % (sizeof kResolutions / sizeof kResolutions[0])]);
        put32(job, 0);
        put32(job, 0);
        for (uint32_t row = 0; row < height;) {
            uint32_t repeats = take() % (height - row < 256 ? height - row : 256);
            job.push_back(static_cast<uint8_t>(repeats));
            row += repeats + 1;
            for (uint32_t x = 0; x < width;) {
                uint32_t left = width - x;
                uint8_t kind = take() % 8;
                uint32_t n = 1 + take() % (left < 128 ? left : 128);
                if (kind == 0) {
                    job.push_back(0x80); // white to the end of the line
                    x = width;
                } else if (kind < 4) {
                    job.push_back(static_cast<uint8_t>(n - 1)); // one pixel, n times
                    for (uint32_t b = 0; b < pixelBytes; b++)
                        job.push_back(take());
                    x += n;
                } else {
                    job.push_back(static_cast<uint8_t>(257 - n)); // n pixels, one by one
                    for (uint32_t b = 0; b < n * pixelBytes; b++)
                        job.push_back(take());
                    x += n;
                }
            }
        }
    }
    return job;
}

void keepRows(void *, uint32_t, uint8_t *line, uint32_t rows)
{
    for (uint32_t r = 0; r < rows; r++)
        decoded.rows.emplace_back(line, line + decoded.rowBytes);
}

[[noreturn]] void backToHarness(int)
{
    longjmp(back, 1);
}

// Keeps the job where URF_DIFFERENTIAL_JOB names (for a look at it) and stops.
[[noreturn]] void fail()
{
    if (const char *path = std::getenv("URF_DIFFERENTIAL_JOB")) {
        if (FILE *f = std::fopen(path, "wb")) {
            std::fwrite(currentJob.data(), 1, currentJob.size(), f);
            std::fclose(f);
        }
    }
    std::abort();
}

[[noreturn]] void differ(const char *what, uint32_t page, uint32_t a, uint32_t b)
{
    std::fprintf(stderr, "DIFFERENT: page %u, %s: ours %u, libcups %u\n", page, what, a, b);
    fail();
}

// Out of line: its locals must not live across the harness's setjmp.
__attribute__((noinline)) int descriptorOf(const std::vector<uint8_t> &job)
{
    int fd = memfd_create("job", 0);
    if (fd >= 0 && write(fd, job.data(), job.size()) == static_cast<ssize_t>(job.size())) {
        lseek(fd, 0, SEEK_SET);
        return fd;
    }
    if (fd >= 0)
        close(fd);
    return -1;
}

bool setUp()
{
    common::setFilterName("fuzz");
    common::setExitHandler(backToHarness);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = setUp();
    (void)ready;
    choices = Choices{data, size, 0};
    currentJob = makeJob();
    const std::vector<uint8_t> &job = currentJob;
    int ours = descriptorOf(job), theirs = descriptorOf(job);
    if (ours < 0 || theirs < 0)
        std::abort();

    // A fresh reader, as a new process has; libcups reads the same bytes.
    // Half of the jobs (by the input's length) are read in large chunks, as
    // the filters read them, the others 8192 bytes a read.
    std::memset(&urf::reader, 0, sizeof urf::reader);
    std::memset(urf::headerBytes, 0, sizeof urf::headerBytes);
    if (size % 2 == 0)
        urf::beginInput(ours);
    cups_raster_t *raster = cupsRasterOpen(theirs, CUPS_RASTER_READ);
    if (raster == nullptr)
        std::abort();
    if (setjmp(back) != 0)
        std::abort(); // a valid job never ends in die
    urf::readFileHeader(ours);

    std::vector<uint8_t> row;
    for (uint32_t page = 1;; page++) {
        int32_t got = urf::readExact(ours, urf::headerBytes, urf::kPageHeaderSize);
        cups_page_header2_t header;
        int theirsHas = cupsRasterReadHeader2(raster, &header);
        if (got != static_cast<int32_t>(urf::kPageHeaderSize)) {
            if (theirsHas)
                differ("a page after the last", page, 0, 1);
            break;
        }
        if (!theirsHas)
            differ("a page", page, 1, 0);
        urf::UrfPageHeader urfPage = urf::parsePageHeader(urf::headerBytes);
        if (urfPage.width != header.cupsWidth)
            differ("width", page, urfPage.width, header.cupsWidth);
        if (urfPage.height != header.cupsHeight)
            differ("height", page, urfPage.height, header.cupsHeight);
        if (urfPage.bitsPerPixel != header.cupsBitsPerPixel)
            differ("bits per pixel", page, urfPage.bitsPerPixel, header.cupsBitsPerPixel);
        if (urfPage.resolution != header.HWResolution[0] || urfPage.resolution != header.HWResolution[1])
            differ("resolution", page, urfPage.resolution, header.HWResolution[0]);
        uint32_t rowBytes = urfPage.width * (urfPage.bitsPerPixel / 8u);
        if (rowBytes != header.cupsBytesPerLine)
            differ("bytes per line", page, rowBytes, header.cupsBytesPerLine);

        decoded.rows.clear();
        decoded.rowBytes = rowBytes;
        urf::PageLayout layout{static_cast<int32_t>(urfPage.width), static_cast<int32_t>(urfPage.height),
                               urfPage.bitsPerPixel, 1, false, 0};
        if (urf::decodePage(ours, layout, urf::LineSink{keepRows, nullptr, nullptr}) != 0)
            differ("decoding", page, 1, 0);
        if (decoded.rows.size() != urfPage.height)
            differ("rows", page, static_cast<uint32_t>(decoded.rows.size()), urfPage.height);
        row.resize(rowBytes);
        for (uint32_t y = 0; y < urfPage.height; y++) {
            if (cupsRasterReadPixels(raster, row.data(), rowBytes) != rowBytes)
                differ("row read", page, y, 0);
            if (std::memcmp(row.data(), decoded.rows[y].data(), rowBytes) != 0) {
                uint32_t x = 0;
                while (row[x] == decoded.rows[y][x])
                    x++;
                std::fprintf(stderr, "DIFFERENT: page %u, row %u, byte %u: ours %u, libcups %u\n", page, y, x,
                             decoded.rows[y][x], row[x]);
                fail();
            }
        }
    }
    cupsRasterClose(raster);
    urf::releaseInput();
    close(ours);
    close(theirs);
    return 0;
}
