// Conventions that all three filters share: the stop flag that SIGTERM sets,
// the fatal-error exit, scheduler message lines and the end-of-run timing report.
#pragma once

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/times.h>

namespace common {

// The 32 bits of a raster header field that libcups types as an enumeration
// (cupsColorSpace, cupsColorOrder, Duplex, Orientation, ...). Crafted raster
// headers and PPDs put any number there, and reading a number outside the
// enumeration through the enumeration's type is undefined, so such fields are
// only ever read, compared and copied as plain integers.
template <typename Field> inline uint32_t fieldBits(const Field &field)
{
    static_assert(sizeof(Field) == sizeof(uint32_t), "raster header enumerations are 32-bit fields");
    uint32_t value;
    std::memcpy(&value, &field, sizeof value);
    return value;
}
template <typename Field> inline void setFieldBits(Field &field, uint32_t value)
{
    static_assert(sizeof(Field) == sizeof(uint32_t), "raster header enumerations are 32-bit fields");
    std::memcpy(&field, &value, sizeof value);
}

// Set to 1 by the SIGTERM handler and never cleared; the input readers poll it.
extern volatile sig_atomic_t stopFlag;

// Installs the SIGTERM handler: empty mask, no SA_RESTART, so a blocked read
// fails with EINTR instead of resuming.
void installStopHandler();

// Ends the process with status 0 and no message (stopNow) when the stop
// flag is set. Inline: the readers poll it for every byte they hand out.
[[noreturn]] void stopNow();
inline void exitIfStopped()
{
    if (stopFlag)
        stopNow();
}

// Name shown in parentheses in every message line ("brovane", ...).
void setFilterName(const char *name);
const char *filterName();

// One scheduler message line (or part of one) on standard error.
void message(const char *format, ...) __attribute__((format(printf, 1, 2)));

// "CRIT: (<name>) die(<text>) [<strerror(errno)>]" and exit status 1.
[[noreturn]] void die(const char *text);

// A step that must run however the job ends: die, stopNow and finishRun
// call it just before the process ends (the URF reader, which reads ahead
// in large chunks, leaves a file's descriptor where 8192-byte reads would
// have). One hook; null for none.
void setBeforeExit(void (*hook)());
void runBeforeExit();

// Output the filter holds back to write in batches (rows of a page): die,
// stopNow and finishRun hand it to the output through this hook first, then
// run the one above, so whatever way the process ends, every row made before
// the end is in the output. Called from ordinary code only (the SIGTERM
// handler just sets the flag). One hook; null for none.
void setFlushBeforeExit(void (*hook)());
void runFlushBeforeExit();

// Where die (status 1) and stopNow (status 0) end the process. The fuzz
// harnesses run many jobs in one process and set a handler that returns to
// them (it must not return); filters leave it unset and exit.
void setExitHandler(void (*handler)(int status));

// Copies a job may ask for: the scheduler's own ceiling.
constexpr long kMaxCopies = 9999;
// The copies the job asks for, from the copies argument (argv[4]): 1 to
// kMaxCopies, 1 for anything else or when there is none.
uint32_t copiesAsked(int argc, char **argv);

// First `times` call of the run; its result is the base of the real-time line.
clock_t startClock();

// Writes the three timing lines and the exit line, flushes standard output and
// standard error and ends the process with status 0.
[[noreturn]] void finishRun(clock_t startTicks);

// Grows a work buffer kept for the whole job to at least `bytes` (never
// shrinks it); the bytes it adds are set to `fill` unless fill is -1.
// Callers size `bytes` against their own limits first. False when the
// memory can't be had (the buffer is then as it was).
template <typename T> bool growBuffer(T *&buffer, size_t &capacity, size_t bytes, int fill = -1)
{
    if (bytes <= capacity)
        return true;
    void *grown = std::realloc(buffer, bytes);
    if (grown == nullptr)
        return false;
    if (fill >= 0)
        std::memset(static_cast<uint8_t *>(grown) + capacity, fill, bytes - capacity);
    buffer = static_cast<T *>(grown);
    capacity = bytes;
    return true;
}

} // namespace common
