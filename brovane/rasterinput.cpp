// CUPS and PWG raster input (rasterInput build): page headers and rows read
// with libcups, each page set up and converted as the same page in URF would be.

#include "brovane/brovane.h"

#include "common/filter.h"
#include "common/rowbatch.h"
#include "urf/urf.h"

#include <cstdlib>
#include <cstring>

namespace brovane {

// How an input row becomes the URF line that the row output converts.
enum class RowForm : uint8_t {
    asRead,     // 8-bit grey or 24-bit colour: the row is the line
    inverted,   // 8-bit black (0 is white): each byte inverted
    inkBits,    // 1-bit black (a set bit is ink): widened to 8-bit grey
    whiteBits,  // 1-bit grey (a set bit is white): widened to 8-bit grey
    outputBits, // 1-bit black to a 1-bit black page: the row is the output row
};

// Eight grey bytes for each byte of a 1-bit row: 0xFF for a set bit, 0x00
// for a clear one, the top bit first (bytes in memory order).
struct BitLanes {
    uint8_t lanes[256][8];
};
static constexpr BitLanes makeBitLanes()
{
    BitLanes table{};
    for (uint32_t value = 0; value < 256; value++)
        for (uint32_t bit = 0; bit < 8; bit++)
            table.lanes[value][bit] = (value >> (7 - bit)) & 1 ? 0xFF : 0x00;
    return table;
}
constexpr BitLanes kBitLanes = makeBitLanes();

// The input rows of the page being read, kept for the whole job and grown
// for longer rows.
struct RasterInputState {
    uint8_t *row;        // one input row (cupsBytesPerLine bytes)
    size_t capacity;     // bytes allocated for row
    uint8_t *line;       // the row widened to 8-bit grey (1-bit input only)
    size_t lineCapacity; // bytes allocated for line
    RowForm form;        // how the page's rows become lines
};
static RasterInputState input; // zeroed at start

void openRasterInput()
{
    // The PostScript build hands raw lines on: no URF page header is ever
    // read over this. Raster output writes each page's own header here.
    std::memset(urf::headerBytes, 0, sizeof urf::headerBytes);
    urf::headerBytes[3] = urf::kRawQuality;
    // A further copy reads the job again from its start (copies.cpp).
    if (job.rasterIn != nullptr)
        cupsRasterClose(job.rasterIn);
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

// The URF depth (8 grey or 24 colour) and row form of a raster page; null
// when the page is one of these, else why it can't be converted.
static const char *urfFormOf(const cups_page_header2_t &in, uint8_t &bitsPerPixel, RowForm &form)
{
    uint32_t space = common::fieldBits(in.cupsColorSpace);
    bool grey = space == CUPS_CSPACE_W || space == CUPS_CSPACE_SW;
    bool black = space == CUPS_CSPACE_K;
    bool rgb = space == CUPS_CSPACE_RGB || space == CUPS_CSPACE_SRGB;
    if (in.cupsBitsPerColor == 1 && in.cupsBitsPerPixel == 1 && (grey || black)) {
        bitsPerPixel = 8;
        form = black ? RowForm::inkBits : RowForm::whiteBits;
    } else if (in.cupsBitsPerColor == 8 && in.cupsBitsPerPixel == 8 && (grey || black)) {
        bitsPerPixel = 8;
        form = black ? RowForm::inverted : RowForm::asRead;
    } else if (in.cupsBitsPerColor == 8 && in.cupsBitsPerPixel == 24 && rgb &&
               common::fieldBits(in.cupsColorOrder) == CUPS_ORDER_CHUNKED) {
        bitsPerPixel = 24;
        form = RowForm::asRead;
    } else {
        return "only 1-bit and 8-bit grey or black and 8-bit chunked RGB or sRGB pages are supported";
    }
    if (in.HWResolution[0] != in.HWResolution[1])
        return "the horizontal and vertical resolutions must be equal";
    // Each row read is exactly the width's pixels (in 64 bits: the width is
    // not yet checked), so no row is read past its line or short of it.
    if ((static_cast<uint64_t>(in.cupsWidth) * in.cupsBitsPerPixel + 7) / 8 != in.cupsBytesPerLine)
        return "the bytes per line must be what the width and depth give";
    return nullptr;
}

// Raster output: the page as a URF page of the same size, depth, colour,
// sides and resolution, set up by the URF page setup (which writes its
// header). A 1-bit grey page is read as an 8-bit one.
static bool setupAsUrf(int pageNumber)
{
    const cups_page_header2_t &in = job.inputHeader;
    uint8_t bitsPerPixel = 0;
    const char *reason = urfFormOf(in, bitsPerPixel, input.form);
    uint8_t *bytes = urf::headerBytes;
    std::memset(bytes, 0, urf::kPageHeaderSize);
    bytes[0] = bitsPerPixel;
    bytes[1] = bitsPerPixel == 24 ? 1 : 0;
    // Two-sided pages name their edge; a page that says one-sided names no
    // sides and keeps what the job asked (producers leave the field 0). The
    // fields hold whatever 32 bits the stream gave: read as numbers.
    bytes[2] = common::fieldBits(in.Duplex) == 0 ? 0 : common::fieldBits(in.Tumble) == 0 ? 3 : 2;
    const uint32_t fields[3] = {in.cupsWidth, in.cupsHeight, in.HWResolution[0]};
    for (int f = 0; f < 3; f++)
        for (int b = 0; b < 4; b++)
            bytes[12 + 4 * f + b] = static_cast<uint8_t>(fields[f] >> (24 - 8 * b));
    if (reason == nullptr)
        reason = setupPage();
    if (reason != nullptr) {
        common::message("ERROR: (brovane) Page %d (%u bits a pixel, colour space %u, %ux%u pixels) can't be "
                        "converted: %s; the rest of the job is not read\n",
                        pageNumber, in.cupsBitsPerPixel, common::fieldBits(in.cupsColorSpace), in.cupsWidth,
                        in.cupsHeight, reason);
        return false;
    }
    // A black page for a 1-bit printer needs no conversion at all where it is not enlarged: its
    // rows are the output's rows.
    if (input.form == RowForm::inkBits && common::fieldBits(job.pageHeader.cupsColorSpace) == CUPS_CSPACE_K &&
        job.pageHeader.cupsBitsPerPixel == 1 && page.scale == 1 && page.rowScale == 1)
        input.form = RowForm::outputBits;
    return true;
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
    if (!psOutput) {
        common::message("DEBUG: (brovane) Raster page: %ux%u pixels, %u bits a pixel, colour space %u, %ux%u dpi, "
                        "duplex %u, tumble %u\n",
                        in.cupsWidth, in.cupsHeight, in.cupsBitsPerPixel, common::fieldBits(in.cupsColorSpace),
                        in.HWResolution[0], in.HWResolution[1], common::fieldBits(in.Duplex),
                        common::fieldBits(in.Tumble));
        if (!setupAsUrf(pageNumber))
            return false;
        // The page setup's raw line is 3 bytes a pixel; a raster row is what
        // its header says (checked against the width by urfFormOf).
        page.rawRowBytes = static_cast<int32_t>(in.cupsBytesPerLine);
        return true;
    }
    page.rawRowBytes = static_cast<int32_t>(in.cupsBytesPerLine);

    // PostScript output draws the rows as they are.
    out.cupsBitsPerColor = in.cupsBitsPerColor;
    out.cupsBytesPerLine = in.cupsBytesPerLine;
    out.cupsHeight = in.cupsHeight;
    out.cupsWidth = in.cupsWidth;
    out.cupsBitsPerPixel = in.cupsBitsPerPixel;
    common::setFieldBits(out.cupsColorSpace, common::fieldBits(in.cupsColorSpace));
    out.cupsNumColors = in.cupsNumColors;
    out.PageSize[0] = pointsFrom(out.cupsPageSize[0]);
    out.PageSize[1] = pointsFrom(out.cupsPageSize[1]);
    return true;
}

// A 1-bit row widened to 8-bit grey: a set bit becomes `set` (0x00 or 0xFF),
// a clear one its inverse.
static void widenBits(const uint8_t *bits, uint32_t pixels, uint8_t set, uint8_t *grey)
{
    // Whole bytes eight pixels a step from the table, inverted where a set
    // bit is ink. Invariant: k < pixels / 8, so bits[k] lies within the row
    // and the 8-byte store within grey's `pixels` bytes.
    uint64_t flip = set == 0xFF ? 0 : ~uint64_t{0};
    uint32_t whole = pixels / 8;
    for (uint32_t k = 0; k < whole; k++) {
        uint64_t eight;
        std::memcpy(&eight, kBitLanes.lanes[bits[k]], sizeof eight);
        eight ^= flip;
        std::memcpy(grey + 8 * static_cast<size_t>(k), &eight, sizeof eight);
    }
    for (uint32_t p = 8 * whole; p < pixels; p++)
        grey[p] = (bits[p / 8] >> (7 - p % 8)) & 1 ? set : static_cast<uint8_t>(~set);
}

// The rows of one page, read with libcups and converted into pageHeader's
// form: each row handed on once for every output row it stands for.
int32_t decodeRasterRows(int32_t width, int32_t height)
{
    (void)width;
    // The limits of readRasterPage and the page setup: a row is at most
    // 2 MiB, and a 1-bit row widens to urfWidth bytes, at most 2^18 (the
    // width matches the row's bytes, checked by urfFormOf).
    size_t rowBytes = static_cast<size_t>(page.rawRowBytes);
    bool widen = !psOutput && (input.form == RowForm::inkBits || input.form == RowForm::whiteBits);
    size_t lineBytes = widen ? static_cast<size_t>(page.urfWidth) : 0;
    if (!common::growBuffer(input.row, input.capacity, rowBytes) ||
        (widen && !common::growBuffer(input.line, input.lineCapacity, lineBytes))) {
        common::message("ERROR: (brovane) Unable to allocate %lu bytes for a row\n",
                        static_cast<unsigned long>(rowBytes + lineBytes));
        return 1;
    }
    uint32_t scale = psOutput ? 1 : static_cast<uint32_t>(page.rowScale);
    int32_t bitsPerPixel = psOutput ? static_cast<int32_t>(job.pageHeader.cupsBitsPerPixel) : page.urfBitsPerPixel;
    // The last byte of a 1-bit row keeps only its pixels' bits: a set pad
    // bit would be ink past the page's edge.
    uint32_t rest = page.urfWidth % 8;
    uint8_t lastMask = rest == 0 ? 0xFF : static_cast<uint8_t>(0xFF << (8 - rest));

    // Invariant: input.row holds rowBytes (= cupsBytesPerLine <= 2 MiB),
    // exactly what each read asks for; input.line holds urfWidth bytes when
    // rows are widened. The stop flag is polled before every output row.
    for (int32_t rowIndex = 0; rowIndex < height; rowIndex++) {
        common::exitIfStopped();
        if (cupsRasterReadPixels(job.rasterIn, input.row, static_cast<unsigned>(rowBytes)) == 0) {
            common::message("ERROR: (brovane) EOF reading raster line %d\n", rowIndex);
            return 1;
        }
        uint8_t *line = input.row;
        if (!psOutput) {
            switch (input.form) {
            case RowForm::outputBits:
                input.row[rowBytes - 1] &= lastMask;
                emitBitsRow(static_cast<uint32_t>(rowIndex), input.row, static_cast<uint32_t>(rowBytes));
                continue;
            case RowForm::inverted:
                for (size_t k = 0; k < rowBytes; k++)
                    input.row[k] = static_cast<uint8_t>(~input.row[k]);
                break;
            case RowForm::inkBits:
            case RowForm::whiteBits:
                widenBits(input.row, page.urfWidth, input.form == RowForm::inkBits ? 0x00 : 0xFF, input.line);
                line = input.line;
                break;
            case RowForm::asRead:
                break;
            }
        }
        // Each line stands for `scale` output rows (the enlargement down), as a URF line does.
        for (uint32_t replica = 0; replica < scale; replica++) {
            if (replica > 0)
                common::exitIfStopped();
            emitRow(static_cast<uint32_t>(rowIndex) * scale + replica, line, replica, bitsPerPixel);
        }
    }
    return 0;
}

} // namespace brovane
