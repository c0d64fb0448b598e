// calmeric's page body: URF lines through the shared decoder, each completed
// line written unchanged to the raster stream once for every row it stands for, in batches.

#include "calmeric/calmeric.h"

#include "common/filter.h"
#include "common/rowbatch.h"

#include <cstdlib>
#include <cstring>

namespace calmeric {

constexpr uint8_t kWhite = 0xFF; // white in grey and RGB; the byte the fill code stores

// The rows of the page being written, and the white row that completes a
// page cut short.
struct WriterState {
    uint32_t rowLimit;    // cupsHeight: rows at and past it are dropped
    uint32_t rowBytes;    // cupsBytesPerLine: bytes written for every row
    uint32_t rowsWritten; // rows of this page handed to the row batch so far
    uint8_t *whiteRow;    // rowBytes of white, kept and grown for later pages
    size_t whiteCapacity; // bytes allocated for whiteRow
};
static WriterState writer; // zeroed at start

urf::PageLayout pageLayout(int32_t width, int32_t height, int32_t bitsPerPixel)
{
    urf::PageLayout layout;
    layout.width = width;
    layout.height = height;
    layout.bitsPerPixel = bitsPerPixel;
    layout.scale = 1;        // rows go out as decoded: no enlargement
    layout.rawLines = false; // every page is encoded, whatever its quality
    layout.rawRowBytes = 0;
    return layout;
}

const char *pageRefusal(const urf::PageLayout &layout, const cups_page_header2_t &header)
{
    if (const char *reason = urf::checkLayout(layout))
        return reason;
    // The writer sends cupsBytesPerLine bytes from the decoded line, so the
    // two must agree. They do for every depth the check lets through (whole
    // bytes a pixel, bitsPerPixel x width <= 2^24, exact in single precision);
    // this keeps the row write inside the line should the header ever differ.
    size_t lineBytes = static_cast<size_t>(layout.width) * (static_cast<uint32_t>(layout.bitsPerPixel) / 8);
    if (header.cupsBytesPerLine != lineBytes)
        return "bytes per line differ from the decoded line";
    return nullptr;
}

// The decoder's sink: `rows` rows of one line, the first numbered rowIndex.
// Invariants: the page passed pageRefusal, so `line` holds exactly rowBytes
// bytes; rows <= 256; rowIndex == rowsWritten while rowIndex < rowLimit.
static void writeLine(void *, uint32_t rowIndex, uint8_t *line, uint32_t rows)
{
    // Rows past cupsHeight (a last line repeated beyond the page) are dropped.
    if (rowIndex >= writer.rowLimit)
        return;
    uint32_t room = writer.rowLimit - rowIndex;
    if (rows > room)
        rows = room;
    // Up to 256 rows of up to 2 MiB: the stop flag is polled before each.
    for (uint32_t k = 0; k < rows; k++) {
        common::exitIfStopped();
        common::batchRow(line, writer.rowBytes);
        writer.rowsWritten++;
    }
}

// Where the decoder builds the line that starts at rowIndex: where its first
// row is written from (the line is the row), unless it starts past the page.
static uint8_t *placeLine(void *, uint32_t rowIndex, size_t bytes)
{
    return rowIndex < writer.rowLimit ? common::placeLine(bytes, 0) : nullptr;
}

int32_t decodePage(int fd, int32_t width, int32_t height, int32_t bitsPerPixel)
{
    urf::PageLayout layout = pageLayout(width, height, bitsPerPixel);
    if (const char *reason = pageRefusal(layout, job.pageHeader)) {
        common::message("ERROR: (calmeric) Page not decoded: %s\n", reason);
        return 1;
    }
    writer.rowLimit = job.pageHeader.cupsHeight;
    writer.rowBytes = job.pageHeader.cupsBytesPerLine;
    writer.rowsWritten = 0;
    common::startRowBatch(job.rasterOut, writer.rowBytes);
    int32_t result = urf::decodePage(fd, layout, urf::LineSink{writeLine, nullptr, placeLine});
    // The page's last rows go out before anything else is written.
    common::flushRowBatch();
    return result;
}

void resetWriter()
{
    writer.rowLimit = 0;
    writer.rowBytes = 0;
    writer.rowsWritten = 0;
}

uint32_t rowsOwed()
{
    return writer.rowLimit - writer.rowsWritten;
}

bool completeShortPage()
{
    uint32_t owed = rowsOwed();
    if (owed == 0)
        return true;
    // rowBytes belongs to a page that passed pageRefusal: width x pixel size,
    // at most 2^18 x 8 bytes (2 MiB), so the size needs no overflow test.
    size_t bytes = writer.rowBytes;
    // Only white is ever stored here: every byte the buffer gains is white.
    if (!common::growBuffer(writer.whiteRow, writer.whiteCapacity, bytes, kWhite))
        return false;
    // whiteRow holds at least rowBytes bytes of white; owed <= cupsHeight <= 2^24,
    // so the stop flag is polled before every row.
    for (uint32_t k = 0; k < owed; k++) {
        common::exitIfStopped();
        common::batchRow(writer.whiteRow, writer.rowBytes);
    }
    common::flushRowBatch();
    writer.rowsWritten = writer.rowLimit;
    return true;
}

} // namespace calmeric
