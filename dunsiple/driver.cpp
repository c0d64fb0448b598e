// dunsiple's driver: the input, the PPD and options that size the row
// buffers, and the page loop that writes every row dithered and packed, in batches.

#include "dunsiple/driver.h"

#include "common/filter.h"
#include "common/rowbatch.h"
#include "dunsiple/dither.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include <cups/ppd.h>

namespace dunsiple {

constexpr uint32_t kPointsPerInch = 72; // PageSize is in points

JobState job; // zeroed at start: no options, no buffers, page 0

bool openInput(int argc, char **argv)
{
    if (argc == 6) {
        job.inputFd = 0;
        return true;
    }
    job.inputFd = open(argv[6], O_RDONLY);
    if (job.inputFd < 0) {
        std::perror("ERROR: Unable to open print file");
        return false;
    }
    return true;
}

bool loadPrinter(const char *optionText)
{
    // An unset PPD variable passes no name and gives no PPD.
    ppd_file_t *ppd = ppdOpenFile(std::getenv("PPD"));
    if (ppd == nullptr) {
        int error = errno;
        common::message("ERROR: (dunsiple) Unable to open PPD file, %d\n", error);
        return false;
    }
    job.optionCount = cupsParseOptions(optionText, 0, &job.options);
    ppdMarkDefaults(ppd);
    cupsMarkOptions(ppd, job.optionCount, job.options);
    // An error here leaves what the header already holds; sizeRowsFromPpd
    // refuses a width that gives no usable row.
    cupsRasterInterpretPPD(&job.ppdHeader, ppd, job.optionCount, job.options, nullptr);
    ppdClose(ppd);
    return true;
}

size_t ppdRowPixels(uint32_t widthPoints, uint32_t dpi)
{
    // Both values are whatever the PPD's code set: test the product before
    // forming it (size_t may be 32 bits), and never let it wrap.
    size_t points = widthPoints;
    size_t resolution = dpi;
    if (resolution != 0 && points > SIZE_MAX / resolution)
        return 0;
    size_t pixels = points * resolution / kPointsPerInch;
    return pixels <= kMaxRowPixels ? pixels : 0;
}

bool rowBufferBytes(size_t pixels, size_t lineBytes, size_t *bytes)
{
    // Bounded first, so 4 x pixels is at most 1 MiB and can't overflow.
    if (pixels > kMaxRowPixels || lineBytes > kMaxRowBytes)
        return false;
    size_t pixelBytes = pixels * kBytesPerPixel;
    *bytes = pixelBytes > lineBytes ? pixelBytes : lineBytes;
    return true;
}

bool reserveRows(size_t bytes)
{
    if (bytes <= job.rowCapacity)
        return true;
    // bytes <= kMaxRowBytes (rowBufferBytes), so the sum is at most 1 MiB +
    // 64 KiB. Nothing is pending between pages, so the buffers hold nothing
    // worth keeping: replace, don't copy.
    size_t outputBytes = kOutputBatchBytes + bytes;
    std::free(job.inputRow);
    std::free(job.outputRows);
    job.inputRow = static_cast<uint8_t *>(std::malloc(bytes));
    job.outputRows = static_cast<uint8_t *>(std::malloc(outputBytes));
    if (job.inputRow == nullptr || job.outputRows == nullptr) {
        common::message("ERROR: (dunsiple) Unable to allocate %zu bytes for the row buffers\n", bytes);
        std::free(job.inputRow);
        std::free(job.outputRows);
        job.inputRow = nullptr;
        job.outputRows = nullptr;
        job.rowCapacity = 0;
        job.outputCapacity = 0;
        return false;
    }
    job.rowCapacity = bytes;
    job.outputCapacity = outputBytes;
    return true;
}

// Writes the pending packed rows to standard output, in as many write()
// calls as the descriptor needs to take them (one, but for a signal or a
// short write). Output that can't be written (closed, disk full) is dropped,
// as stdio drops it, and the job goes on.
static void flushOutput()
{
    size_t done = 0;
    while (done < job.outputPending) {
        ssize_t wrote = write(STDOUT_FILENO, job.outputRows + done, job.outputPending - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            break;
        done += static_cast<size_t>(wrote);
    }
    job.outputPending = 0;
}

bool sizeRowsFromPpd()
{
    // The printer's page width at its resolution gives the rows that the
    // raster should hold; a PPD whose page gives none, or one wider than any
    // media, is refused before any input is read.
    uint32_t widthPoints = job.ppdHeader.PageSize[0];
    uint32_t dpi = job.ppdHeader.HWResolution[0];
    size_t pixels = ppdRowPixels(widthPoints, dpi);
    size_t bytes = 0;
    if (pixels == 0 || !rowBufferBytes(pixels, 0, &bytes)) {
        common::message("ERROR: (dunsiple) Page width of %u points at %u dpi is not a row of 1 to %u pixels\n",
                        widthPoints, dpi, kMaxRowPixels);
        return false;
    }
    return reserveRows(bytes);
}

// The page's log lines, all values as signed numbers.
static void logPage()
{
    const cups_page_header2_t &header = job.pageHeader;
    int width = static_cast<int>(header.cupsWidth);
    int height = static_cast<int>(header.cupsHeight);
    common::message("DEBUG: (dunsiple) Page %d starts.\n", job.pageNumber);
    common::message("DEBUG: (dunsiple) Bits per Color: %d\n", static_cast<int>(header.cupsBitsPerColor));
    common::message("DEBUG: (dunsiple) Bits per Pixel: %d\n", static_cast<int>(header.cupsBitsPerPixel));
    common::message("DEBUG: (dunsiple) Bytes per line :%d\n", static_cast<int>(header.cupsBytesPerLine));
    common::message("DEBUG: (dunsiple) Colorspace :%d\n", static_cast<int>(common::fieldBits(header.cupsColorSpace)));
    common::message("DEBUG: (dunsiple) Page size: %d x %d\n", static_cast<int>(header.PageSize[0]),
                    static_cast<int>(header.PageSize[1]));
    common::message("DEBUG: (dunsiple) Size: %d x %d\n", width, height);
    common::message("DEBUG: (dunsiple) Input resolution : %d x %d\n", static_cast<int>(header.HWResolution[0]),
                    static_cast<int>(header.HWResolution[1]));
    common::message("DEBUG: (dunsiple) Output Size: %d x %d\n", width, height);
}

// Reads and drops the rows of a page that is not dithered, so that the next
// page header is read where it lies. Its lines are at most kMaxRowBytes (so
// libcups's own row buffer is too); rows longer than the buffer are taken in
// pieces; the end of the input ends the page.
static void skipRows(int32_t height)
{
    uint32_t lineBytes = job.pageHeader.cupsBytesPerLine;
    if (lineBytes == 0)
        return;
    for (int32_t y = 0; y < height; y++) {
        uint32_t left = lineBytes;
        while (left > 0) {
            // rowCapacity is at least 1 (sizeRowsFromPpd), so every piece takes bytes.
            uint32_t piece = left < job.rowCapacity ? left : static_cast<uint32_t>(job.rowCapacity);
            if (cupsRasterReadPixels(job.raster, job.inputRow, piece) == 0)
                return;
            left -= piece;
        }
    }
}

// What the page loop does after a page.
enum PageOutcome {
    kNextPage,    // the page was written or skipped: read the next header
    kEndOfJob,    // the page's rows can't be read: nothing more of the stream is
    kOutOfMemory, // the row buffers could not be grown
};

// Dithers, packs and writes the rows of the current page. A page that isn't
// four 8-bit components a pixel is reported and skipped with nothing written
// for it; a page wider than kMaxRowPixels or kMaxRowBytes is reported and
// ends the job.
static PageOutcome convertPage()
{
    const cups_page_header2_t &header = job.pageHeader;
    int32_t height = static_cast<int32_t>(header.cupsHeight);
    if (height <= 0)
        return kNextPage;

    // Such a page's rows can't even be read past: libcups decodes every row of
    // a compressed stream into a buffer of the header's own line length (up to
    // 2 GiB), which it has only reserved so far. So nothing more is read, and
    // the job ends as at the end of its input, the pages before it complete.
    size_t bytes = 0;
    if (!rowBufferBytes(header.cupsWidth, header.cupsBytesPerLine, &bytes)) {
        common::message("ERROR: (dunsiple) Page %d is wider than %u pixels or %u bytes a line (%u pixels, %u bytes); "
                        "the rest of the job is not read\n",
                        job.pageNumber, kMaxRowPixels, static_cast<unsigned>(kMaxRowBytes), header.cupsWidth,
                        header.cupsBytesPerLine);
        return kEndOfJob;
    }
    // Within the limits 4 x cupsWidth can't overflow. A line shorter than
    // its pixels would have the dither read bytes that no row put there.
    size_t pixelBytes = static_cast<size_t>(header.cupsWidth) * kBytesPerPixel;
    if (header.cupsBitsPerColor != 8 || header.cupsBitsPerPixel != 32 || header.cupsBytesPerLine < pixelBytes) {
        common::message("ERROR: (dunsiple) Page %d is not 8-bit CMYK (%u bits a colour, %u bits a pixel, %u bytes a "
                        "line for %u pixels); its rows are skipped\n",
                        job.pageNumber, header.cupsBitsPerColor, header.cupsBitsPerPixel, header.cupsBytesPerLine,
                        header.cupsWidth);
        skipRows(height);
        return kNextPage;
    }
    if (!reserveRows(bytes))
        return kOutOfMemory;

    int32_t pixels = static_cast<int32_t>(header.cupsWidth);
    size_t packedBytes = header.cupsWidth / 2;
    // Each row is dithered and packed straight after the rows pending before
    // it, so it is never copied; a batch that would pass kOutputBatchBytes
    // with it is written first. Invariants: 4 x pixels <= cupsBytesPerLine
    // <= rowCapacity, so the read fills at most the input row and the dither
    // reads only bytes that this read stored; outputPending <=
    // kOutputBatchBytes and outputCapacity = kOutputBatchBytes + rowCapacity,
    // so the 4 x pixels bytes that ditherPackRow may use from outputPending on
    // lie within outputRows. Its first pixels / 2 are the packed row, every
    // one of them written by every form; the work bytes past them are the
    // next row's to overwrite.
    for (int32_t y = 0; y < height; y++) {
        if (cupsRasterReadPixels(job.raster, job.inputRow, header.cupsBytesPerLine) == 0)
            break;
        if (job.outputPending + packedBytes > kOutputBatchBytes)
            flushOutput();
        ditherPackRow(job.inputRow, pixels, job.outputRows + job.outputPending);
        job.outputPending += packedBytes;
    }
    // The page's last rows go out at its end: between pages nothing is held.
    flushOutput();
    return kNextPage;
}

bool convertPages()
{
    common::enlargeOutputPipe();
    // Input that isn't a raster stream (an empty one too) has no pages.
    job.raster = cupsRasterOpen(job.inputFd, CUPS_RASTER_READ);
    if (job.raster == nullptr)
        return true;
    while (cupsRasterReadHeader2(job.raster, &job.pageHeader)) {
        job.pageNumber++;
        logPage();
        PageOutcome outcome = convertPage();
        if (outcome == kOutOfMemory)
            return false;
        if (outcome == kEndOfJob)
            return true;
        common::message("DEBUG: (dunsiple) Page %d ends.\n", job.pageNumber);
    }
    return true;
}

void closeInput()
{
    if (job.raster != nullptr)
        cupsRasterClose(job.raster);
    job.raster = nullptr;
    if (job.inputFd != 0)
        close(job.inputFd);
}

} // namespace dunsiple
