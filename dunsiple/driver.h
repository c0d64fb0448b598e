// dunsiple's driver: command line, input, PPD and options, the two row
// buffers, and the page loop that dithers, packs and writes every row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include <cups/cups.h>
#include <cups/raster.h>

namespace dunsiple {

// Standard output's buffer: the packed rows leave in writes of this size,
// one pipe's worth, instead of stdio's usual 4 KiB (under two rows of
// an A4 page at 600 dpi), so that writing costs few system calls.
constexpr size_t kOutputBufferBytes = 64 * 1024;

// Everything that lives for the whole run.
struct JobState {
    clock_t startTicks;             // first times() of the run, base of the real-time line
    int inputFd;                    // 0, or the file named by the sixth argument
    int optionCount;                // the job's options from the fifth argument,
    cups_option_t *options;         //   kept until the process ends
    cups_page_header2_t ppdHeader;  // from the PPD and options; its width and resolution size the rows
    uint8_t *inputRow;              // one raster row as read
    uint8_t *workRow;               // the dithered row, then the packed row in its first bytes
    size_t rowCapacity;             // bytes allocated for each of inputRow and workRow
    cups_raster_t *raster;          // the input raster stream
    cups_page_header2_t pageHeader; // refilled by every page header read
    int32_t pageNumber;             // page headers read so far
    char outputBuffer[kOutputBufferBytes]; // standard output's, from bufferOutput on
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

// Sizes both row buffers for the PPD's page width; false after an ERROR line.
bool sizeRowsFromPpd();

// Makes both row buffers hold at least `bytes`; false after an ERROR line.
bool reserveRows(size_t bytes);

// Gives standard output the job's buffer; before anything is written to it.
void bufferOutput();

// Opens the raster stream and converts every page to standard output, up to
// the end of the stream or a page wider than the row limits. False only when
// the row buffers can't be grown (after an ERROR line).
bool convertPages();

// Closes the raster stream and, when it is a named file, the input.
void closeInput();

} // namespace dunsiple
