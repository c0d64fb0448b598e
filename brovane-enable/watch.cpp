// Automatic enabling: the scheduler's PPD folder watched (inotify), and each queue whose PPD is
// new there (a queue added, or its PPD replaced by a driver upgrade or lpadmin) enabled again.

#include "brovane-enable/enable.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace enable {

// After a change, the folder must be still this long (ms) before the queues are looked at: the
// scheduler writes a PPD and its printers.conf in quick succession, and lpadmin may send several.
constexpr int kQuietMilliseconds = 700;
// The events that leave a PPD new in the folder: written, moved in, created.
constexpr uint32_t kPpdEvents = IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE;

// The watcher's inotify descriptor and its watches.
struct Watcher {
    int fd;          // the inotify descriptor
    int rootWatch;   // on the configuration folder, for a ppd folder made later
    int ppdWatch;    // on its ppd folder, -1 until it exists
    std::string ppd; // that folder's path
};
static Watcher watcher; // set up by watchQueues

std::string serverRoot()
{
    const char *root = std::getenv("CUPS_SERVERROOT");
    return root != nullptr && *root != '\0' ? root : "/etc/cups";
}

// Adds the watch on the ppd folder where it exists now.
static void watchPpdFolder()
{
    if (watcher.ppdWatch < 0)
        watcher.ppdWatch = inotify_add_watch(watcher.fd, watcher.ppd.c_str(), kPpdEvents | IN_ONLYDIR);
}

// Reads the events waiting on the descriptor and notes each queue whose PPD they name; false when
// the descriptor failed.
static bool collect(std::vector<std::string> &queues)
{
    // The kernel hands over whole events, each at most its header and NAME_MAX + 1 bytes; the
    // buffer holds at least one and is aligned for the headers.
    alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
    ssize_t got = read(watcher.fd, buffer, sizeof buffer);
    if (got < 0)
        return errno == EINTR || errno == EAGAIN;
    // Invariant: at + sizeof(inotify_event) + event->len <= got for every event read.
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
        const inotify_event *event = reinterpret_cast<const inotify_event *>(buffer + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        if (at > got)
            break;
        std::string name = event->len > 0 ? std::string(event->name) : std::string();
        if (event->wd == watcher.rootWatch) {
            if (name == "ppd")
                watchPpdFolder();
            continue;
        }
        if (event->wd != watcher.ppdWatch || name.size() <= 4 || name.compare(name.size() - 4, 4, ".ppd") != 0)
            continue;
        std::string queue = name.substr(0, name.size() - 4);
        if (std::find(queues.begin(), queues.end(), queue) == queues.end())
            queues.push_back(queue);
    }
    return true;
}

int watchQueues()
{
    watcher.fd = inotify_init1(IN_CLOEXEC);
    watcher.ppd = serverRoot() + "/ppd";
    watcher.ppdWatch = -1;
    watcher.rootWatch = watcher.fd < 0 ? -1
                                       : inotify_add_watch(watcher.fd, serverRoot().c_str(),
                                                           IN_CREATE | IN_MOVED_TO | IN_ONLYDIR);
    if (watcher.rootWatch < 0) {
        std::fprintf(stderr, "brovane-enable: can't watch %s: %s\n", serverRoot().c_str(), std::strerror(errno));
        return 1;
    }
    watchPpdFolder();
    std::printf("brovane-enable: watching %s: queues added or given a new PPD are enabled while %s says on\n",
                watcher.ppd.c_str(), automaticSettingPath().c_str());
    std::fflush(stdout);

    // First every queue there is (some may have come while nothing watched), then those whose PPD
    // changed. The process sleeps in read() until the folder changes: nothing wakes it otherwise.
    std::vector<std::string> queues;
    if (!queueNames(queues))
        std::printf("brovane-enable: the scheduler can't be asked for its queues now; waiting for changes\n");
    for (;;) {
        if (automaticIsOn())
            for (const std::string &queue : queues)
                enableAutomatically(queue);
        std::fflush(stdout);
        queues.clear();
        if (!collect(queues))
            break;
        pollfd more{watcher.fd, POLLIN, 0};
        int ready;
        while ((ready = poll(&more, 1, kQuietMilliseconds)) > 0 || (ready < 0 && errno == EINTR))
            if (ready > 0 && !collect(queues))
                break;
    }
    std::fprintf(stderr, "brovane-enable: watching %s failed: %s\n", watcher.ppd.c_str(), std::strerror(errno));
    return 1;
}

} // namespace enable
