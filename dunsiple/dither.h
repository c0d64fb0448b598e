// dunsiple's ordered dither: 8-bit CMYK rows to one bit a component against
// a fixed 8x8 threshold matrix, then packed two pixels (eight bits) a byte.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dunsiple {

// The widest row the filter handles: a 108-inch (2.74 m) wide-format roll at
// 2400 dpi is 259,200 pixels, rounded up to 2^18. Every row buffer, the
// dither's byte counts included, stays below 1 MiB, which also keeps
// 4 x pixels far from overflowing a 32-bit size_t.
constexpr uint32_t kMaxRowPixels = 1u << 18;
constexpr size_t kBytesPerPixel = 4; // cyan, magenta, yellow, black, 8 bits each
constexpr size_t kMaxRowBytes = static_cast<size_t>(kMaxRowPixels) * kBytesPerPixel;

// Thresholds from 1 to 64, each once: group x mod 8, entry rowCounter mod 8.
// On the page, row y and column x get B[y mod 8][x mod 8] + 1 with B the
// recursive 8x8 Bayer index matrix; this is that matrix plus one, stored
// column by column.
constexpr uint8_t ditherMatrix[64] = {
    1,  49, 13, 61, 4,  52, 16, 64, //
    33, 17, 45, 29, 36, 20, 48, 32, //
    9,  57, 5,  53, 12, 60, 8,  56, //
    41, 25, 37, 21, 44, 28, 40, 24, //
    3,  51, 15, 63, 2,  50, 14, 62, //
    35, 19, 47, 31, 34, 18, 46, 30, //
    11, 59, 7,  55, 10, 58, 6,  54, //
    43, 27, 39, 23, 42, 26, 38, 22, //
};

// The ways of dithering and packing a row in one call: the portable one,
// ditherRow then packRow, which every build has, and the vector ones, each
// only in builds for its processor family.
enum DitherForm : uint8_t {
    kDitherPortable, // ditherRow and packRow: any processor
    kDitherSse2,     // x86-64, 16 bytes a step
    kDitherAvx2,     // x86-64 with AVX2, 32 bytes a step
    kDitherNeon,     // aarch64, and 32-bit ARM whose kernel reports NEON
    kDitherForms,    // number of forms
};

// One form's kernel: the `pixels` pixels of `row`, dithered at row phase
// `phase` (0..7), packed into out[0 .. pixels / 2). The caller has checked
// pixels <= kMaxRowPixels; `out` holds 4 x pixels bytes and may be
// overwritten in all of them, and does not overlap `row`.
using DitherPackKernel = void (*)(const uint8_t *row, size_t pixels, uint32_t phase, uint8_t *out);

// The dither's state over the whole job.
struct DitherState {
    uint32_t rowCounter;     // rows dithered since the start; never reset, low 3 bits used
    DitherPackKernel kernel; // ditherPackRow's form, picked at its first row; null before
};
extern DitherState dither;

// The rule as written, one pixel at a time; the definition that the fast
// ditherRow is held to. `work` must hold 4 x pixels zero bytes on entry: an
// all-zero pixel is skipped. Byte 4x + k becomes 1 when component k of pixel
// x is not 0 and (value >> 2) >= ditherMatrix[8 (x mod 8) + rowCounter mod 8],
// else 0. Advances rowCounter by one, also for a count of 0 or less.
// pixels <= kMaxRowPixels; `row` and `work` hold 4 x pixels bytes.
void ditherRowReference(const uint8_t *row, int32_t pixels, uint8_t *work);

// Same result as ditherRowReference, eight bytes a step. It writes every one
// of the 4 x pixels bytes, so `work` needs no clearing before the call.
// `row` and `work` must not overlap.
void ditherRow(const uint8_t *row, int32_t pixels, uint8_t *work);

// Packs work bytes 8j .. 8j+7 into byte j for j < bytes, in place: pixel 2j
// in the high four bits, pixel 2j+1 in the low four, cyan magenta yellow
// black from the high bit down; only the lowest bit of each work byte counts.
// The driver passes pixels / 2, so the last pixel of an odd row is dropped.
void packRow(uint8_t *work, int32_t bytes);

// Whether this build has `form` and the processor runs it.
bool ditherFormAvailable(DitherForm form);

// The form that ditherPackRow uses: the widest one available, looked up once.
DitherForm chosenDitherForm();

// The row dithered and packed in one call by `form`, which must be
// available: out[0 .. pixels / 2) become the bytes that ditherRowReference
// on a cleared work row and then packRow(work, pixels / 2) give. `out` must
// hold 4 x pixels bytes, all of which may be overwritten, and not overlap
// `row`; pixels <= kMaxRowPixels. Advances rowCounter by one, also for a
// count of 0 or less.
void ditherPackRowWith(DitherForm form, const uint8_t *row, int32_t pixels, uint8_t *out);

// ditherPackRowWith with chosenDitherForm(): what the filter runs every row.
void ditherPackRow(const uint8_t *row, int32_t pixels, uint8_t *out);

} // namespace dunsiple
