// What vector instructions this processor has, found once at run time, so the
// row loops can take a vector form where one exists and the portable one elsewhere.
#pragma once

namespace common {

// The vector units a row loop may choose. SSE2 is part of every x86-64 and
// NEON of every aarch64, so only AVX2 (x86-64) and NEON on 32-bit ARM, which
// Debian's armhf baseline leaves out, are looked up.
struct CpuFeatures {
    bool sse2; // x86-64: always
    bool avx2; // x86-64: when the processor and the kernel both support it
    bool neon; // aarch64: always; armhf: when the kernel reports it (AT_HWCAP)
};

// The features of the processor the filter runs on, read at the first call.
const CpuFeatures &cpuFeatures();

} // namespace common
