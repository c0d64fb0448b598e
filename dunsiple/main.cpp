// dunsiple: a CUPS raster stream of 8-bit CMYK pages to packed 1-bit CMYK on
// standard output, two pixels a byte, with no header. The program's entry point.

#include "common/filter.h"
#include "dunsiple/driver.h"

#include <cstdio>

namespace {

constexpr const char *kUsage = "Usage: dunsiple job user title copies options [filename]";

} // namespace

int main(int argc, char **argv)
{
    using namespace dunsiple;
    // First of all, so that the real-time line covers the whole run.
    job.startTicks = common::startClock();
    common::setFilterName("dunsiple");

    // The usage line goes to standard output, as the only line of the run.
    if (argc != 6 && argc != 7) {
        std::puts(kUsage);
        return 1;
    }
    if (!openInput(argc, argv) || !loadPrinter(argv[5]) || !sizeRowsFromPpd())
        return 1;
    if (!convertPages())
        return 1;
    closeInput();
    common::finishRun(job.startTicks);
}
