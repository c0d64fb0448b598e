// A raster page's rows gathered into batches of whole rows: one cupsRasterWritePixels a batch,
// the same bytes in the same order as one call a row.

#include "common/rowbatch.h"

#include "common/filter.h"

#include <cstring>

namespace common {

// The page whose rows are gathered, and the rows not yet written.
struct RowBatch {
    cups_raster_t *out;             // the raster stream the page goes to
    uint32_t rowBytes;              // cupsBytesPerLine of the page: the length of each row
    uint32_t batchRows;             // rows a batch holds; below 2, rows go alone
    uint32_t pendingRows;           // rows in batch not yet written
    uint8_t batch[kRowBatchBytes];  // pendingRows rows of rowBytes, in page order
};
static RowBatch rowBatch; // zeroed at start

// Whole rows of `rowBytes` that a batch holds, at least 1: rows longer than
// half a batch go alone. A length of 0, which no page set up has (its lines
// hold a pixel at least), also goes alone rather than be divided by.
static uint32_t rowsPerBatch(size_t rowBytes)
{
    if (rowBytes == 0 || rowBytes > kRowBatchBytes / 2)
        return 1;
    return static_cast<uint32_t>(kRowBatchBytes / rowBytes);
}

void startRowBatch(cups_raster_t *out, uint32_t rowBytes)
{
    // Every row of a raster page is cupsBytesPerLine long (the header says
    // so, and libcups counts the page's rows by it).
    rowBatch.out = out;
    rowBatch.rowBytes = rowBytes;
    rowBatch.batchRows = rowsPerBatch(rowBytes);
    rowBatch.pendingRows = 0;
    setFlushBeforeExit(flushRowBatch);
}

// Invariant: pendingRows < batchRows between calls, and batchRows x rowBytes
// <= kRowBatchBytes, so the row fits where it is copied.
void batchRow(const uint8_t *row, uint32_t bytes)
{
    if (rowBatch.batchRows < 2 || bytes != rowBatch.rowBytes) {
        flushRowBatch();
        cupsRasterWritePixels(rowBatch.out, const_cast<uint8_t *>(row), bytes);
        return;
    }
    std::memcpy(rowBatch.batch + static_cast<size_t>(rowBatch.pendingRows) * bytes, row, bytes);
    rowBatch.pendingRows++;
    if (rowBatch.pendingRows == rowBatch.batchRows)
        flushRowBatch();
}

void flushRowBatch()
{
    if (rowBatch.pendingRows == 0)
        return;
    // pendingRows x rowBytes <= kRowBatchBytes: a whole number of the page's
    // rows, each counted by libcups against the page's height.
    size_t bytes = static_cast<size_t>(rowBatch.pendingRows) * rowBatch.rowBytes;
    rowBatch.pendingRows = 0;
    cupsRasterWritePixels(rowBatch.out, rowBatch.batch, static_cast<unsigned>(bytes));
}

} // namespace common
