// A raster page's rows gathered into batches of whole rows, each batch handed to libcups in one
// cupsRasterWritePixels (so one write) instead of one call a row: brovane's and calmeric's output.
#pragma once

#include <cstddef>
#include <cstdint>

#include <cups/raster.h>

namespace common {

// 64 KiB is the capacity of a Linux pipe (16 pages), what joins a filter to
// the next one in the scheduler's chain: a batch fills it at most once, so
// each write is taken whole by one read of the next program, and the batch
// stays in the L2 cache while rows are copied in. Rows are up to 2 MiB (a
// line of the most pixels at the widest pixel); one longer than half a batch
// goes alone, straight from where it was made.
constexpr size_t kRowBatchBytes = 64 * 1024;

// Starts a page's rows of `rowBytes` (its cupsBytesPerLine) to `out`, after
// its header is written: the page before was flushed at its end. From the
// first call on, rows still held are written however the process ends
// (setFlushBeforeExit).
void startRowBatch(cups_raster_t *out, uint32_t rowBytes);

// One row of `bytes`: into the batch, which is written when full, or alone
// (after the rows held) when a batch holds one or the length is not the page's.
void batchRow(const uint8_t *row, uint32_t bytes);

// Writes the rows held; at the end of every page, before anything else goes
// to the output.
void flushRowBatch();

} // namespace common
