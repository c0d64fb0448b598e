// End-of-run timing report: real, system and user time of the whole run,
// then the exit line; shared by the three filters.

#include "common/filter.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace common {

clock_t startClock()
{
    struct tms unused;
    return times(&unused);
}

// Ticks to seconds in single precision, as the report has always printed them.
static double seconds(long ticks)
{
    float rate = static_cast<float>(sysconf(_SC_CLK_TCK));
    return static_cast<double>(static_cast<float>(ticks) / rate);
}

void finishRun(clock_t startTicks)
{
    // Rows still held back go out first, so the times below include them.
    runFlushBeforeExit();
    struct tms processTimes;
    clock_t endTicks = times(&processTimes);
    const char *name = filterName();
    std::fprintf(stderr, "DEBUG: (%s) %s: %8.4f\n", name, "Real Time  ",
                 seconds(static_cast<long>(endTicks - startTicks)));
    std::fprintf(stderr, "DEBUG: (%s) %s: %8.4f\n", name, "System Time",
                 seconds(static_cast<long>(processTimes.tms_stime)));
    std::fprintf(stderr, "DEBUG: (%s) %s: %8.4f\n", name, "User Time  ",
                 seconds(static_cast<long>(processTimes.tms_utime)));
    std::fprintf(stderr, "DEBUG: (%s) Exiting program %d\n", name, 0);
    std::fflush(stdout);
    std::fflush(stderr);
    runBeforeExit();
    std::exit(0);
}

} // namespace common
