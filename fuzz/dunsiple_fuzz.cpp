// Fuzz harness for dunsiple: every input is a CUPS raster stream run through
// the real page loop, row buffer sizing, dither and packing, in one process.

#include "dunsiple/driver.h"

#include "common/filter.h"
#include "fuzz/harness.h"

#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Once per process: the PPD read and the row buffers sized from it, as at the
// start of a job; the packed rows go to /dev/null.
bool setUp()
{
    setenv("PPD", FUZZ_PPD, 1);
    common::setFilterName("dunsiple");
    int nullFd = open("/dev/null", O_WRONLY);
    dup2(nullFd, 1);
    close(nullFd);
    if (!dunsiple::loadPrinter("") || !dunsiple::sizeRowsFromPpd())
        std::abort();
    return true;
}

} // namespace

extern "C" const char *__asan_default_options()
{
    return fuzzharness::kRasterSanitizerOptions;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = setUp();
    (void)ready;

    // dunsiple has no stop flag: every input runs to its end. Its rows come
    // from the input, so the work stays in proportion to what libcups
    // decompresses from it. The buffers, grown by earlier pages, are kept.
    int input = fuzzharness::inputFromBytes(data, size);
    if (input < 0)
        return 0;
    dunsiple::job.inputFd = input;
    dunsiple::job.pageNumber = 0;
    dunsiple::convertPages();
    dunsiple::closeInput();
    return 0;
}
