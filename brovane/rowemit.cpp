// Row output: each decoded line packed to 1-bit black, expanded from grey to RGB or widened
// (portable code, or the processor's vector form), then written once for every row it stands for, in batches.

#include "brovane/brovane.h"
#include "brovane/rowconvert.h"

#include "common/cpu.h"
#include "common/filter.h"
#include "common/rowbatch.h"

#include <cstdlib>
#include <cstring>

namespace brovane {

// The byte-lane mask and the gather constant of the 1-bit packing, which reads
// eight grey pixels as one 64-bit word.
constexpr uint64_t kHighBits = 0x8080808080808080ull; // each lane's top bit
// Multiplying eight 0/1 lanes by this gathers them into the top byte, the
// lane stored first at bit 7 and the lane stored last at bit 0: each lane
// meets a different power of two, so no products overlap and no carry
// reaches the top byte. Which lane is stored first depends on byte order.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr uint64_t kGatherLanes = 0x8040201008040201ull; // lane i at bit 8i moves to bit 63 - i
constexpr bool kLittleEndian = true;
#elif defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
constexpr uint64_t kGatherLanes = 0x0102040810204080ull; // lane i at bit 56 - 8i moves to bit 63 - i
constexpr bool kLittleEndian = false;
#else
#error "byte order unknown: the row conversions need __BYTE_ORDER__"
#endif

// The portable conversions, the reference for the vector sets and the set
// for processors that have none of their units.
constexpr RowConversions kPortableRows = {"portable", packMonochrome, greyToRgb, widenPixels};

// Converted rows, kept for the whole job and grown when a page needs more.
struct RowEmitter {
    const RowConversions *conversions; // chosen at the first page, for the job
    uint8_t *rgbRow;                   // grey line expanded to RGB
    size_t rgbCapacity;                // bytes allocated for rgbRow
    uint8_t *wideRow;                  // colour line widened by the enlargement
    size_t wideCapacity;               // bytes allocated for wideRow
    uint8_t *cutRow;                   // a row of the imageable area padded with white, or all white
    size_t cutCapacity;                // bytes allocated for cutRow
    const uint8_t *ready;              // the converted form of the current line
    uint32_t readyBytes;               // its length, written for every replica
    bool lineReady;                    // the current line is converted (at its first row written)
    uint32_t rowFirst;                 // the page's first output row (rows above it are cut off)
    uint32_t rowLimit;                 // rows of the page's output; rows past it are dropped
    uint32_t rowsWritten;              // rows of the page's output written so far
};
static RowEmitter emitter; // zeroed at start

uint32_t packMonochromeFrom(uint8_t *line, uint32_t pixels, uint32_t firstByte)
{
    // Byte k is stored after pixels 8k..8k+7 are read, and k <= 8k, so the
    // packing never overwrites a pixel it still needs. A pixel below 128 is
    // ink (1). Bits past the last pixel of a partial byte stay 0 (no ink).
    // Eight pixels a step: a lane's top bit clear is ink, moved to the lane's
    // low bit and gathered into one byte. Invariant: firstByte <= k < whole =
    // pixels / 8, so the 8-byte read at 8k lies within the line's pixels.
    uint32_t whole = pixels / 8;
    for (uint32_t k = firstByte; k < whole; k++) {
        uint64_t lanes;
        std::memcpy(&lanes, line + 8 * static_cast<size_t>(k), sizeof lanes);
        uint64_t ink = (~lanes & kHighBits) >> 7;
        line[k] = static_cast<uint8_t>((ink * kGatherLanes) >> 56);
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

uint32_t packMonochrome(uint8_t *line, uint32_t pixels)
{
    return packMonochromeFrom(line, pixels, 0);
}

void greyToRgb(const uint8_t *grey, uint32_t pixels, uint8_t *rgb)
{
    if (pixels == 0)
        return;
    // One 4-byte store a pixel: the grey byte four times, whose fourth byte
    // the next pixel's store overwrites (the same in either byte order).
    // Invariant: i + 1 < pixels, so the store ends within the 3 x pixels
    // bytes of rgb; the last pixel is stored byte by byte.
    uint32_t i = 0;
    for (; i + 1 < pixels; i++) {
        uint32_t four = grey[i] * 0x01010101u;
        std::memcpy(rgb + 3 * static_cast<size_t>(i), &four, sizeof four);
    }
    uint8_t *last = rgb + 3 * static_cast<size_t>(i);
    last[0] = grey[i];
    last[1] = grey[i];
    last[2] = grey[i];
}

void rgbToGrey(uint8_t *line, uint32_t pixels)
{
    // Grey byte p is stored after RGB bytes 3p..3p+2 are read, and p <= 3p, so no pixel is
    // overwritten before it is read. The weights sum to 256: white stays 255, black 0.
    for (uint32_t p = 0; p < pixels; p++) {
        const uint8_t *rgb = line + 3 * static_cast<size_t>(p);
        line[p] = static_cast<uint8_t>((77u * rgb[0] + 150u * rgb[1] + 29u * rgb[2] + 128u) >> 8);
    }
}

// The RGB pixel at `pixel` twice, as the first six bytes in memory of a
// word stored with memcpy (the last two bytes are 0).
static inline uint64_t rgbTwice(const uint8_t *pixel)
{
    uint64_t rgb;
    if (kLittleEndian) {
        rgb = pixel[0] | static_cast<uint64_t>(pixel[1]) << 8 | static_cast<uint64_t>(pixel[2]) << 16;
        return rgb | rgb << 24;
    }
    rgb = static_cast<uint64_t>(pixel[0]) << 16 | static_cast<uint64_t>(pixel[1]) << 8 | pixel[2];
    return rgb << 40 | rgb << 16;
}

// RGB doubled, four pixels (12 bytes in, 24 out) a step: two overlapping
// 8-byte reads, three 8-byte stores, the bytes moved into place by shifts.
// Little-endian only (the lane arithmetic assumes it). Returns the pixels done.
static uint32_t doubleRgbWords(const uint8_t *line, uint32_t pixels, uint8_t *wide)
{
    uint32_t p = 0;
    // Invariant: p + 4 <= pixels, so both reads lie within the 12 bytes of
    // pixels p..p+3 and the stores within their 24 output bytes.
    for (; p + 4 <= pixels; p += 4, line += 12, wide += 24) {
        uint64_t low, high; // bytes 0-7 and 4-11 of the four pixels a b c d
        std::memcpy(&low, line, sizeof low);
        std::memcpy(&high, line + 4, sizeof high);
        // a a b0 b1 | b2 b c0 | c1 c2 c d: each mask keeps one piece.
        uint64_t first = (low & 0xFFFFFFull) | (low << 24);
        uint64_t second = ((low >> 40) & 0xFFull) | ((low >> 16) & 0xFFFFFF00ull) |
                          ((high << 16) & 0x00FFFFFF00000000ull) | ((high << 40) & 0xFF00000000000000ull);
        uint64_t third = ((high >> 24) & 0xFFFFFFFFFFull) | (high & 0xFFFFFF0000000000ull);
        std::memcpy(wide, &first, sizeof first);
        std::memcpy(wide + 8, &second, sizeof second);
        std::memcpy(wide + 16, &third, sizeof third);
    }
    return p;
}

void widenPixels(const uint8_t *line, uint32_t pixels, uint32_t pixelSize, uint32_t scale, uint8_t *wide)
{
    if (pixelSize == 3 && scale >= 2) {
        // The common case, RGB enlarged. Doubling goes four pixels a step
        // where the byte order allows; the pixels left over, and larger
        // factors, take one 8-byte store per two copies of a pixel. The last
        // such store of a pixel may spill up to 5 bytes past its 3 x scale
        // bytes; the next pixel's stores begin at that point and cover at
        // least 6 bytes, so they overwrite the spill. The last pixel is
        // stored byte by byte, so nothing is written past the row, which
        // holds pixels x scale x 3 bytes.
        uint32_t p = 0;
        if (scale == 2 && kLittleEndian) {
            p = doubleRgbWords(line, pixels, wide);
            line += 3 * static_cast<size_t>(p);
            wide += 6 * static_cast<size_t>(p);
        }
        size_t copyBytes = 3 * static_cast<size_t>(scale);
        for (; p + 1 < pixels; p++, line += 3, wide += copyBytes) {
            uint64_t twice = rgbTwice(line);
            for (size_t at = 0; at < copyBytes; at += 6)
                std::memcpy(wide + at, &twice, sizeof twice);
        }
        if (p < pixels)
            for (size_t at = 0; at < copyBytes; at += 3) {
                wide[at] = line[0];
                wide[at + 1] = line[1];
                wide[at + 2] = line[2];
            }
        return;
    }
    for (uint32_t p = 0; p < pixels; p++, line += pixelSize)
        for (uint32_t s = 0; s < scale; s++, wide += pixelSize)
            std::memcpy(wide, line, pixelSize);
}

uint32_t rowConversionSets(const RowConversions *sets[kMaxRowConversionSets])
{
    // Ordered from the least to the most capable unit; a set is asked for
    // only once its unit is known to be there (see rowconvert.h).
    const common::CpuFeatures &cpu = common::cpuFeatures();
    uint32_t count = 0;
    sets[count++] = &kPortableRows;
    const RowConversions *found[kMaxRowConversionSets - 1] = {
        cpu.sse2 ? sse2RowConversions() : nullptr,
        cpu.avx2 ? avx2RowConversions() : nullptr,
        cpu.neon ? neonRowConversions() : nullptr,
    };
    for (const RowConversions *set : found)
        if (set != nullptr)
            sets[count++] = set;
    return count;
}

bool prepareRows(uint32_t rows)
{
    emitter.rowFirst = page.cut ? page.skipRows : 0;
    emitter.rowLimit = rows;
    emitter.rowsWritten = 0;
    emitter.lineReady = false;
    // The conversions are chosen once for the job: the best set there is.
    if (emitter.conversions == nullptr) {
        const RowConversions *sets[kMaxRowConversionSets];
        emitter.conversions = sets[rowConversionSets(sets) - 1];
    }
    // Raster rows leave in batches (the PostScript output writes its own).
    if (!psOutput)
        common::startRowBatch(job.rasterOut, job.pageHeader.cupsBytesPerLine);
    if (rowsAsRead)
        return true; // the rows go out as they come in

    // Page setup admits 8-bit and 24-bit pages of at most 2^18 output pixels
    // a line, enlarged, and imageable areas as wide at most, so each size
    // below is at most 1.5 MiB and cannot overflow. A widened row holds the
    // enlarged page's pixels, or the area's from the first pixel widened
    // (one byte a pixel once a colour page is made grey, or a grey one
    // before it is packed or expanded); an expanded grey row the output's.
    size_t pixels = page.urfWidth;
    size_t scale = static_cast<size_t>(page.scale);
    size_t outPixels = job.pageHeader.cupsWidth;
    bool expand = page.urfColorSpace == 0 && job.pageHeader.cupsBitsPerPixel == 24;
    size_t needed = 0;
    bool ok = true;
    if (expand) {
        needed = (pixels > outPixels ? pixels : outPixels) * 3;
        ok = common::growBuffer(emitter.rgbRow, emitter.rgbCapacity, needed);
    }
    if (ok && page.scale > 1 && !psOutput) {
        size_t wide = pixels * scale > outPixels + scale ? pixels * scale : outPixels + scale;
        needed = wide * (page.urfColorSpace != 0 && !job.greyOutput ? 3 : 1);
        ok = common::growBuffer(emitter.wideRow, emitter.wideCapacity, needed);
    }
    // The imageable area's rows where the page does not reach them: cupsBytesPerLine, at most
    // 3 x 2^18 bytes.
    if (ok && page.cut) {
        needed = job.pageHeader.cupsBytesPerLine;
        ok = common::growBuffer(emitter.cutRow, emitter.cutCapacity, needed);
    }
    if (!ok) {
        common::message("ERROR: (brovane) Unable to allocate %lu bytes for a row\n",
                        static_cast<unsigned long>(needed));
        return false;
    }
    return true;
}

// The pixels of the page's line that fall in the imageable area, from its first one: the
// rest of the area's row is white.
static uint32_t pixelsInArea()
{
    uint64_t pageWidth = static_cast<uint64_t>(page.urfWidth) * static_cast<uint32_t>(page.scale);
    uint32_t width = job.pageHeader.cupsWidth;
    if (page.skipColumns >= pageWidth)
        return 0;
    return pageWidth - page.skipColumns < width ? static_cast<uint32_t>(pageWidth - page.skipColumns) : width;
}

// The area's row from the `bytes` made of its pixels at `row`, the rest white (`white` a byte).
static void padRow(const uint8_t *row, uint32_t bytes, uint8_t white)
{
    uint32_t rowBytes = job.pageHeader.cupsBytesPerLine;
    std::memmove(emitter.cutRow, row, bytes);
    std::memset(emitter.cutRow + bytes, white, rowBytes - bytes);
    emitter.ready = emitter.cutRow;
    emitter.readyBytes = rowBytes;
}

// The decoded line in the page header's form: the imageable area's part of it from column
// skipColumns on (the whole page where it is not cut), converted only as far as the area reaches,
// white where the page ends first. A colour page for a grey driver is made grey first, in place;
// an enlarged line is widened from its pixel under the area's first column, which may fall inside
// it: the row starts `phase` enlarged pixels into the widened run. Then it is packed to 1-bit black
// (in place: cut at a pixel, not a byte), expanded from grey to RGB, or taken as it is.
// Raster output only (the PostScript image is the whole page).
static void convertRasterRow(uint8_t *line)
{
    const cups_page_header2_t &header = job.pageHeader;
    uint32_t width = header.cupsWidth;
    uint32_t count = page.cut ? pixelsInArea() : width;
    bool packed = header.cupsBitsPerPixel == 1;
    if (count == 0) {
        padRow(line, 0, packed ? 0x00 : 0xFF);
        return;
    }
    // Invariant: the line's pixels first .. last - 1 hold the area's columns skip .. skip + count - 1
    // (rounded out to whole pixels), all within its urfWidth pixels; widened, they fit wideRow
    // (prepareRows), and so does the white after the area's count pixels.
    uint32_t scale = static_cast<uint32_t>(page.scale);
    uint32_t skip = page.cut ? page.skipColumns : 0;
    uint32_t first = skip / scale, phase = skip % scale;
    uint32_t last = (skip + count - 1) / scale + 1;
    uint32_t size = page.urfColorSpace != 0 ? 3 : 1;
    uint8_t *run = line + size * static_cast<size_t>(first);
    if (size == 3 && job.greyOutput) {
        rgbToGrey(run, last - first);
        size = 1;
    }
    if (scale > 1) {
        emitter.conversions->widenPixels(run, last - first, size, scale, emitter.wideRow);
        run = emitter.wideRow + size * static_cast<size_t>(phase);
    }
    if (packed) {
        uint32_t bytes = emitter.conversions->packMonochrome(run, count);
        emitter.ready = run;
        emitter.readyBytes = bytes;
        if (count < width)
            padRow(run, bytes, 0x00);
    } else if (size == 1 && header.cupsBitsPerPixel == 24) {
        emitter.conversions->greyToRgb(run, count, emitter.rgbRow);
        std::memset(emitter.rgbRow + 3 * static_cast<size_t>(count), 0xFF, 3 * static_cast<size_t>(width - count));
        emitter.ready = emitter.rgbRow;
        emitter.readyBytes = 3 * width;
    } else {
        emitter.ready = run;
        emitter.readyBytes = size * width;
        if (count == width)
            return;
        if (scale > 1)
            std::memset(run + size * static_cast<size_t>(count), 0xFF, size * static_cast<size_t>(width - count));
        else
            padRow(run, size * count, 0xFF);
    }
}

// Brings the decoded line into the form the page's header declares and
// notes where it is. The PostScript image is drawn at the URF page's own
// size (the interpreter scales it to the page), so it is never widened, and
// its 1-bit samples are white where set, as PostScript's grey is.
static void convertRow(uint8_t *line)
{
    if (rowsAsRead) {
        emitter.ready = line;
        emitter.readyBytes = static_cast<uint32_t>(page.rawRowBytes);
        return;
    }
    if (!psOutput) {
        convertRasterRow(line);
        return;
    }
    const cups_page_header2_t &header = job.pageHeader;
    if (common::fieldBits(header.cupsColorSpace) == CUPS_CSPACE_K && job.monochrome) {
        emitter.readyBytes = emitter.conversions->packMonochrome(line, page.urfWidth);
        emitter.ready = line;
        for (uint32_t k = 0; k < emitter.readyBytes; k++)
            line[k] = static_cast<uint8_t>(~line[k]);
    } else if (page.urfColorSpace == 0 && !job.monochrome) {
        emitter.conversions->greyToRgb(line, page.urfWidth, emitter.rgbRow);
        emitter.ready = emitter.rgbRow;
        emitter.readyBytes = page.urfWidth * 3;
    } else {
        emitter.ready = line;
        emitter.readyBytes = page.urfWidth * 3;
    }
}

uint8_t *placeLine(uint32_t rowIndex, size_t bytes)
{
    // Only where the row is the line's own pixels from the area's first one
    // on, as convertRasterRow leaves them (or copies them to cutRow where the
    // page ends inside the area; batchRow takes the row where it is or copies
    // it). A row packed to 1 bit or made grey is a fraction of its line,
    // which, built in the batch, would be written over the next rows' places
    // line after line (measured: no faster on the receipt printer's pages).
    size_t size = page.urfColorSpace != 0 ? 3 : 1;
    if (psOutput || rowsAsRead || page.scale != 1 || job.pageHeader.cupsBitsPerPixel != 8 * size ||
        static_cast<uint64_t>(rowIndex) >= static_cast<uint64_t>(emitter.rowFirst) + emitter.rowLimit)
        return nullptr;
    size_t skip = page.cut ? page.skipColumns : 0;
    return common::placeLine(bytes, skip * size);
}

void emitRow(uint32_t rowIndex, uint8_t *line, uint32_t replica, int32_t bitsPerPixel)
{
    (void)bitsPerPixel; // the page set up says the line's form
    // A line is converted at its first row that is written (rows above the imageable area are
    // not); the replicas after it are the same row and are written from the same converted bytes
    // (or the same text).
    if (replica == 0)
        emitter.lineReady = false;
    if (rowIndex < emitter.rowFirst || rowIndex - emitter.rowFirst >= emitter.rowLimit)
        return;
    bool first = !emitter.lineReady;
    if (first) {
        convertRow(line);
        emitter.lineReady = true;
    }
    if (psOutput) {
        if (first)
            writeRowSamples(emitter.ready, emitter.readyBytes);
        else
            writeRowCopy();
        return;
    }
    common::batchRow(emitter.ready, emitter.readyBytes);
    emitter.rowsWritten++;
}

void emitBitsRow(uint32_t rowIndex, uint8_t *bits, uint32_t bytes)
{
    if (rowIndex < emitter.rowFirst || rowIndex - emitter.rowFirst >= emitter.rowLimit)
        return;
    if (!page.cut) {
        common::batchRow(bits, bytes);
        emitter.rowsWritten++;
        return;
    }
    // The area's pixels shifted to the row's start: output bit b is input bit skip + b. Invariant:
    // k < whole bytes of the area's pixels, whose bits all lie within the row's `bytes`.
    uint32_t skip = page.skipColumns, count = pixelsInArea();
    uint32_t shift = skip % 8;
    const uint8_t *from = bits + skip / 8;
    uint8_t *out = emitter.cutRow;
    uint32_t filled = (count + 7) / 8;
    for (uint32_t k = 0; k < filled; k++) {
        uint32_t high = static_cast<uint32_t>(from[k]) << shift;
        uint32_t low = shift != 0 && skip / 8 + k + 1 < bytes ? from[k + 1] >> (8 - shift) : 0;
        out[k] = static_cast<uint8_t>(high | low);
    }
    if (count % 8 != 0)
        out[filled - 1] &= static_cast<uint8_t>(0xFF << (8 - count % 8));
    std::memset(out + filled, 0x00, job.pageHeader.cupsBytesPerLine - filled);
    common::batchRow(out, job.pageHeader.cupsBytesPerLine);
    emitter.rowsWritten++;
}

void finishRows()
{
    if (!page.cut || emitter.rowsWritten >= emitter.rowLimit)
        return;
    // The imageable area reaches past the page's last row: white to its end (1-bit black prints
    // set bits, 8-bit RGB prints below 255).
    uint8_t white = common::fieldBits(job.pageHeader.cupsColorSpace) == CUPS_CSPACE_K ? 0x00 : 0xFF;
    std::memset(emitter.cutRow, white, job.pageHeader.cupsBytesPerLine);
    for (; emitter.rowsWritten < emitter.rowLimit; emitter.rowsWritten++) {
        common::exitIfStopped();
        common::batchRow(emitter.cutRow, job.pageHeader.cupsBytesPerLine);
    }
}

} // namespace brovane
