// Encoded URF lines: line-repeat byte, repeated-pixel, literal and fill codes,
// rebuilt into the line buffer and handed to the caller's sink, row count and all.

#include "urf/urf.h"

#include "common/filter.h"

#include <cstdlib>
#include <cstring>

namespace urf {

// Decoder buffers: kept for the whole process and grown, never shrunk, when a
// later page needs more than the pages before it.
struct DecoderState {
    uint8_t pixelBuffer[kMaxPixelBytes]; // the pixel of a repeated run
    uint8_t codeByte;                    // a line-repeat or run code read with readExact
    uint8_t *lineBuffer;                 // one line, pixels in input order
    uint8_t *line;                       // where the line being decoded is built: lineBuffer or the sink's place
    size_t lineCapacity;                 // bytes allocated for lineBuffer
};
static DecoderState decoder; // zeroed at start

uint8_t *lineBuffer()
{
    return decoder.lineBuffer;
}

const char *checkLayout(const PageLayout &layout)
{
    if (layout.bitsPerPixel <= 0 || layout.bitsPerPixel % 8 != 0 ||
        static_cast<uint32_t>(layout.bitsPerPixel) / 8 > kMaxPixelBytes)
        return "bits per pixel must be 8, 16, ... 64";
    if (layout.width < 1 || static_cast<uint32_t>(layout.width) > kMaxLinePixels)
        return "width must be 1 to 262144 pixels";
    if (layout.scale < 1 || static_cast<uint32_t>(layout.scale) > kMaxLinePixels)
        return "enlargement must be 1 to 262144";
    if (layout.height < 0 ||
        static_cast<uint64_t>(layout.height) * static_cast<uint64_t>(layout.scale) > kMaxPageRows)
        return "height must be at most 16777216 rows";
    if (layout.rawLines && layout.rawRowBytes > kMaxLinePixels * kMaxPixelBytes)
        return "raw line longer than 2 MiB";
    return nullptr;
}

// Makes the line buffer hold at least `bytes` (at most 2 MiB, from the limits
// checked above). False when the memory can't be had.
// New bytes start white: a raw page whose data runs short is written from
// what the buffer holds, and that must never be leftover heap.
static bool reserveLine(size_t bytes)
{
    return common::growBuffer(decoder.lineBuffer, decoder.lineCapacity, bytes, 0xFF);
}

// Bytes of the RGB pattern that repeatPixel stores a block at a time: eight
// whole 3-byte pixels, which the compiler stores as a few wide moves.
constexpr size_t kRgbBlockBytes = 24;

// Stores `count` copies of the pixel at `pixel` (`size` bytes) at `dst`,
// exactly count x size bytes: nothing past the run is touched. Called for
// every repeated run, so it keeps no array on its stack: the stack protector
// would check one on every call.
static void repeatPixel(uint8_t *dst, const uint8_t *pixel, uint32_t size, uint32_t count)
{
    if (size == 1) {
        std::memset(dst, pixel[0], count);
        return;
    }
    if (size == 3) {
        // RGB, the common colour page: the run's first 24-byte block of the
        // pattern stored pixel by pixel, the other whole blocks copied from
        // it, then the last 0 to 7 pixels one by one. Invariant: done <=
        // total, and each store ends at or before total, the run's last
        // byte; a copied block never overlaps the first one (done >= 24).
        uint8_t r = pixel[0], g = pixel[1], b = pixel[2];
        size_t total = static_cast<size_t>(count) * 3;
        size_t done = 0;
        if (total >= kRgbBlockBytes) {
            for (; done < kRgbBlockBytes; done += 3) {
                dst[done] = r;
                dst[done + 1] = g;
                dst[done + 2] = b;
            }
            for (; done + kRgbBlockBytes <= total; done += kRgbBlockBytes)
                std::memcpy(dst + done, dst, kRgbBlockBytes);
        }
        for (; done < total; done += 3) {
            dst[done] = r;
            dst[done + 1] = g;
            dst[done + 2] = b;
        }
        return;
    }
    // Doubling copies: after each step dst holds `done` bytes of whole pixels.
    size_t total = static_cast<size_t>(size) * count;
    std::memcpy(dst, pixel, size);
    size_t done = size;
    while (done < total) {
        size_t step = done < total - done ? done : total - done;
        std::memcpy(dst + done, dst, step);
        done += step;
    }
}

// Copies a literal run of n bytes (at most 128 pixels) from the reader's
// buffer into the line. Kept out of line on purpose: given a length it can't
// bound, the compiler calls the C library's copy, which uses the widest moves
// the processor has; expanded inline (as it may do where the run length is
// known to be small) it becomes a generic string move with a slow start-up
// that, on literal-heavy pages, costs more than everything else the decoder does.
__attribute__((noinline)) static void copyRun(uint8_t *dst, const uint8_t *src, size_t n)
{
    std::memcpy(dst, src, n);
}

// Decodes the codes of the current line whose bytes all sit in the reader's
// buffer, from pixel i on, straight out of that buffer. Stops at the end of
// the line or at the first code whose bytes are not all there, which the
// caller then takes with readExact (refilling as needed). Returns the new i.
// The stop flag is polled before the code byte and before the pixel data of
// each code, as the reads they replace would; a literal run's pixels, taken
// together, poll once. No system read happens here, so the reader, the
// offsets in later messages and every stored byte are what the one-read-a-
// piece decoding gives.
static uint32_t decodeBuffered(uint8_t *line, uint32_t i, uint32_t width, uint32_t pixelSize)
{
    const uint8_t *in = bufferedBytes();
    uint32_t have = buffered();
    uint32_t used = 0;
    // Invariants: used <= have <= kReaderBufferSize, so in[used] is a
    // buffered byte whenever used < have; i < width at the top of the loop;
    // every store is clipped to width - i pixels of the line buffer, which
    // holds width * pixelSize bytes (pixelSize <= kMaxPixelBytes).
    while (i < width && used < have) {
        int32_t code = static_cast<int8_t>(in[used]);
        uint32_t left = width - i;
        uint8_t *dst = line + static_cast<size_t>(i) * pixelSize;
        if (code >= 0) {
            // Repeated pixel: the code and its one pixel, a poll for each.
            if (have - used < 1 + pixelSize)
                break;
            common::exitIfStopped();
            common::exitIfStopped();
            uint32_t count = static_cast<uint32_t>(code) + 1;
            if (count > left)
                count = left;
            repeatPixel(dst, in + used + 1, pixelSize, count);
            used += 1 + pixelSize;
            i += count;
        } else if (code == -128) {
            // Fill: the rest of the line white.
            common::exitIfStopped();
            std::memset(dst, 0xFF, static_cast<size_t>(left) * pixelSize);
            used += 1;
            i = width;
        } else {
            // Literal run, clipped to the line; the rest stays in the input.
            uint32_t count = static_cast<uint32_t>(1 - code);
            if (count > left)
                count = left;
            uint32_t bytes = count * pixelSize;
            if (have - used < 1 + bytes)
                break;
            common::exitIfStopped(); // the code
            common::exitIfStopped(); // the run's pixels, taken together
            copyRun(dst, in + used + 1, bytes);
            used += 1 + bytes;
            i += count;
        }
    }
    take(used);
    return i;
}

// Rebuilds one encoded line at decoder.line (width x pixelSize bytes).
// Returns the number of times the line repeats (1 to 256), or 0 after an
// error message. The line comes from the decoder's state, not a parameter:
// one argument more costs the run loops below a register (2.5% more
// instructions on grey pages, counted by callgrind).
static uint32_t decodeEncodedLine(int fd, uint32_t width, uint32_t pixelSize, int32_t rowIndex)
{
    const char *name = common::filterName();
    uint8_t *line = decoder.line;
    uint8_t *pixel = decoder.pixelBuffer;
    // In the decoder's state, not on the stack: a local whose address a read
    // takes would give this per-line function a stack-protector check.
    uint8_t &byte = decoder.codeByte;

    // The line-repeat byte, straight from the buffer when it is there.
    if (buffered() > 0) {
        common::exitIfStopped();
        byte = *bufferedBytes();
        take(1);
    } else if (readExact(fd, &byte, 1) != 1) {
        common::message("ERROR: (%s) l%06d : line_repeat EOF at %lu\n", name, rowIndex, inputOffset(fd));
        return 0;
    }
    uint32_t repeats = static_cast<uint32_t>(byte) + 1;

    // Invariants: 1 <= width <= kMaxLinePixels, line holds width * pixelSize
    // bytes, pixelSize <= kMaxPixelBytes, i < width at the top of the loop.
    // Every store is clipped to width - i pixels, so no run leaves the line.
    uint32_t i = 0;
    while (i < width) {
        // Whatever the buffer holds whole goes the quick way; the code that
        // straddles a refill (or meets the end of the input) the slow one.
        i = decodeBuffered(line, i, width, pixelSize);
        if (i >= width)
            break;
        if (readExact(fd, &byte, 1) != 1) {
            common::message("ERROR: (%s) p%06dl%06d : packbit_code EOF at %lu\n", name, static_cast<int>(i),
                            rowIndex, inputOffset(fd));
            return 0;
        }
        int32_t code = static_cast<int8_t>(byte);
        uint32_t left = width - i;

        if (code >= 0) {
            // Repeated pixel: one pixel, code + 1 times, surplus dropped.
            if (readExact(fd, pixel, pixelSize) != static_cast<int32_t>(pixelSize)) {
                common::message("ERROR: (%s) p%06dl%06d : pixel repeat EOF at %lu\n", name,
                                static_cast<int>(i), rowIndex, inputOffset(fd));
                return 0;
            }
            uint32_t count = static_cast<uint32_t>(code) + 1;
            if (count > left)
                count = left;
            repeatPixel(line + static_cast<size_t>(i) * pixelSize, pixel, pixelSize, count);
            i += count;
        } else if (code == -128) {
            // Fill: the rest of the line white, no pixel data.
            std::memset(line + static_cast<size_t>(i) * pixelSize, 0xFF, static_cast<size_t>(left) * pixelSize);
            i = width;
        } else {
            // Literal run of 1 - code pixels; pixels past the line's end stay
            // in the input and start the next line.
            uint32_t count = static_cast<uint32_t>(1 - code);
            if (count > left)
                count = left;
            uint8_t *dst = line + static_cast<size_t>(i) * pixelSize;
            uint32_t k = 0;
            while (k < count) {
                // The whole pixels already buffered go in one copy (one poll);
                // the pixel that straddles a refill is read on its own.
                uint32_t ready = buffered() / pixelSize;
                if (ready > count - k)
                    ready = count - k;
                if (ready > 0) {
                    common::exitIfStopped();
                    uint32_t bytes = ready * pixelSize;
                    copyRun(dst, bufferedBytes(), bytes);
                    take(bytes);
                    k += ready;
                    i += ready;
                    dst += bytes;
                    continue;
                }
                int32_t got = readExact(fd, dst, pixelSize);
                if (got != static_cast<int32_t>(pixelSize)) {
                    common::message("ERROR: (%s) p%06dl%06d : literal_pixel EOF at %lu, read %d, wanted %d\n",
                                    name, static_cast<int>(i), rowIndex, 0UL, got, static_cast<int>(pixelSize));
                    return 0;
                }
                k++;
                i++;
                dst += pixelSize;
            }
        }
    }
    return repeats;
}

int32_t decodePage(int fd, const PageLayout &layout, LineSink sink)
{
    if (const char *reason = checkLayout(layout)) {
        common::message("ERROR: (%s) Page not decoded: %s\n", common::filterName(), reason);
        return 1;
    }
    uint32_t width = static_cast<uint32_t>(layout.width);
    uint32_t pixelSize = static_cast<uint32_t>(layout.bitsPerPixel) / 8;
    uint32_t scale = static_cast<uint32_t>(layout.scale);

    // Line buffer: width * pixelSize <= 2^18 * 8 and a raw line <= 2 MiB
    // (checkLayout), so neither product can overflow.
    size_t lineBytes = static_cast<size_t>(width) * pixelSize;
    if (layout.rawLines && layout.rawRowBytes > lineBytes)
        lineBytes = layout.rawRowBytes;
    if (!reserveLine(lineBytes)) {
        common::message("ERROR: (%s) Unable to allocate %lu bytes for a line\n", common::filterName(),
                        static_cast<unsigned long>(lineBytes));
        return 1;
    }

    // rowIndex < height * scale <= 2^24 when a line starts, and one line adds
    // at most 256 * scale <= 2^26 rows, so the count stays inside 32 bits.
    uint64_t pageRows = static_cast<uint64_t>(layout.height) * scale;
    uint64_t rowIndex = 0;
    size_t encodedBytes = static_cast<size_t>(width) * pixelSize;
    do {
        uint32_t rows;
        uint8_t *line = decoder.lineBuffer;
        if (layout.rawLines) {
            // The count is not examined: a short raw page keeps what the
            // buffer held, as raw pages always have.
            readExact(fd, line, layout.rawRowBytes);
            rows = scale;
        } else {
            if (sink.place != nullptr) {
                uint8_t *placed = sink.place(sink.context, static_cast<uint32_t>(rowIndex), encodedBytes);
                if (placed != nullptr)
                    line = placed;
            }
            decoder.line = line;
            uint32_t repeats = decodeEncodedLine(fd, width, pixelSize, static_cast<int32_t>(rowIndex));
            if (repeats == 0)
                return 1;
            rows = repeats * scale;
        }
        sink.emit(sink.context, static_cast<uint32_t>(rowIndex), line, rows);
        rowIndex += rows;
    } while (rowIndex < pageRows);
    return 0;
}

} // namespace urf
