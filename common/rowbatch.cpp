// A raster page's rows gathered into batches of whole rows: one cupsRasterWritePixels a batch,
// the same bytes in the same order as one call a row; lines built in place, where rows need no copy.

#include "common/rowbatch.h"

#include "common/filter.h"

#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace common {

// The page whose rows are gathered, and the rows not yet written.
struct RowBatch {
    cups_raster_t *out;             // the raster stream the page goes to
    uint32_t rowBytes;              // cupsBytesPerLine of the page: the length of each row
    uint32_t batchRows;             // rows a batch holds; below 2, rows go alone
    uint32_t pendingRows;           // rows in batch not yet written
    uint32_t keptBytes;             // bytes of held rows the placed line covers, in kept
    uint8_t kept[kLineHeadBytes];   // those bytes as they were, put back before any write
    // The batch, with room before it and after it for a line built in place.
    // The batch is on a page boundary: write() copies it into the pipe a page
    // at a time, each page from one page.
    alignas(4096) uint8_t storage[kLineHeadBytes + kRowBatchBytes + kLineTailBytes];
};
static RowBatch rowBatch; // zeroed at start
static_assert(kLineHeadBytes % 4096 == 0, "the batch must start on a page boundary");

// pendingRows rows of rowBytes, in page order.
static uint8_t *batchStart()
{
    return rowBatch.storage + kLineHeadBytes;
}

void enlargeOutputPipe()
{
    struct stat output;
    if (fstat(1, &output) != 0 || !S_ISFIFO(output.st_mode))
        return;
#ifdef F_SETPIPE_SZ
    (void)fcntl(1, F_SETPIPE_SZ, kOutputPipeBytes);
#endif
}

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
    rowBatch.keptBytes = 0;
    setFlushBeforeExit(flushRowBatch);
}

// Puts back the held rows' bytes that a placed line covered.
static void restoreKept()
{
    if (rowBatch.keptBytes != 0) {
        uint8_t *next = batchStart() + static_cast<size_t>(rowBatch.pendingRows) * rowBatch.rowBytes;
        std::memcpy(next - rowBatch.keptBytes, rowBatch.kept, rowBatch.keptBytes);
        rowBatch.keptBytes = 0;
    }
}

uint8_t *placeLine(size_t lineBytes, size_t offset)
{
    restoreKept();
    if (rowBatch.batchRows < 2 || offset > kLineHeadBytes || lineBytes < offset + rowBatch.rowBytes)
        return nullptr;
    // The next row's place, and the line around it: offset bytes before,
    // lineBytes - offset from it on. Both ends must lie within storage. Of
    // the bytes before the row, those of held rows (at most offset <=
    // kLineHeadBytes) are kept; the rest lie in the room before the batch.
    size_t at = kLineHeadBytes + static_cast<size_t>(rowBatch.pendingRows) * rowBatch.rowBytes;
    if (lineBytes - offset > sizeof rowBatch.storage - at)
        return nullptr;
    size_t held = at - kLineHeadBytes;
    size_t covered = offset < held ? offset : held;
    std::memcpy(rowBatch.kept, rowBatch.storage + at - covered, covered);
    rowBatch.keptBytes = static_cast<uint32_t>(covered);
    return rowBatch.storage + at - offset;
}

// Invariant: pendingRows < batchRows between calls, and batchRows x rowBytes
// <= kRowBatchBytes, so the row fits where it is copied.
void batchRow(const uint8_t *row, uint32_t bytes)
{
    // A row made where placeLine put it lies clear of the kept bytes, which
    // go back first: the held rows are whole again before anything is written.
    restoreKept();
    if (rowBatch.batchRows < 2 || bytes != rowBatch.rowBytes) {
        flushRowBatch();
        cupsRasterWritePixels(rowBatch.out, const_cast<uint8_t *>(row), bytes);
        return;
    }
    // A row already at its place (made there, or the same row again once a
    // batch has been written) is not copied onto itself.
    uint8_t *to = batchStart() + static_cast<size_t>(rowBatch.pendingRows) * bytes;
    if (to != row)
        std::memmove(to, row, bytes);
    rowBatch.pendingRows++;
    if (rowBatch.pendingRows == rowBatch.batchRows)
        flushRowBatch();
}

void flushRowBatch()
{
    restoreKept();
    if (rowBatch.pendingRows == 0)
        return;
    // pendingRows x rowBytes <= kRowBatchBytes: a whole number of the page's
    // rows, each counted by libcups against the page's height.
    size_t bytes = static_cast<size_t>(rowBatch.pendingRows) * rowBatch.rowBytes;
    rowBatch.pendingRows = 0;
    cupsRasterWritePixels(rowBatch.out, batchStart(), static_cast<unsigned>(bytes));
}

} // namespace common
