// Throughput of dunsiple's dither and packing on a 600 dpi A4 page: the
// per-pixel rule against every form this processor runs; and the whole-stream references.
//
// dither_bench [repeats]          the in-memory comparison below
// dither_bench reference < in.ras the per-pixel rule over a CUPS raster stream
//                                 read with libcups, output as dunsiple's
// dither_bench read-only < in.ras every row read with libcups and dropped

#include "dunsiple/dither.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <cups/raster.h>

namespace {

constexpr int32_t kPagePixels = 4960; // A4 width at 600 dpi
constexpr int32_t kPageRows = 7016;   // A4 height at 600 dpi
constexpr size_t kRowBytes = static_cast<size_t>(kPagePixels) * dunsiple::kBytesPerPixel;
constexpr size_t kPoolRows = 64; // distinct rows, cycled down the page (1.3 MB)

// The rows of a page: `blankShare` percent of the pixels all zero (paper
// left white), the rest random components.
std::vector<uint8_t> makeRows(unsigned blankShare, uint32_t seed)
{
    std::vector<uint8_t> rows(kRowBytes * kPoolRows);
    for (size_t p = 0; p < rows.size(); p += dunsiple::kBytesPerPixel) {
        seed = seed * 1664525u + 1013904223u;
        bool blank = (seed >> 8) % 100 < blankShare;
        for (size_t k = 0; k < dunsiple::kBytesPerPixel; k++) {
            seed = seed * 1664525u + 1013904223u;
            rows[p + k] = blank ? 0 : static_cast<uint8_t>(seed >> 24);
        }
    }
    return rows;
}

// The forms timed, by name; the per-pixel rule first, as the reference.
constexpr int kRule = -1;
struct Form {
    int form; // a DitherForm, or kRule
    const char *name;
};
constexpr Form kForms[] = {
    {kRule, "per-pixel rule"},
    {dunsiple::kDitherPortable, "portable"},
    {dunsiple::kDitherSse2, "SSE2"},
    {dunsiple::kDitherAvx2, "AVX2"},
    {dunsiple::kDitherNeon, "NEON"},
};
constexpr size_t kFormCount = sizeof kForms / sizeof kForms[0];

// Dithers and packs every row of the page with one form; returns seconds and
// a checksum of the packed rows so that the forms can be compared and none is
// optimised away.
double runPage(const std::vector<uint8_t> &rows, int form, uint64_t *checksum)
{
    std::vector<uint8_t> work(kRowBytes);
    uint64_t sum = 0;
    dunsiple::dither.rowCounter = 0;
    auto start = std::chrono::steady_clock::now();
    for (int32_t y = 0; y < kPageRows; y++) {
        const uint8_t *row = rows.data() + kRowBytes * (static_cast<size_t>(y) % kPoolRows);
        if (form == kRule) {
            // The rule skips blank pixels, so it needs the row cleared first.
            std::memset(work.data(), 0, kRowBytes);
            dunsiple::ditherRowReference(row, kPagePixels, work.data());
            dunsiple::packRow(work.data(), kPagePixels / 2);
        } else {
            dunsiple::ditherPackRowWith(static_cast<dunsiple::DitherForm>(form), row, kPagePixels, work.data());
        }
        for (int32_t j = 0; j < kPagePixels / 2; j += 61)
            sum = sum * 31 + work[static_cast<size_t>(j)];
    }
    auto end = std::chrono::steady_clock::now();
    *checksum = sum;
    return std::chrono::duration<double>(end - start).count();
}

// The rows of every page of the raster stream on standard input, read with
// cupsRasterReadPixels; with `dither`, each dithered by the per-pixel rule,
// packed and written to standard output as dunsiple writes them.
int streamRows(bool dither)
{
    cups_raster_t *raster = cupsRasterOpen(0, CUPS_RASTER_READ);
    if (raster == nullptr)
        return 1;
    std::vector<uint8_t> row, work;
    cups_page_header2_t header;
    while (cupsRasterReadHeader2(raster, &header)) {
        size_t pixels = header.cupsWidth;
        row.resize(header.cupsBytesPerLine > pixels * 4 ? header.cupsBytesPerLine : pixels * 4);
        work.resize(pixels * 4);
        for (uint32_t y = 0; y < header.cupsHeight; y++) {
            if (cupsRasterReadPixels(raster, row.data(), header.cupsBytesPerLine) == 0)
                break;
            if (!dither)
                continue;
            std::memset(work.data(), 0, work.size());
            dunsiple::ditherRowReference(row.data(), static_cast<int32_t>(pixels), work.data());
            dunsiple::packRow(work.data(), static_cast<int32_t>(pixels / 2));
            std::fwrite(work.data(), 1, pixels / 2, stdout);
        }
    }
    cupsRasterClose(raster);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && std::strcmp(argv[1], "reference") == 0)
        return streamRows(true);
    if (argc == 2 && std::strcmp(argv[1], "read-only") == 0)
        return streamRows(false);
    int repeats = argc > 1 ? std::atoi(argv[1]) : 3;
    if (repeats < 1)
        repeats = 1;
    std::printf("page %d x %d pixels, %.1f MB of CMYK, best of %d\n", kPagePixels, kPageRows,
                static_cast<double>(kRowBytes) * kPageRows / 1e6, repeats);
    for (const Form &f : kForms)
        if (f.form == dunsiple::chosenDitherForm())
            std::printf("the filter's form here: %s\n", f.name);
    const unsigned blankShares[] = {0, 70};
    double megabytes = static_cast<double>(kRowBytes) * kPageRows / 1e6;
    for (unsigned blankShare : blankShares) {
        std::vector<uint8_t> rows = makeRows(blankShare, 12345u + blankShare);
        double best[kFormCount];
        uint64_t sums[kFormCount] = {};
        for (double &b : best)
            b = 1e9;
        for (int r = 0; r < repeats; r++)
            for (size_t f = 0; f < kFormCount; f++) {
                bool runs = kForms[f].form == kRule ||
                            dunsiple::ditherFormAvailable(static_cast<dunsiple::DitherForm>(kForms[f].form));
                if (!runs)
                    continue;
                double seconds = runPage(rows, kForms[f].form, &sums[f]);
                if (seconds < best[f])
                    best[f] = seconds;
            }
        // Each form's time, throughput and speed-up over the rule; a form
        // whose rows differ from the rule's fails the run.
        bool same = true;
        std::printf("%2u%% blank pixels:\n", blankShare);
        for (size_t f = 0; f < kFormCount; f++) {
            if (best[f] >= 1e9)
                continue;
            bool differs = sums[f] != sums[0];
            same = same && !differs;
            std::printf("  %-15s %7.2f ms %7.0f MB/s %6.1fx%s\n", kForms[f].name, best[f] * 1e3, megabytes / best[f],
                        best[0] / best[f], differs ? "  OUTPUT DIFFERS" : "");
        }
        if (!same)
            return 1;
    }
    return 0;
}
