// dunsiple's driver: command line, input, PPD and options, the two row
// buffers, and the page loop that dithers, packs and writes every row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include <cups/cups.h>
#include <cups/raster.h>

namespace dunsiple {

// Packed rows leave in batches of whole rows of up to this many bytes, one
// write() a batch: 64 KiB is the capacity of a Linux pipe (16 pages), what
// joins a filter to the next one in the scheduler's chain, so a batch fills
// it at most once and the next program takes it in one read (an A4 page at
// 600 dpi gives 26 rows of 2480 bytes a batch). A row longer than a batch
// goes alone.
constexpr size_t kOutputBatchBytes = 64 * 1024;

// Everything that lives for the whole run.
struct JobState {
    clock_t startTicks;             // first times() of the run, base of the real-time line
    int inputFd;                    // 0, or the file named by the sixth argument
    int optionCount;                // the job's options from the fifth argument,
    cups_option_t *options;         //   kept until the process ends
    cups_page_header2_t ppdHeader;  // from the PPD and options; its width and resolution size the rows
    uint8_t *inputRow;              // one raster row as read
    size_t rowCapacity;             // bytes allocated for inputRow
    uint8_t *outputRows;            // packed rows not yet written, then the next row's dither work
    size_t outputCapacity;          // bytes allocated for outputRows: kOutputBatchBytes + rowCapacity
    size_t outputPending;           // bytes of packed rows at its start: a batch, or one longer row
    cups_raster_t *raster;          // the input raster stream
    cups_page_header2_t pageHeader; // refilled by every page header read
    int32_t pageNumber;             // page headers read so far
};
extern JobState job;

// Opens the input: standard input with six arguments, else the file named by
// the seventh. False after the "ERROR: Unable to open print file" line.
bool openInput(int argc, char **argv);

// Loads the PPD named by $PPD, marks its defaults and the job's options and
// fills ppdHeader; the PPD is closed again. False after the PPD error line.
bool loadPrinter(const char *optionText);

// Pixels in a row of a page `widthPoints` wide at `dpi` dots per inch,
// worked out without overflow; 0 when there are none or more than kMaxRowPixels.
size_t ppdRowPixels(uint32_t widthPoints, uint32_t dpi);

// The size of each row buffer for rows of `pixels` pixels read `lineBytes`
// at a time: the larger of 4 x pixels and lineBytes. False, leaving *bytes
// alone, when pixels passes kMaxRowPixels or lineBytes kMaxRowBytes.
bool rowBufferBytes(size_t pixels, size_t lineBytes, size_t *bytes);

// Sizes the row buffers for the PPD's page width; false after an ERROR line.
bool sizeRowsFromPpd();

// Makes the input row hold at least `bytes` (a size from rowBufferBytes) and
// the output rows kOutputBatchBytes more, room for a batch and one row's
// dither work; false after an ERROR line. Only while no rows are pending.
bool reserveRows(size_t bytes);

// Opens the raster stream and converts every page to standard output, up to
// the end of the stream or a page wider than the row limits. False only when
// the row buffers can't be grown (after an ERROR line).
bool convertPages();

// Closes the raster stream and, when it is a named file, the input.
void closeInput();

} // namespace dunsiple
