// Test helpers shared by the unit and end-to-end tests: URF streams built
// byte by byte, filter processes run as the scheduler runs them, raster read back.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <cups/raster.h>

namespace testsupport {

using Bytes = std::vector<uint8_t>;

// ---- URF streams -------------------------------------------------------

Bytes urfFileHeader(uint32_t pageCount);
Bytes urfPageHeader(uint8_t bitsPerPixel, uint8_t colorSpace, uint8_t duplex, uint8_t quality, uint32_t width,
                    uint32_t height, uint32_t resolution);
// Encodes a page of width x height pixels (pixelSize bytes each, rows top
// first) with repeated runs, literal runs and line repeats, the way a
// careful encoder would; independent of the filters' decoder.
Bytes encodeUrfPage(const Bytes &pixels, uint32_t width, uint32_t height, uint32_t pixelSize);
void append(Bytes &to, const Bytes &more);

// ---- Expected rows, written plainly ------------------------------------------

// 1-bit black: a pixel below 128 is ink (1), first pixel in the top bit,
// bits past the last pixel 0.
Bytes packRow(const Bytes &grey);
// Each grey sample as three equal RGB samples.
Bytes greyToRgb(const Bytes &grey);
// Each pixel repeated `scale` times side by side.
Bytes widen(const Bytes &row, uint32_t pixelSize, uint32_t scale);

// ---- Running a filter ----------------------------------------------------

struct RunOptions {
    std::vector<std::pair<std::string, std::string>> env; // added to a minimal environment
    bool stdinPipe = false;       // feed standard input through a pipe instead of a file
    bool oneBytePerRead = false;  // with stdinPipe: the filter's reads get one byte each
    int sigtermAfterBytes = -1;   // with stdinPipe: send SIGTERM once this many bytes went in
};

struct RunResult {
    int status = -1;          // exit status, or -1 when killed by a signal
    int signal = 0;           // the signal that ended it, if any
    std::string out;          // standard output
    std::string err;          // standard error
    long peakRssKb = 0;       // peak resident set of the child: the filter's, or the test's own
                              // at the fork if that was more (an upper bound); the emulator's in cross builds
    std::vector<std::string> errLines() const; // standard error split at newlines
};

// Runs `program` with argv[1..] = args and `input` on standard input.
RunResult runFilter(const std::string &program, const std::vector<std::string> &args, const Bytes &input,
                    const RunOptions &options = RunOptions());

// Writes bytes to a fresh temporary file and returns its path.
std::string writeTempFile(const Bytes &data, const char *suffix = "");
Bytes readFile(const std::string &path);
std::string tempDir();

// ---- Reading CUPS raster back ----------------------------------------------

struct RasterPage {
    cups_page_header2_t header;
    std::vector<Bytes> rows; // as many rows as could be read, cupsBytesPerLine each
};
// Reads every page of a CUPS raster (or URF) stream with libcups.
std::vector<RasterPage> readRaster(const std::string &bytes);
std::vector<RasterPage> readRasterFile(const std::string &path);
// The Duplex field as the raw 32-bit value it was written with.
uint32_t rawDuplex(const cups_page_header2_t &header);

// True when `lines` has `line` (exact) somewhere.
bool hasLine(const std::vector<std::string> &lines, const std::string &line);
// Index of the first line equal to `line`, or -1.
int lineIndex(const std::vector<std::string> &lines, const std::string &line);

// meta.ppd with *cupsManualCopies: True (a driver that leaves copies to the
// filters before it), written to a temporary file; its path.
std::string manualCopiesPpd();

// Paths set up by CMake.
std::string programPath(const char *name); // "brovane", "calmeric", "dunsiple", ...
std::string ppdPath(const char *name);     // "colour-600.ppd", ...
bool haveProgram(const char *name);        // e.g. "gs" on PATH

} // namespace testsupport
