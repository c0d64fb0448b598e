// Asks a scheduler on its local socket about jobs and printers through libcups,
// so the end-to-end test can wait for a job's final state (cupsGetJobs2).
//
//   jobstate SOCKET list                     one line a job: "<id> <state> <printer>"
//   jobstate SOCKET wait JOB SECONDS         waits until the job is stopped, canceled,
//                                            aborted or completed; prints "<id> <state>"
//   jobstate SOCKET printer NAME             "<state> <reasons>" of a printer
//
// Exit status: 0 on an answer, 2 when the wait ran out, 1 on any other failure.
#include <cups/cups.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

const char *jobStateName(ipp_jstate_t state)
{
    switch (state) {
    case IPP_JSTATE_PENDING: return "pending";
    case IPP_JSTATE_HELD: return "held";
    case IPP_JSTATE_PROCESSING: return "processing";
    case IPP_JSTATE_STOPPED: return "stopped";
    case IPP_JSTATE_CANCELED: return "canceled";
    case IPP_JSTATE_ABORTED: return "aborted";
    case IPP_JSTATE_COMPLETED: return "completed";
    }
    return "unknown";
}

// States after which the scheduler does nothing more with a job on its own.
bool isFinal(ipp_jstate_t state)
{
    return state >= IPP_JSTATE_STOPPED;
}

http_t *connectTo(const char *socketPath)
{
    http_t *http = httpConnect2(socketPath, 0, nullptr, AF_LOCAL, HTTP_ENCRYPTION_NEVER, 1, 30000, nullptr);
    if (!http)
        std::fprintf(stderr, "jobstate: can't connect to %s: %s\n", socketPath, cupsLastErrorString());
    return http;
}

// Looks the job up among all jobs of all users; false when the request failed.
bool findJob(http_t *http, int id, bool &found, ipp_jstate_t &state)
{
    cups_job_t *jobs = nullptr;
    int count = cupsGetJobs2(http, &jobs, nullptr, 0, CUPS_WHICHJOBS_ALL);
    if (count < 0) {
        std::fprintf(stderr, "jobstate: Get-Jobs failed: %s\n", cupsLastErrorString());
        return false;
    }
    found = false;
    for (int i = 0; i < count; i++) {
        if (jobs[i].id == id) {
            found = true;
            state = jobs[i].state;
        }
    }
    cupsFreeJobs(count, jobs);
    return true;
}

int listJobs(http_t *http)
{
    cups_job_t *jobs = nullptr;
    int count = cupsGetJobs2(http, &jobs, nullptr, 0, CUPS_WHICHJOBS_ALL);
    if (count < 0) {
        std::fprintf(stderr, "jobstate: Get-Jobs failed: %s\n", cupsLastErrorString());
        return 1;
    }
    for (int i = 0; i < count; i++)
        std::printf("%d %s %s\n", jobs[i].id, jobStateName(jobs[i].state), jobs[i].dest ? jobs[i].dest : "");
    cupsFreeJobs(count, jobs);
    return 0;
}

int waitJob(http_t *http, int id, double seconds)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    bool found = false;
    ipp_jstate_t state = IPP_JSTATE_PENDING;
    for (;;) {
        if (!findJob(http, id, found, state))
            return 1;
        if (found && isFinal(state)) {
            std::printf("%d %s\n", id, jobStateName(state));
            return 0;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            std::printf("%d %s\n", id, found ? jobStateName(state) : "gone");
            return 2;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

int printerState(http_t *http, const char *name)
{
    cups_dest_t *dests = nullptr;
    int count = cupsGetDests2(http, &dests);
    cups_dest_t *dest = cupsGetDest(name, nullptr, count, dests);
    if (!dest) {
        std::fprintf(stderr, "jobstate: no printer %s\n", name);
        cupsFreeDests(count, dests);
        return 1;
    }
    const char *state = cupsGetOption("printer-state", dest->num_options, dest->options);
    const char *reasons = cupsGetOption("printer-state-reasons", dest->num_options, dest->options);
    const char *stateName = "unknown";
    if (state) {
        switch (std::atoi(state)) {
        case IPP_PSTATE_IDLE: stateName = "idle"; break;
        case IPP_PSTATE_PROCESSING: stateName = "processing"; break;
        case IPP_PSTATE_STOPPED: stateName = "stopped"; break;
        }
    }
    std::printf("%s %s\n", stateName, reasons ? reasons : "none");
    cupsFreeDests(count, dests);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: jobstate SOCKET list | wait JOB SECONDS | printer NAME\n");
        return 1;
    }
    std::string command = argv[2];
    if (!((command == "list" && argc == 3) || (command == "wait" && argc == 5) ||
          (command == "printer" && argc == 4))) {
        std::fprintf(stderr, "jobstate: bad arguments for %s\n", command.c_str());
        return 1;
    }
    http_t *http = connectTo(argv[1]);
    if (!http)
        return 1;
    int status = 1;
    if (command == "list")
        status = listJobs(http);
    else if (command == "wait")
        status = waitJob(http, std::atoi(argv[3]), std::atof(argv[4]));
    else
        status = printerState(http, argv[3]);
    httpClose(http);
    return status;
}
