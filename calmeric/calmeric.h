// calmeric: URF jobs to CUPS raster with no PPD, each page header mapped from
// the URF page header and the decoded lines written unchanged.
#pragma once

#include <cstdint>
#include <ctime>

#include <cups/raster.h>

#include "urf/urf.h"

namespace calmeric {

// Everything that lives for the whole job.
struct JobState {
    clock_t startTicks;             // first times() of the run
    cups_raster_t *rasterOut;       // output raster stream on descriptor 1
    int inputFd;                    // job input; every read goes through urf::reader
    uint32_t pageCount;             // pages to convert; 9999 when unstated
    uint32_t pageNumber;            // pages begun so far; numbers them from 1
    urf::UrfPageHeader urfPage;     // the current URF page header, host order
    cups_page_header2_t pageHeader; // output header; only the mapped fields ever change
};
extern JobState job;

// Sets the eleven mapped fields of `header` from the URF page header and
// leaves every other field (NumCopies, set once from the copies argument,
// among them) as it stands.
void mapHeader(const urf::UrfPageHeader &urfPage, cups_page_header2_t &header);

// The shape of a page's body as the shared decoder sees it: encoded lines
// (whatever the quality byte says), no enlargement.
urf::PageLayout pageLayout(int32_t width, int32_t height, int32_t bitsPerPixel);

// Null when the page can be decoded and written, else the reason it can't.
const char *pageRefusal(const urf::PageLayout &layout, const cups_page_header2_t &header);

// Decodes one page and writes its rows to job.rasterOut under the current
// job.pageHeader. 0 when the page is complete, 1 after an "ERROR:" line.
int32_t decodePage(int fd, int32_t width, int32_t height, int32_t bitsPerPixel);

// Rows that the last page written still owes to its header (0 when complete).
uint32_t rowsOwed();
// Completes a page cut short with white rows, so that a page header written
// after it starts where a reader of the stream expects one. False when the
// row can't be allocated (nothing written then).
bool completeShortPage();

// Forgets the page being written, as at the start of a job (nothing owed);
// the white row is kept.
void resetWriter();

// Reads the URF file header from job.inputFd and sets job.pageCount.
void startInput();
// The page loop over job.inputFd to job.rasterOut, up to the page count or
// the end of the input.
void convertPages(int argc, char **argv);

// The whole run, from the start-up lines to the exit status.
int run(int argc, char **argv);

} // namespace calmeric
