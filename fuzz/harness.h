// What the fuzz harnesses share: the job's input as a descriptor, and a CPU
// budget per input that ends a long job the way SIGTERM does, by the stop flag.
#pragma once

#include "common/filter.h"

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sys/mman.h>
#include <sys/time.h>
#include <unistd.h>

namespace fuzzharness {

// CPU time one input may take. Every seed runs in about a millisecond; a few
// dozen bytes can still ask for 2^24 rows (a short raw page is completed from
// the line buffer, and one encoded line may stand for 256 x scale rows), which
// takes minutes. Past the budget the stop flag is set, so the job ends at the
// next poll through the stop path, which the harness catches like die.
constexpr suseconds_t kBudgetMicroseconds = 25000;

inline void onBudgetSpent(int)
{
    common::stopFlag = 1;
}

// Once per process. SIGPROF: libFuzzer keeps SIGALRM for its own timeouts.
inline void installBudget()
{
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onBudgetSpent;
    sigemptyset(&action.sa_mask);
    sigaction(SIGPROF, &action, nullptr);
}

// Arms the budget for one input (and clears a stop left by the last one).
inline void startBudget()
{
    common::stopFlag = 0;
    struct itimerval timer;
    std::memset(&timer, 0, sizeof timer);
    timer.it_value.tv_usec = kBudgetMicroseconds;
    setitimer(ITIMER_PROF, &timer, nullptr);
}

// Disarms it; a signal that came after the job ended is forgotten.
inline void endBudget()
{
    struct itimerval timer;
    std::memset(&timer, 0, sizeof timer);
    setitimer(ITIMER_PROF, &timer, nullptr);
    common::stopFlag = 0;
}

// AddressSanitizer options of the harnesses that read CUPS raster. libcups
// reserves row buffers of a compressed stream's cupsBytesPerLine (up to 4 GiB)
// as soon as it reads a page header, before the filter can refuse the page.
// Untouched, they cost a plain build nothing; under the sanitizer each costs
// an eighth of its size in shadow memory. Reservations above 32 MiB (16 times
// the largest row the filters accept) fail instead, as the largest fail on a
// 32-bit print server; libcups then reports no page header and the job ends.
constexpr const char *kRasterSanitizerOptions = "allocator_may_return_null=1:max_allocation_size_mb=32";

// The input as a seekable descriptor at offset 0, as a job file is; -1 when
// it can't be made.
inline int inputFromBytes(const uint8_t *data, size_t size)
{
    int input = memfd_create("job", 0);
    if (input < 0)
        return -1;
    if (size > 0 && write(input, data, size) != static_cast<ssize_t>(size)) {
        close(input);
        return -1;
    }
    lseek(input, 0, SEEK_SET);
    return input;
}

} // namespace fuzzharness
