// The ordered dither and the packing: the filter's inner loop, run for every
// byte of every row. The per-pixel rule, the portable forms, and the choice of form.

#include "dunsiple/dither.h"

#include "common/cpu.h"
#include "dunsiple/dither_kernels.h"

#include <cstring>

namespace dunsiple {

namespace {

constexpr size_t kWordBytes = sizeof(uint64_t);                 // row bytes a step: two pixels
constexpr size_t kPeriodWords = kPeriodBytes / kWordBytes;      // 4 steps a period

// Byte-lane masks for eight components held in one 64-bit word.
constexpr uint64_t kLowSixBits = 0x3F3F3F3F3F3F3F3Full; // value >> 2, bits from the next lane removed
constexpr uint64_t kHighBits = 0x8080808080808080ull;   // a borrow guard above every lane
constexpr uint64_t kLowBits = 0x0101010101010101ull;    // one result bit a lane

// Multiplying eight 0/1 lanes by this gathers them into the top byte, the
// lane stored first at bit 7 and the lane stored last at bit 0. Each lane
// meets a different power of two, so no two products overlap and no carry
// reaches the top byte. The constant depends on where the first stored byte
// lies in the word.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr uint64_t kGatherLanes = 0x8040201008040201ull; // lane i at bit 8i moves to bit 63 - i
#elif defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
constexpr uint64_t kGatherLanes = 0x0102040810204080ull; // lane i at bit 56 - 8i moves to bit 63 - i
#else
#error "byte order unknown: packRow needs __BYTE_ORDER__"
#endif

// Every threshold is 1 or more; so a component of 0 to 3 (value >> 2 = 0)
// never sets its bit, the rule's "value is not 0" test always holds where the
// comparison does, and the fast form leaves it out.
constexpr bool matrixHoldsOneToSixtyFour()
{
    bool seen[65] = {};
    for (uint8_t t : ditherMatrix) {
        if (t < 1 || t > 64 || seen[t])
            return false;
        seen[t] = true;
    }
    return true;
}
static_assert(matrixHoldsOneToSixtyFour(), "ditherMatrix must hold 1..64, each once");

// The thresholds of one period of a row laid out as the row's bytes are:
// entry [phase][4x + k] serves component k of a pixel whose column mod 8 is x.
struct PeriodThresholds {
    uint8_t bytes[8][kPeriodBytes];
};

constexpr PeriodThresholds makePeriodThresholds()
{
    PeriodThresholds table = {};
    for (size_t phase = 0; phase < 8; phase++)
        for (size_t i = 0; i < kPeriodBytes; i++)
            table.bytes[phase][i] = ditherMatrix[8 * (i / kBytesPerPixel) + phase];
    return table;
}

constexpr PeriodThresholds periodThresholds = makePeriodThresholds();

} // namespace

DitherState dither = {0, nullptr}; // rowCounter starts at 0 with the process, no form picked yet

void ditherRowReference(const uint8_t *row, int32_t pixels, uint8_t *work)
{
    uint32_t phase = dither.rowCounter % 8;
    // Invariant: x < pixels <= kMaxRowPixels, so the pixel's four bytes lie
    // within the 4 x pixels bytes of `row` and of `work`.
    for (int32_t x = 0; x < pixels; x++) {
        size_t at = static_cast<size_t>(x) * kBytesPerPixel;
        // A blank pixel costs one read; its work bytes are already 0.
        uint32_t word;
        std::memcpy(&word, row + at, sizeof word);
        if (word == 0)
            continue;
        uint8_t threshold = ditherMatrix[8 * (static_cast<uint32_t>(x) % 8) + phase];
        for (size_t k = 0; k < kBytesPerPixel; k++) {
            uint8_t value = row[at + k];
            work[at + k] = (value != 0 && (value >> 2) >= threshold) ? 1 : 0;
        }
    }
    dither.rowCounter++;
}

// Eight components against their eight thresholds at once. Per lane,
// (value >> 2) is 0..63 and the threshold 1..64, so 128 + (value >> 2) -
// threshold stays within 64..191: no lane borrows from its neighbour, and
// its bit 7 is set exactly when value >> 2 >= threshold.
static inline uint64_t thresholdWord(uint64_t values, uint64_t thresholds)
{
    uint64_t quarters = (values >> 2) & kLowSixBits;
    uint64_t differences = (quarters | kHighBits) - thresholds;
    return (differences >> 7) & kLowBits;
}

// ditherRow at a given row phase, leaving rowCounter alone.
static void ditherRowAt(const uint8_t *__restrict row, size_t pixels, uint32_t phase, uint8_t *__restrict work)
{
    const uint8_t *rowThresholds = periodThresholds.bytes[phase];

    // The period's thresholds as four words, loaded the way the row's words are.
    uint64_t thresholdWords[kPeriodWords];
    std::memcpy(thresholdWords, rowThresholds, sizeof thresholdWords);

    // pixels <= kMaxRowPixels by the caller's check, so this is at most kMaxRowBytes.
    size_t bytes = pixels * kBytesPerPixel;
    size_t whole = bytes - bytes % kPeriodBytes;
    // Invariants: start is a multiple of 32 and start + 32 <= whole <= bytes,
    // so the block lies within both buffers; its first pixel has column mod 8
    // = 0, so word w of the block meets thresholdWords[w]. Words go through
    // memcpy: the buffers need no alignment.
    for (size_t start = 0; start < whole; start += kPeriodBytes) {
        for (size_t w = 0; w < kPeriodWords; w++) {
            uint64_t values;
            std::memcpy(&values, row + start + w * kWordBytes, kWordBytes);
            uint64_t bits = thresholdWord(values, thresholdWords[w]);
            std::memcpy(work + start + w * kWordBytes, &bits, kWordBytes);
        }
    }
    // The last 0 to 7 pixels, a byte at a time; their columns continue the
    // period from 0, as the block loop left it. i - whole < 28.
    for (size_t i = whole; i < bytes; i++)
        work[i] = (row[i] >> 2) >= rowThresholds[i - whole] ? 1 : 0;
}

void ditherRow(const uint8_t *__restrict row, int32_t pixels, uint8_t *__restrict work)
{
    uint32_t phase = dither.rowCounter % 8;
    dither.rowCounter++;
    if (pixels > 0)
        ditherRowAt(row, static_cast<size_t>(pixels), phase, work);
}

void packRow(uint8_t *work, int32_t bytes)
{
    // Invariant: the caller's work buffer holds 8 x bytes bytes (4 x pixels
    // for bytes = pixels / 2). Byte j is stored after work[8j .. 8j+7] are
    // read, and j <= 8j, so no byte is overwritten before it is packed.
    for (int32_t j = 0; j < bytes; j++) {
        size_t at = static_cast<size_t>(j) * kWordBytes;
        uint64_t lanes;
        std::memcpy(&lanes, work + at, kWordBytes);
        work[j] = static_cast<uint8_t>(((lanes & kLowBits) * kGatherLanes) >> 56);
    }
}

// The portable kernel: the whole row dithered into `out`, then packed in
// place; `out` holds the 4 x pixels bytes that this needs.
static void ditherPackPortable(const uint8_t *row, size_t pixels, uint32_t phase, uint8_t *out)
{
    ditherRowAt(row, pixels, phase, out);
    packRow(out, static_cast<int32_t>(pixels / 2));
}

bool ditherFormAvailable(DitherForm form)
{
    const common::CpuFeatures &cpu = common::cpuFeatures();
    switch (form) {
    case kDitherPortable:
        return true;
#if defined(__x86_64__)
    case kDitherSse2:
        return cpu.sse2;
    case kDitherAvx2:
        return cpu.avx2;
#endif
#if defined(__aarch64__) || defined(__arm__)
    case kDitherNeon:
        return cpu.neon;
#endif
    default:
        (void)cpu;
        return false;
    }
}

DitherForm chosenDitherForm()
{
    // From the widest down; the portable form is always there.
    const DitherForm preferred[] = {kDitherAvx2, kDitherNeon, kDitherSse2};
    for (DitherForm form : preferred)
        if (ditherFormAvailable(form))
            return form;
    return kDitherPortable;
}

// The kernel of a form that ditherFormAvailable accepts.
static DitherPackKernel kernelOf(DitherForm form)
{
    switch (form) {
#if defined(__x86_64__)
    case kDitherSse2:
        return ditherPackSse2;
    case kDitherAvx2:
        return ditherPackAvx2;
#endif
#if defined(__aarch64__) || defined(__arm__)
    case kDitherNeon:
        return ditherPackNeon;
#endif
    default:
        return ditherPackPortable;
    }
}

// One row through `kernel` at the current row phase; a row of fewer than two
// pixels packs into no byte and only advances the counter.
static void ditherPackWith(DitherPackKernel kernel, const uint8_t *row, int32_t pixels, uint8_t *out)
{
    uint32_t phase = dither.rowCounter % 8;
    dither.rowCounter++;
    if (pixels >= 2)
        kernel(row, static_cast<size_t>(pixels), phase, out);
}

void ditherPackRowWith(DitherForm form, const uint8_t *row, int32_t pixels, uint8_t *out)
{
    ditherPackWith(kernelOf(form), row, pixels, out);
}

void ditherPackRow(const uint8_t *row, int32_t pixels, uint8_t *out)
{
    // The processor does not change during a job: look the form up once.
    if (dither.kernel == nullptr)
        dither.kernel = kernelOf(chosenDitherForm());
    ditherPackWith(dither.kernel, row, pixels, out);
}

} // namespace dunsiple
