// brovane: URF jobs to CUPS raster for the printer that the PPD describes.
// Job-wide and per-page state, and the stages a page passes through.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include <cups/ppd.h>
#include <cups/raster.h>

#include "urf/urf.h"

// Build switches, fixed when the program is built (0 in the standard build).
#ifndef BROVANE_PS_OUTPUT
#define BROVANE_PS_OUTPUT 0
#endif
#ifndef BROVANE_RASTER_INPUT
#define BROVANE_RASTER_INPUT 0
#endif

namespace brovane {

constexpr int psOutput = BROVANE_PS_OUTPUT;       // write PostScript instead of raster
constexpr int rasterInput = BROVANE_RASTER_INPUT; // read CUPS raster instead of URF
// Raster input to PostScript draws the rows as read; raster input to raster
// converts each page as the same page in URF is converted.
constexpr bool rowsAsRead = psOutput != 0 && rasterInput != 0;

// Everything that lives for the whole job.
struct JobState {
    ppd_file_t *ppd;                 // the printer's PPD
    cups_page_header2_t pageHeader;  // output header, adjusted in place per page
    int32_t monochrome;              // 1: grey pages go out as 1-bit black
    bool greyOutput;                 // every page goes out as 8-bit grey (the PPD says *brovaneGrey: True)
    uint32_t greySpace;              // the PPD's grey colour space for it: CUPS_CSPACE_W or CUPS_CSPACE_SW
    uint32_t phoneResolution;        // what phones are offered (*brovaneResolution), 0 when not said
    int32_t colorDevice;             // the PPD's color_device, only logged
    uint32_t deviceResolution[2];    // HWResolution as the PPD gave it, only logged
    uint32_t headerCopies;           // NumCopies of every page: the printer makes them
    uint32_t filterCopies;           // copies brovane writes itself (manual copies), else 1
    off_t inputStart;                // where the job begins in its input, for each copy
    cups_bool_t jobDuplex;           // Duplex and Tumble as the PPD and options gave
    cups_bool_t jobTumble;           // them, for pages that name no sides
    int inputFd;                     // job input; all reads go through urf::reader
    cups_raster_t *rasterOut;        // output raster stream on descriptor 1
    cups_raster_t *rasterIn;         // input raster stream (raster-input build)
    cups_page_header2_t inputHeader; // page header read from rasterIn
    uint32_t pageCount;              // pages to convert; 9999 when unstated
    clock_t startTicks;              // first times() of the run
};
extern JobState job;

// The current page, renewed by setupPage.
struct PageState {
    uint8_t urfBitsPerPixel; // URF depth
    uint8_t urfColorSpace;   // 0 grey, else colour
    uint8_t urfDuplex;       // URF duplex code
    uint8_t urfQuality;      // 167 marks a raw page
    uint32_t urfWidth;       // pixels per URF line
    uint32_t urfHeight;      // URF lines
    uint32_t urfResolution;  // URF dots per inch
    int32_t scale;           // whole-number enlargement across (each pixel widened), 1 or more
    int32_t rowScale;        // whole-number enlargement down (rows a line stands for), 1 or more
    int32_t rawRowBytes;     // length of a raw line: 3 x urfWidth
    bool cut;                // the output is the paper's imageable area, not the whole page
    uint32_t skipColumns;    // enlarged page's columns left of the imageable area
    uint32_t skipRows;       // enlarged page's rows above it
};
extern PageState page;

// PPD, options, monochrome choice and the meta gather (run steps 3 to 9).
void loadPrinter(int argc, char **argv);
// Reads the numbers that the PPD's option code carries into the header.
void gatherMeta(const char *code, cups_page_header2_t &header);

// Opens the input stream (URF file header, or the raster stream), sets the
// page count and, in the PostScript build, writes the document header.
void startInput(const char *user, const char *title);
// The page loop, up to the page count or the end of the input; the pages
// it wrote.
uint32_t convertPages(int argc, char **argv);
// The copies after the first that a manual-copies driver needs from brovane.
void makeCopies(int argc, char **argv, uint32_t pagesWritten);

// Notes the paper the job's options (over the PPD's defaults) marked, for layOutPage.
void notePaperAsked(ppd_file_t *ppd, int optionCount, cups_option_t *options);
// The page's paper (the job's, or the PPD's size that is the page's) and the part of the page
// the printer prints: sets the header's paper fields and, where the paper has margins, its size to
// the imageable area and page.skipColumns/skipRows. Null, or why the page can't be printed.
const char *layOutPage(const urf::UrfPageHeader &urfPage, uint32_t scale, uint32_t rowScale,
                       cups_page_header2_t &header);

// Turns the URF page header in urf::headerBytes into the output page header
// and writes it. Returns null, or the reason the page can't be converted
// (then nothing is written and pageHeader is left as it was).
const char *setupPage();

// Decodes one page into output rows; 0 when complete, 1 after an ERROR line.
int32_t decodePage(int fd, int32_t width, int32_t height, int32_t bitsPerPixel);

// Sizes the row buffers for the page just set up, whose output has `rows`
// rows; false after an ERROR line.
bool prepareRows(uint32_t rows);
// Converts one output row of the decoded line and writes it (rows outside
// the imageable area are dropped).
void emitRow(uint32_t rowIndex, uint8_t *line, uint32_t replica, int32_t bitsPerPixel);
// Where the URF decoder builds the line of `bytes` that starts at output row
// `rowIndex`: in the row batch where its row is the line's own pixels (raster
// output at scale 1, neither packed nor converted), so the row needs no copy;
// null for the decoder's own buffer.
uint8_t *placeLine(uint32_t rowIndex, size_t bytes);
// Writes a row that is already 1-bit black, `bytes` long, cut to the
// imageable area like the rows above.
void emitBitsRow(uint32_t rowIndex, uint8_t *bits, uint32_t bytes);
// After a page decoded to its end: white rows where the imageable area
// reaches past the page's last row.
void finishRows();

// Row conversions in portable code, exposed for their tests and the
// reference that every vector form matches byte for byte. packMonochrome
// works in place and returns the bytes it wrote.
uint32_t packMonochrome(uint8_t *line, uint32_t pixels);
void greyToRgb(const uint8_t *grey, uint32_t pixels, uint8_t *rgb);
// RGB pixels to their grey (luma 77 R + 150 G + 29 B over 256, rounded), in place.
void rgbToGrey(uint8_t *line, uint32_t pixels);
void widenPixels(const uint8_t *line, uint32_t pixels, uint32_t pixelSize, uint32_t scale, uint8_t *wide);

// The three row conversions in one instruction set. Each writes exactly the
// bytes the portable form writes and reads only the pixels it is given.
struct RowConversions {
    const char *name; // "portable", "sse2", "avx2" or "neon"
    uint32_t (*packMonochrome)(uint8_t *line, uint32_t pixels);
    void (*greyToRgb)(const uint8_t *grey, uint32_t pixels, uint8_t *rgb);
    void (*widenPixels)(const uint8_t *line, uint32_t pixels, uint32_t pixelSize, uint32_t scale, uint8_t *wide);
};
constexpr uint32_t kMaxRowConversionSets = 4;
// The sets this build has and this processor runs, portable first and the
// one the row output uses last; returns how many it put in `sets`.
uint32_t rowConversionSets(const RowConversions *sets[kMaxRowConversionSets]);

// PostScript output (psOutput build): the document, page by page.
void writeDocumentHeader(const char *user, const char *title);
void writePageComment(int pageNumber, uint32_t pageCount);
void writeImageHeader(int32_t width, int32_t height);
// A row's samples: run-length coded, as one line of hexadecimal text.
bool writeRowSamples(const uint8_t *row, uint32_t bytes);
// The last row's text again, without a newline, for each further copy.
void writeRowCopy();
void writeImageEnd();
void writePageEnd();
void writeTrailer();
// PackBits run-length code of n bytes; returns the coded length, at most
// n + ceil(n / 128).
uint32_t packBits(const uint8_t *source, int32_t n, uint8_t *destination);
// `text` as the inside of a PostScript string: backslash, parentheses and
// control characters escaped, so it stays on its line and in its parentheses.
std::string escapeText(const char *text);

// CUPS raster input (rasterInput build).
void openRasterInput();
// Reads the next input page header and sets the page up (raster output: as
// the same page in URF, its header written); false at the end of the job.
bool readRasterPage(int pageNumber);
int32_t decodeRasterRows(int32_t width, int32_t height);

} // namespace brovane
