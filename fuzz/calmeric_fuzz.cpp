// Fuzz harness for calmeric: every input is a whole job run through the real
// file header read, page loop, header mapping, decoder and line writer.

#include "calmeric/calmeric.h"

#include "common/filter.h"
#include "fuzz/harness.h"
#include "urf/urf.h"

#include <csetjmp>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The harness's own state: the way back from die and from a stop.
struct Harness {
    jmp_buf back; // where die and stopNow return to
    int nullFd;   // /dev/null, for the output
};
Harness harness;

char arg0[] = "calmeric", arg1[] = "1", arg2[] = "fuzz", arg3[] = "title", arg4[] = "1", arg5[] = "";
char *arguments[] = {arg0, arg1, arg2, arg3, arg4, arg5, nullptr};

[[noreturn]] void backToHarness(int)
{
    longjmp(harness.back, 1);
}

bool setUp()
{
    common::setFilterName("calmeric");
    common::setExitHandler(backToHarness);
    fuzzharness::installBudget();
    harness.nullFd = open("/dev/null", O_WRONLY);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = setUp();
    (void)ready;

    // A fresh job: what a new process would start from. The decoder's line
    // buffer and the white row are kept, as a process keeps them across pages.
    std::memset(&urf::reader, 0, sizeof urf::reader);
    std::memset(urf::headerBytes, 0, sizeof urf::headerBytes);
    std::memset(&calmeric::job.pageHeader, 0, sizeof calmeric::job.pageHeader);
    calmeric::job.pageNumber = 0;
    calmeric::resetWriter();

    int input = fuzzharness::inputFromBytes(data, size);
    if (input < 0)
        return 0;
    calmeric::job.inputFd = input;
    urf::beginInput(input); // read in whole chunks, as a filter reads its job
    calmeric::job.rasterOut = cupsRasterOpen(harness.nullFd, CUPS_RASTER_WRITE);

    fuzzharness::startBudget();
    if (setjmp(harness.back) == 0) {
        calmeric::startInput();
        calmeric::convertPages(6, arguments);
    }
    fuzzharness::endBudget();

    cupsRasterClose(calmeric::job.rasterOut);
    calmeric::job.rasterOut = nullptr;
    urf::releaseInput();
    close(input);
    return 0;
}
