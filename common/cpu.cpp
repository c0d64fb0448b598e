// Run-time detection of the vector units: cpuid on x86-64, the kernel's
// hardware capability word on 32-bit ARM; fixed answers elsewhere.

#include "common/cpu.h"

#if defined(__arm__) && defined(__linux__)
#include <sys/auxv.h>
#endif

namespace common {

#if defined(__arm__) && defined(__linux__)
constexpr unsigned long kHwcapNeon = 1ul << 12; // HWCAP_NEON of the 32-bit ARM kernel ABI
#endif

// Filled in by the first call; a filter runs one thread, so no lock.
struct CpuState {
    bool known;           // features already looked up
    CpuFeatures features; // what was found
};
static CpuState cpu; // zeroed at start

static CpuFeatures detect()
{
    CpuFeatures found = {};
#if defined(__x86_64__)
    found.sse2 = true;
    // Checks the processor's flag and that the kernel saves the wide registers.
    __builtin_cpu_init();
    found.avx2 = __builtin_cpu_supports("avx2") != 0;
#elif defined(__aarch64__)
    found.neon = true;
#elif defined(__arm__) && defined(__linux__)
    found.neon = (getauxval(AT_HWCAP) & kHwcapNeon) != 0;
#endif
    return found;
}

const CpuFeatures &cpuFeatures()
{
    if (!cpu.known) {
        cpu.features = detect();
        cpu.known = true;
    }
    return cpu.features;
}

} // namespace common
