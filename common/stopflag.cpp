// The stop flag and the SIGTERM handler that sets it.
// The handler only stores; the readers act on the flag at their next poll.

#include "common/filter.h"

#include <cstring>

namespace common {

volatile sig_atomic_t stopFlag = 0; // 1 once SIGTERM arrived

static void onTerminate(int)
{
    stopFlag = 1;
}

void installStopHandler()
{
    // No SA_RESTART: a read blocked on a pipe returns EINTR, which the
    // reader treats as a failed read, so the filter never waits on.
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onTerminate;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGTERM, &action, nullptr);
}

} // namespace common
