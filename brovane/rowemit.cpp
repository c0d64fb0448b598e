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
    const uint8_t *ready;              // the converted form of the current line
    uint32_t readyBytes;               // its length, written for every replica
    uint32_t rowLimit;                 // rows of the page's output; rows past it are dropped
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
    emitter.rowLimit = rows;
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
    if (buffer != nullptr && !common::growBuffer(*buffer, *capacity, needed)) {
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
    if (rowsAsRead) {
        emitter.ready = line;
        emitter.readyBytes = static_cast<uint32_t>(page.rawRowBytes);
        return;
    }
    const cups_page_header2_t &header = job.pageHeader;
    uint32_t pixelSize = static_cast<uint32_t>(bitsPerPixel) / 8;
    if (common::fieldBits(header.cupsColorSpace) == CUPS_CSPACE_K && job.monochrome) {
        emitter.readyBytes = emitter.conversions->packMonochrome(line, page.urfWidth);
        emitter.ready = line;
        if (psOutput)
            for (uint32_t k = 0; k < emitter.readyBytes; k++)
                line[k] = static_cast<uint8_t>(~line[k]);
    } else if (page.urfColorSpace == 0 && !job.monochrome) {
        emitter.conversions->greyToRgb(line, page.urfWidth, emitter.rgbRow);
        emitter.ready = emitter.rgbRow;
        emitter.readyBytes = page.urfWidth * 3;
    } else if (page.scale == 1 || psOutput) {
        emitter.ready = line;
        emitter.readyBytes = page.urfWidth * 3;
    } else {
        uint32_t scale = static_cast<uint32_t>(page.scale);
        emitter.conversions->widenPixels(line, page.urfWidth, pixelSize, scale, emitter.wideRow);
        emitter.ready = emitter.wideRow;
        emitter.readyBytes = page.urfWidth * scale * pixelSize;
    }
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
    common::batchRow(emitter.ready, emitter.readyBytes);
}

} // namespace brovane
