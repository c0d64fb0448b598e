// Row output: each decoded line packed to 1-bit black, expanded from grey to
// RGB or widened by the enlargement, then written once for every row it stands for.

#include "brovane/brovane.h"

#include "common/filter.h"

#include <cstdlib>
#include <cstring>

namespace brovane {

// Rows shorter than this are gathered and handed to libcups together, so a
// receipt page of 72-byte rows costs one write per 64 KiB, not per row.
constexpr uint32_t kStagingBytes = 65536;

// Converted rows, kept for the whole job and grown when a page needs more.
struct RowEmitter {
    uint8_t *rgbRow;      // grey line expanded to RGB
    size_t rgbCapacity;   // bytes allocated for rgbRow
    uint8_t *wideRow;     // colour line widened by the enlargement
    size_t wideCapacity;  // bytes allocated for wideRow
    const uint8_t *ready; // the converted form of the current line
    uint32_t readyBytes;  // its length, written for every replica
    uint32_t rowLimit;    // rows of the page's output; rows past it are dropped
    uint8_t staged[kStagingBytes]; // whole rows waiting to be written together
    uint32_t stagedBytes;          // bytes of staged in use
};
static RowEmitter emitter; // zeroed at start

uint32_t packMonochrome(uint8_t *line, uint32_t pixels)
{
    // Byte k is stored after pixels 8k..8k+7 are read, and k <= 8k, so the
    // packing never overwrites a pixel it still needs. A pixel below 128 is
    // ink (1). Bits past the last pixel of a partial byte stay 0 (no ink).
    uint32_t whole = pixels / 8;
    for (uint32_t k = 0; k < whole; k++) {
        const uint8_t *p = line + 8 * static_cast<size_t>(k);
        uint32_t bits = 0;
        for (int b = 0; b < 8; b++)
            bits = (bits << 1) | (p[b] < 128 ? 1u : 0u);
        line[k] = static_cast<uint8_t>(bits);
    }
    uint32_t rest = pixels % 8;
    if (rest != 0) {
        const uint8_t *p = line + 8 * static_cast<size_t>(whole);
        uint32_t bits = 0;
        for (uint32_t b = 0; b < rest; b++)
            bits = (bits << 1) | (p[b] < 128 ? 1u : 0u);
        line[whole] = static_cast<uint8_t>(bits << (8 - rest));
        whole++;
    }
    return whole;
}

void greyToRgb(const uint8_t *grey, uint32_t pixels, uint8_t *rgb)
{
    for (uint32_t i = 0; i < pixels; i++, rgb += 3) {
        rgb[0] = grey[i];
        rgb[1] = grey[i];
        rgb[2] = grey[i];
    }
}

void widenPixels(const uint8_t *line, uint32_t pixels, uint32_t pixelSize, uint32_t scale, uint8_t *wide)
{
    // The common case, RGB: three byte stores a copy instead of a memcpy call.
    if (pixelSize == 3) {
        for (uint32_t p = 0; p < pixels; p++, line += 3) {
            uint8_t r = line[0], g = line[1], b = line[2];
            for (uint32_t s = 0; s < scale; s++, wide += 3) {
                wide[0] = r;
                wide[1] = g;
                wide[2] = b;
            }
        }
        return;
    }
    for (uint32_t p = 0; p < pixels; p++, line += pixelSize)
        for (uint32_t s = 0; s < scale; s++, wide += pixelSize)
            std::memcpy(wide, line, pixelSize);
}

// Grows *buffer to at least `bytes`; false when the memory can't be had.
static bool reserve(uint8_t **buffer, size_t *capacity, size_t bytes)
{
    if (bytes <= *capacity)
        return true;
    uint8_t *grown = static_cast<uint8_t *>(std::realloc(*buffer, bytes));
    if (grown == nullptr)
        return false;
    *buffer = grown;
    *capacity = bytes;
    return true;
}

bool prepareRows(uint32_t rows)
{
    emitter.rowLimit = rows;
    if (rasterInput)
        return true; // raster rows go out as they come in

    // Page setup admits 8-bit and 24-bit pages of at most 2^18 output pixels
    // a line, so each size below is at most 768 KiB and cannot overflow.
    size_t pixels = page.urfWidth;
    size_t needed = 0;
    uint8_t **buffer = nullptr;
    size_t *capacity = nullptr;
    if (page.urfColorSpace == 0 && job.monochrome == 0) {
        needed = pixels * 3;
        buffer = &emitter.rgbRow;
        capacity = &emitter.rgbCapacity;
    } else if (page.scale > 1 && !psOutput) {
        needed = pixels * static_cast<size_t>(page.scale) * (page.urfBitsPerPixel / 8);
        buffer = &emitter.wideRow;
        capacity = &emitter.wideCapacity;
    }
    if (buffer != nullptr && !reserve(buffer, capacity, needed)) {
        common::message("ERROR: (brovane) Unable to allocate %lu bytes for a row\n",
                        static_cast<unsigned long>(needed));
        return false;
    }
    return true;
}

// Brings the decoded line into the form the page's header declares and
// notes where it is: packed to 1 bit (in place), grey expanded to RGB, or
// widened. The PostScript image is drawn at the URF page's own size (the
// interpreter scales it to the page), so it is never widened, and its
// 1-bit samples are white where set, as PostScript's grey is.
static void convertRow(uint8_t *line, int32_t bitsPerPixel)
{
    if (rasterInput) {
        emitter.ready = line;
        emitter.readyBytes = static_cast<uint32_t>(page.rawRowBytes);
        return;
    }
    const cups_page_header2_t &header = job.pageHeader;
    uint32_t pixelSize = static_cast<uint32_t>(bitsPerPixel) / 8;
    if (header.cupsColorSpace == CUPS_CSPACE_K && job.monochrome) {
        emitter.readyBytes = packMonochrome(line, page.urfWidth);
        emitter.ready = line;
        if (psOutput)
            for (uint32_t k = 0; k < emitter.readyBytes; k++)
                line[k] = static_cast<uint8_t>(~line[k]);
    } else if (page.urfColorSpace == 0 && !job.monochrome) {
        greyToRgb(line, page.urfWidth, emitter.rgbRow);
        emitter.ready = emitter.rgbRow;
        emitter.readyBytes = page.urfWidth * 3;
    } else if (page.scale == 1 || psOutput) {
        emitter.ready = line;
        emitter.readyBytes = page.urfWidth * 3;
    } else {
        uint32_t scale = static_cast<uint32_t>(page.scale);
        widenPixels(line, page.urfWidth, pixelSize, scale, emitter.wideRow);
        emitter.ready = emitter.wideRow;
        emitter.readyBytes = page.urfWidth * scale * pixelSize;
    }
}

// Writes one row: long rows at once, short ones through the staging area
// (whole rows only, so the stream's bytes are those of one write per row).
static void writeRowBytes(const uint8_t *row, uint32_t bytes)
{
    if (bytes > kStagingBytes / 4) {
        flushRows();
        cupsRasterWritePixels(job.rasterOut, const_cast<uint8_t *>(row), bytes);
        return;
    }
    if (emitter.stagedBytes + bytes > kStagingBytes)
        flushRows();
    std::memcpy(emitter.staged + emitter.stagedBytes, row, bytes);
    emitter.stagedBytes += bytes;
}

void emitRow(uint32_t rowIndex, uint8_t *line, uint32_t replica, int32_t bitsPerPixel)
{
    if (rowIndex >= emitter.rowLimit)
        return;

    // Replica 0 converts the line; the replicas after it are the same row
    // and are written from the same converted bytes (or the same text).
    if (replica == 0)
        convertRow(line, bitsPerPixel);
    if (psOutput) {
        if (replica == 0)
            writeRowSamples(emitter.ready, emitter.readyBytes);
        else
            writeRowCopy();
        return;
    }
    writeRowBytes(emitter.ready, emitter.readyBytes);
}

void flushRows()
{
    if (emitter.stagedBytes == 0)
        return;
    cupsRasterWritePixels(job.rasterOut, emitter.staged, emitter.stagedBytes);
    emitter.stagedBytes = 0;
}

} // namespace brovane
