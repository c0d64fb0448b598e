// A raster page's rows gathered into batches of whole rows, each batch handed to libcups in one
// cupsRasterWritePixels (so one write) instead of one call a row: brovane's and calmeric's output.
#pragma once

#include <cstddef>
#include <cstdint>

#include <cups/raster.h>

namespace common {

// Each write() is a system call, dear on the virtual machines that serve
// print queues: brovane's 209 MB photo in 3,200 writes of 64 KiB cost 10 to
// 12 ms more CPU than in 1,600 of 128 KiB, to /dev/null or into a pipe;
// 256 KiB and 512 KiB saved no more, and each 128 KiB more is as much more
// resident memory. 128 KiB is an eighth of the output pipe as
// enlargeOutputPipe leaves it, so the driver reads one batch while the next
// is made, and a batch and the input chunk stay together in the L2 cache.
// Rows are up to 2 MiB (a line of the most pixels at the widest pixel); one
// longer than half a batch goes alone, straight from where it was made.
constexpr size_t kRowBatchBytes = 128 * 1024;

// The pipe to the next program of the chain holds this much where the
// system allows it (Linux lets any user grow a pipe to 1 MiB, its default
// pipe-max-size). The scheduler's pipes hold 64 KiB, and a driver reads one
// row a read(): with 64 KiB the filter, faster than its reader, finds the
// pipe full every few rows and sleeps and is woken thousands of times a page
// (3,000 on a 600 dpi photo page); with 1 MiB it runs some 70 such rows
// ahead, and writer and reader each run without waiting for the other.
constexpr int kOutputPipeBytes = 1 << 20;

// Grows standard output to kOutputPipeBytes when it is a pipe. Where the
// system refuses (a user over its pipe allowance, another system), or the
// output is a file or a terminal, it stays as it is: a larger pipe only saves
// time, so nothing is reported.
void enlargeOutputPipe();

// A line built in the batch itself may reach this far before its row (the
// left margin a printer's imageable area cuts off: 8 KiB is 4.5 inches of
// 600 dpi RGB) and this far past the batch's end (what it cuts off on the right).
constexpr size_t kLineHeadBytes = 8192;
constexpr size_t kLineTailBytes = 8192;

// Starts a page's rows of `rowBytes` (its cupsBytesPerLine) to `out`, after
// its header is written: the page before was flushed at its end. From the
// first call on, rows still held are written however the process ends
// (setFlushBeforeExit).
void startRowBatch(cups_raster_t *out, uint32_t rowBytes);

// Where to build a line of `lineBytes` whose bytes from `offset` on become
// the page's next row, so that the row is made in the batch and never
// copied: the returned line's byte `offset` is that row's first. Null when
// rows go alone or the line does not fit in the batch and the room around
// it (kLineHeadBytes before, kLineTailBytes after); build it elsewhere then.
// The line may cover the end of the rows held before it: those bytes are
// set aside now and put back by the next batchRow, placeLine or
// flushRowBatch, so they are written as they were whatever becomes of the
// line. The bytes past the row are the next rows' to overwrite.
uint8_t *placeLine(size_t lineBytes, size_t offset);

// One row of `bytes`: into the batch, which is written when full, or alone
// (after the rows held) when a batch holds one or the length is not the page's.
// A row at the place placeLine gave it is taken where it is, with no copy.
void batchRow(const uint8_t *row, uint32_t bytes);

// Writes the rows held; at the end of every page, before anything else goes
// to the output.
void flushRowBatch();

} // namespace common
