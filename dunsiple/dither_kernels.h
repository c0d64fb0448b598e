// The vector kernels of dunsiple's fused dither and pack, each in a source
// file of its own that only builds for its processor family (see CMakeLists.txt).
#pragma once

#include "dunsiple/dither.h"

#include <cstddef>
#include <cstdint>

namespace dunsiple {

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
