// brovane's driver: start-up (PPD, output, command line, input), the page
// loop, and the end of the job. The program's entry point.

#include "brovane/brovane.h"

#include "common/filter.h"
#include "common/rowbatch.h"
#include "urf/urf.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace brovane {

} // namespace brovane

int main(int argc, char **argv)
{
    using namespace brovane;
    common::setFilterName("brovane");
    setbuf(stderr, nullptr);
    job.startTicks = common::startClock();
    common::installStopHandler();
    page.scale = 1;
    page.rowScale = 1;

    common::message("DEBUG: (brovane) Starting operation %d, psOutput %d, arg0=%s\n", argc, psOutput, argv[0]);
    loadPrinter(argc, argv);

    common::enlargeOutputPipe();
    // A raster stream that can't be opened leaves nothing to write to: the
    // job fails before any input is read.
    if (!psOutput) {
        job.rasterOut = cupsRasterOpen(1, CUPS_RASTER_WRITE);
        if (job.rasterOut == nullptr)
            common::die("Unable to open output raster stream");
    }

    if (argc < 6) {
        std::fprintf(stderr, "Usage: %s <job> <user> <job name> <copies> <option> [file]\nVersion 1.0\n", argv[0]);
        return 1;
    }
    job.inputFd = urf::openInput(argc, argv);
    // Where the job begins, for copies that read it again (-1: a pipe). The
    // look keeps errno, which a fatal error's message shows.
    int saved = errno;
    job.inputStart = lseek(job.inputFd, 0, SEEK_CUR);
    errno = saved;
    // A URF job is read in large chunks (a file or a pipe alike); CUPS
    // raster input goes to libcups, which reads the descriptor itself.
    if (!rasterInput)
        urf::beginInput(job.inputFd);

    startInput(argv[2], argv[3]);
    uint32_t pagesWritten = convertPages(argc, argv);
    if (job.filterCopies > 1)
        makeCopies(argc, argv, pagesWritten);
    // A stop that came during the last page (its failed read reported) leaves
    // no end of job behind: no closing lines, no flush of the output.
    common::exitIfStopped();

    common::message("INFO:\n");
    common::message("DEBUG: (brovane) Completed processing %d\n", 0);
    if (psOutput)
        writeTrailer();
    else
        cupsRasterClose(job.rasterOut);
    ppdClose(job.ppd);
    common::finishRun(job.startTicks);
}
