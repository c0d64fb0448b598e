// Fuzz harness for brovane: every input is a whole job run through the real
// start of input, page loop, page setup, decoder and row output, in one process.

#include "brovane/brovane.h"

#include "common/filter.h"
#include "common/rowbatch.h"
#include "fuzz/harness.h"
#include "urf/urf.h"

#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The harness's own state: the job template after the PPD was loaded, and
// the way back from die and from a stop.
struct Harness {
    cups_page_header2_t headerTemplate; // pageHeader as the PPD and options left it
    jmp_buf back;                       // where die and stopNow return to
    int nullFd;                         // /dev/null, for the output
};
Harness harness;

char arg0[] = "brovane", arg1[] = "1", arg2[] = "fuzz", arg3[] = "title", arg4[] = "1", arg5[] = "";
char *arguments[] = {arg0, arg1, arg2, arg3, arg4, arg5, nullptr};

[[noreturn]] void backToHarness(int)
{
    longjmp(harness.back, 1);
}

// Once per process: the PPD and options, as at the start of a job.
bool setUp()
{
    setenv("PPD", FUZZ_PPD, 1);
    common::setFilterName("brovane");
    common::setExitHandler(backToHarness);
    fuzzharness::installBudget();
    harness.nullFd = open("/dev/null", O_WRONLY);
    // The PostScript build writes the document to standard output.
    dup2(harness.nullFd, 1);
    brovane::loadPrinter(6, arguments);
    harness.headerTemplate = brovane::job.pageHeader;
    return true;
}

} // namespace

#if BROVANE_RASTER_INPUT
extern "C" const char *__asan_default_options()
{
    return fuzzharness::kRasterSanitizerOptions;
}
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = setUp();
    (void)ready;

    // A fresh job: what a new process would start from.
    std::memset(&urf::reader, 0, sizeof urf::reader);
    std::memset(urf::headerBytes, 0, sizeof urf::headerBytes);
    std::memset(&brovane::page, 0, sizeof brovane::page);
    brovane::page.scale = 1;
    brovane::job.pageHeader = harness.headerTemplate;
    brovane::job.pageCount = 0;

    int input = fuzzharness::inputFromBytes(data, size);
    if (input < 0)
        return 0;
    brovane::job.inputFd = input;
    if (!brovane::rasterInput)
        urf::beginInput(input); // read in whole chunks, as the filter reads its job
    brovane::job.rasterOut = brovane::psOutput ? nullptr : cupsRasterOpen(harness.nullFd, CUPS_RASTER_WRITE);

    fuzzharness::startBudget();
    if (setjmp(harness.back) == 0) {
        brovane::startInput(arguments[2], arguments[3]);
        brovane::convertPages(6, arguments);
    }
    fuzzharness::endBudget();

    // Rows still gathered when a stop came back here belong to this job.
    if (!brovane::psOutput && brovane::job.rasterOut != nullptr)
        common::flushRowBatch();
    if (brovane::job.rasterIn != nullptr) {
        cupsRasterClose(brovane::job.rasterIn);
        brovane::job.rasterIn = nullptr;
    }
    if (brovane::job.rasterOut != nullptr) {
        cupsRasterClose(brovane::job.rasterOut);
        brovane::job.rasterOut = nullptr;
    }
    urf::releaseInput();
    close(input);
    return 0;
}
