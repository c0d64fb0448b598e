// A page's body, from the input to the row output: URF lines through the
// shared decoder, each line handed on once for every output row it stands for.

#include "brovane/brovane.h"

#include "common/filter.h"
#include "common/rowbatch.h"
#include "urf/urf.h"

namespace brovane {

// Bits per pixel of the page being decoded, for emitRow.
static int32_t currentBitsPerPixel;

// The decoder's sink: `rows` output rows of one line, replicas 0, 1, ...
// One line can stand for 256 x scale rows of up to 768 KiB (minutes of
// writing), so the stop flag is polled before every row, not only at reads.
static void emitLine(void *, uint32_t rowIndex, uint8_t *line, uint32_t rows)
{
    for (uint32_t replica = 0; replica < rows; replica++) {
        common::exitIfStopped();
        emitRow(rowIndex + replica, line, replica, currentBitsPerPixel);
    }
}

static uint8_t *placeLine(void *, uint32_t rowIndex, size_t bytes)
{
    return brovane::placeLine(rowIndex, bytes);
}

int32_t decodePage(int fd, int32_t width, int32_t height, int32_t bitsPerPixel)
{
    // The PostScript image holds the page at its own size: one row per URF
    // line and repeat, not enlarged. Raster output holds cupsHeight rows.
    uint32_t rows = psOutput ? static_cast<uint32_t>(height) : job.pageHeader.cupsHeight;
    if (!prepareRows(rows))
        return 1;
    currentBitsPerPixel = bitsPerPixel;
    if (psOutput)
        writeImageHeader(width, height);

    int32_t result;
    if (rasterInput) {
        result = decodeRasterRows(width, height);
    } else {
        urf::PageLayout layout;
        layout.width = width;
        layout.height = height;
        layout.bitsPerPixel = bitsPerPixel;
        layout.scale = psOutput ? 1 : page.rowScale;
        layout.rawLines = urf::headerBytes[3] == urf::kRawQuality;
        layout.rawRowBytes = static_cast<uint32_t>(page.rawRowBytes);
        result = urf::decodePage(fd, layout, urf::LineSink{emitLine, nullptr, placeLine});
    }
    if (psOutput && result == 0)
        writeImageEnd();
    if (!psOutput) {
        if (result == 0)
            finishRows();
        common::flushRowBatch();
    }
    return result;
}

} // namespace brovane
