// Row conversions in vector instructions: the set each processor family has,
// and the portable piece the vector forms finish a row's 1-bit packing with.
#pragma once

#include "brovane/brovane.h"

#include <cstdint>

namespace brovane {

// packMonochrome from byte `firstByte` on: pixels 8 x firstByte .. pixels - 1
// packed into bytes firstByte and up, the bytes before it taken as done.
// Returns the bytes of the whole packed row. Requires 8 x firstByte <= pixels.
uint32_t packMonochromeFrom(uint8_t *line, uint32_t pixels, uint32_t firstByte);

// The vector sets, or null where this build has none of that kind. Each may
// be called only when common::cpuFeatures() reports its unit: on 32-bit ARM
// the NEON file's code may use NEON anywhere, this function too.
const RowConversions *sse2RowConversions();
const RowConversions *avx2RowConversions();
const RowConversions *neonRowConversions();

} // namespace brovane
