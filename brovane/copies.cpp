// Copies that brovane writes itself, for drivers that leave them to the
// filters before them (*cupsManualCopies: True): the job read again for each.

#include "brovane/brovane.h"

#include "common/filter.h"
#include "urf/urf.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace brovane {

// After a copy of an odd number of two-sided pages, a blank back side, so the
// next copy starts on a sheet of its own: the last page's header, white rows.
// cupsBytesPerLine is at most 3 x 262,144 bytes (the line limit of page setup).
static void blankBackSide(uint32_t pagesWritten)
{
    cups_page_header2_t &header = job.pageHeader;
    if (pagesWritten % 2 == 0 || header.Duplex != CUPS_TRUE)
        return;
    common::message("DEBUG: (brovane) Blank back side after %u pages\n", pagesWritten);
    // 1-bit black prints bits that are set; 8-bit RGB prints below 255.
    uint8_t white = common::fieldBits(header.cupsColorSpace) == CUPS_CSPACE_K ? 0x00 : 0xFF;
    // malloc, not a container: brovane needs no C++ runtime library, whose
    // pages would be most of a megabyte of the filter's resident memory.
    size_t bytes = static_cast<size_t>(header.cupsBytesPerLine);
    uint8_t *row = static_cast<uint8_t *>(std::malloc(bytes));
    if (row == nullptr) {
        common::message("ERROR: (brovane) Unable to allocate %lu bytes for a row\n", static_cast<unsigned long>(bytes));
        return;
    }
    std::memset(row, white, bytes);
    cupsRasterWriteHeader2(job.rasterOut, &header);
    for (uint32_t y = 0; y < header.cupsHeight; y++)
        cupsRasterWritePixels(job.rasterOut, row, header.cupsBytesPerLine);
    std::free(row);
}

void makeCopies(int argc, char **argv, uint32_t pagesWritten)
{
    for (uint32_t copy = 2; copy <= job.filterCopies; copy++) {
        common::exitIfStopped();
        if (pagesWritten == 0)
            return;
        // The scheduler hands the first filter its spool file, which seeks; a
        // pipe can't be read again, and the copies asked can't come out.
        if (job.inputStart < 0 || !urf::rewindInput(job.inputFd, job.inputStart)) {
            common::message("ERROR: (brovane) Only %u of %u copies: the job's input can't be read again\n",
                            copy - 1, job.filterCopies);
            return;
        }
        blankBackSide(pagesWritten);
        common::message("DEBUG: (brovane) Copy %u of %u\n", copy, job.filterCopies);
        startInput(argv[2], argv[3]);
        pagesWritten = convertPages(argc, argv);
    }
}

} // namespace brovane
