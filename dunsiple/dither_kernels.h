// The vector kernels of dunsiple's fused dither and pack, each in a source
// file of its own that only builds for its processor family (see CMakeLists.txt).
#pragma once

#include "dunsiple/dither.h"

#include <cstddef>
#include <cstdint>

namespace dunsiple {

// The kernels' geometry: the matrix repeats every 8 columns, and each loop
// step takes two periods, 16 pixels (64 row bytes in, 8 packed bytes out).
constexpr size_t kPeriodPixels = 8;                             // the matrix repeats every 8 columns
constexpr size_t kPeriodBytes = kPeriodPixels * kBytesPerPixel; // 32 row bytes, 4 packed bytes a period
constexpr size_t kStepPixels = 2 * kPeriodPixels;               // pixels a loop step: 64 row bytes
constexpr size_t kStepBytes = kStepPixels * kBytesPerPixel;

// Each is a DitherPackKernel (see dither.h); only ditherPackRowWith calls
// them, and only where ditherFormAvailable says the processor runs them.
// They write exactly out[0 .. pixels / 2).
#if defined(__x86_64__)
void ditherPackSse2(const uint8_t *row, size_t pixels, uint32_t phase, uint8_t *out);
void ditherPackAvx2(const uint8_t *row, size_t pixels, uint32_t phase, uint8_t *out);
#endif
#if defined(__aarch64__) || defined(__arm__)
void ditherPackNeon(const uint8_t *row, size_t pixels, uint32_t phase, uint8_t *out);
#endif

} // namespace dunsiple
