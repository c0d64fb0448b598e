// CUPS raster input (rasterInput build): page headers and rows read with
// libcups instead of URF, each row handed on unchanged.

#include "brovane/brovane.h"

#include "common/filter.h"
#include "urf/urf.h"

#include <cstdlib>
#include <cstring>

namespace brovane {

// The row buffer of raster input, grown for longer rows.
struct RasterInputState {
    uint8_t *row;    // one input row
    size_t capacity; // bytes allocated for row
};
static RasterInputState input; // zeroed at start

void openRasterInput()
{
    // Every page takes raw lines: no URF page header is ever read over this.
    std::memset(urf::headerBytes, 0, sizeof urf::headerBytes);
    urf::headerBytes[3] = urf::kRawQuality;
    job.rasterIn = cupsRasterOpen(job.inputFd, CUPS_RASTER_READ);
    if (job.rasterIn == nullptr)
        common::die("Unable to open input raster file");
}

// A page size in points from the header's floating-point one: the fraction
// dropped, values outside 0 .. 2^31 (or not numbers) read as 0.
static unsigned pointsFrom(float size)
{
    if (!(size >= 0.0f && size < 2147483648.0f))
        return 0;
    return static_cast<unsigned>(size);
}

bool readRasterPage(int pageNumber)
{
    common::message("DEBUG: (brovane) Reading page header, page %d\n", pageNumber);
    if (!cupsRasterReadHeader2(job.rasterIn, &job.inputHeader)) {
        common::message("DEBUG: (brovane) End of file reached @ page %d\n", pageNumber);
        return false;
    }
    const cups_page_header2_t &in = job.inputHeader;
    cups_page_header2_t &out = job.pageHeader;

    // Rows of at most 2 MiB and pages of at most 2^24 rows, as for URF: a
    // page beyond them is not read, and nothing after it can be.
    if (in.cupsBytesPerLine == 0 || in.cupsBytesPerLine > urf::kMaxLinePixels * urf::kMaxPixelBytes ||
        in.cupsHeight > urf::kMaxPageRows) {
        common::message("ERROR: (brovane) Page %d (%u bytes a line, %u lines) can't be converted: lines must be 1 "
                        "byte to 2 MiB and pages at most 16777216 lines; the rest of the job is not read\n",
                        pageNumber, in.cupsBytesPerLine, in.cupsHeight);
        return false;
    }
    out.cupsBitsPerColor = in.cupsBitsPerColor;
    out.cupsBytesPerLine = in.cupsBytesPerLine;
    out.cupsHeight = in.cupsHeight;
    out.cupsWidth = in.cupsWidth;
    out.cupsBitsPerPixel = in.cupsBitsPerPixel;
    common::setFieldBits(out.cupsColorSpace, common::fieldBits(in.cupsColorSpace));
    out.cupsNumColors = in.cupsNumColors;
    page.rawRowBytes = static_cast<int32_t>(in.cupsBytesPerLine);
    out.PageSize[0] = pointsFrom(out.cupsPageSize[0]);
    out.PageSize[1] = pointsFrom(out.cupsPageSize[1]);

    // Raster out: the page gets a header of its own (with the input's
    // colour order, so it describes the rows), or libcups could not read
    // the rows back as a page.
    if (!psOutput) {
        common::setFieldBits(out.cupsColorOrder, common::fieldBits(in.cupsColorOrder));
        cupsRasterWriteHeader2(job.rasterOut, &out);
    }
    return true;
}

int32_t decodeRasterRows(int32_t width, int32_t height)
{
    (void)width;
    size_t rowBytes = static_cast<size_t>(page.rawRowBytes);
    if (!common::growBuffer(input.row, input.capacity, rowBytes)) {
        common::message("ERROR: (brovane) Unable to allocate %lu bytes for a row\n",
                        static_cast<unsigned long>(rowBytes));
        return 1;
    }

    // Invariant: input.row holds rowBytes (= cupsBytesPerLine <= 2 MiB),
    // exactly what each read asks for. The stop flag is polled every row.
    for (int32_t rowIndex = 0; rowIndex < height; rowIndex++) {
        common::exitIfStopped();
        if (cupsRasterReadPixels(job.rasterIn, input.row, static_cast<unsigned>(rowBytes)) == 0) {
            common::message("ERROR: (brovane) EOF reading raster line %d\n", rowIndex);
            return 1;
        }
        emitRow(static_cast<uint32_t>(rowIndex), input.row, 0, static_cast<int32_t>(job.pageHeader.cupsBitsPerPixel));
    }
    return 0;
}

} // namespace brovane
