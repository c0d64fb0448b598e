// brovane-enable's command line: the queue's PPD from the scheduler (or a file), the plan for it,
// and the change made with lpadmin, shown, or undone; for one queue, every queue, or automatically.

#include "brovane-enable/enable.h"

#include <cups/adminutil.h>
#include <cups/cups.h>
#include <cups/file.h>
#include <cups/ppd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <map>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace enable {

constexpr const char *kName = "brovane-enable";
// Where Debian keeps lpadmin; PATH is tried when it is not there.
constexpr const char *kLpadmin = "/usr/sbin/lpadmin";

// The command line.
struct Options {
    const char *queue;     // the queue to change (for --all, each in turn), or nullptr with --ppd
    const char *ppdFile;   // --ppd FILE: read it, write the result to standard output
    bool undo;             // --undo: give back the PPD as it was
    bool dryRun;           // --dry-run: show the change, make none
    bool all;              // --all: every queue, one line each, on standard output
    bool status;           // --status: what each queue offers phones, changing nothing
    bool watch;            // --watch: the automatic enabling itself (the service runs it)
    const char *automatic; // --auto on|off
    bool quiet;            // one line a queue, no discovery lines (--all, --watch)
};
static Options options; // parsed once in main

static int usage()
{
    std::fprintf(stderr,
                 "Usage: %s [--dry-run] QUEUE        let QUEUE take URF jobs through brovane and its own driver\n"
                 "       %s --undo [--dry-run] QUEUE give QUEUE back the PPD it had before\n"
                 "       %s [--undo] --ppd FILE      the same for a PPD file, the result on standard output\n"
                 "       %s [--undo] --all           every queue (--undo: every queue changed), a line each\n"
                 "       %s --status                 each queue: enabled or why not, what phones are offered\n"
                 "       %s --auto on|off            enable new queues, and queues given a new PPD, automatically\n"
                 "       %s --watch                  the automatic enabling itself, as its service runs it\n",
                 kName, kName, kName, kName, kName, kName, kName);
    return 2;
}

// Reads a whole file of at most kMaxPpdBytes; false with the reason.
// Through libcups' file calls, which read gzip-compressed PPDs (as driver
// packages ship them) as they read plain ones.
static bool readFile(const char *path, std::string &text, std::string &why)
{
    cups_file_t *file = cupsFileOpen(path, "r");
    if (file == nullptr) {
        why = std::string("can't open ") + path + ": " + std::strerror(errno);
        return false;
    }
    text.clear();
    char block[65536];
    ssize_t got;
    while ((got = cupsFileRead(file, block, sizeof block)) > 0) {
        text.append(block, static_cast<size_t>(got));
        if (text.size() > kMaxPpdBytes) {
            cupsFileClose(file);
            why = std::string(path) + " is larger than 16 MiB: not a PPD it will read";
            return false;
        }
    }
    // cupsFileRead gives -1 at the end of the file too: only an end short of
    // it is an error.
    int error = errno;
    bool atEnd = cupsFileEOF(file) != 0;
    cupsFileClose(file);
    if (got < 0 && !atEnd) {
        why = std::string("can't read ") + path + ": " + std::strerror(error);
        return false;
    }
    return true;
}

// Writes text to a new temporary file; its path, or an empty string.
static std::string writeTemp(const std::string &text)
{
    const char *dir = std::getenv("TMPDIR");
    std::string path = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/brovane-enable-XXXXXX";
    int fd = mkstemp(&path[0]);
    if (fd < 0)
        return std::string();
    size_t done = 0;
    while (done < text.size()) {
        ssize_t put = write(fd, text.data() + done, text.size() - done);
        if (put <= 0) {
            close(fd);
            unlink(path.c_str());
            return std::string();
        }
        done += static_cast<size_t>(put);
    }
    close(fd);
    return path;
}

// Runs a program (found on PATH) and waits for it: its exit status, or -1.
static int runProgram(const char *const argv[])
{
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, const_cast<char *const *>(argv), environ) != 0)
        return -1;
    int status;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The queue's PPD, fetched from the scheduler into a temporary file (path),
// which the caller removes.
static bool fetchPpd(const char *queue, std::string &path, std::string &text, std::string &why)
{
    const char *file = cupsGetPPD2(CUPS_HTTP_DEFAULT, queue);
    if (file == nullptr) {
        std::string error = cupsLastErrorString();
        cups_dest_t *dest = cupsGetNamedDest(CUPS_HTTP_DEFAULT, queue, nullptr);
        if (dest == nullptr) {
            why = "no such queue, or the scheduler can't be asked (" + error + ")";
        } else {
            why = "the queue has no PPD: a raw queue, or one that runs without a driver";
            cupsFreeDests(1, dest);
        }
        return false;
    }
    path = file;
    return readFile(file, text, why);
}

// Shows what would change, as a unified diff.
static void showChange(const std::string &before, const std::string &after)
{
    std::string a = writeTemp(before), b = writeTemp(after);
    if (!a.empty() && !b.empty()) {
        std::string labelA = std::string(options.queue) + " (now)";
        std::string labelB = std::string(options.queue) + " (changed)";
        const char *argv[] = {"diff", "-u", "--label", labelA.c_str(), "--label", labelB.c_str(),
                              a.c_str(), b.c_str(), nullptr};
        std::fflush(stdout);
        runProgram(argv);
    }
    if (!a.empty())
        unlink(a.c_str());
    if (!b.empty())
        unlink(b.c_str());
}

// Gives the queue the new PPD with lpadmin -P. False after a message.
static bool installPpd(const std::string &text)
{
    std::string path = writeTemp(text);
    if (path.empty()) {
        std::fprintf(stderr, "%s: %s: not changed: can't write a temporary file: %s\n", kName, options.queue,
                     std::strerror(errno));
        return false;
    }
    const char *program = access(kLpadmin, X_OK) == 0 ? kLpadmin : "lpadmin";
    const char *argv[] = {program, "-p", options.queue, "-P", path.c_str(), nullptr};
    int status = runProgram(argv);
    unlink(path.c_str());
    if (status != 0) {
        std::fprintf(stderr,
                     "%s: %s: not changed: lpadmin failed (status %d); changing a queue needs the rights "
                     "lpadmin needs (root, or a member of the scheduler's lpadmin group)\n",
                     kName, options.queue, status);
        return false;
    }
    return true;
}

// What the scheduler says of the queue now.
struct Advertised {
    std::string urf;       // urf-supported, joined by commas
    std::string pwgResolutions; // pwg-raster-document-resolution-supported, e.g. "300dpi,600x300dpi"
    std::string pwgTypes;  // pwg-raster-document-type-supported, joined by commas
    std::string qualities; // print-quality-supported, as keywords
    bool shared;           // printer-is-shared
    std::string dnsSdName; // printer-dns-sd-name: empty until announced by DNS-SD
};

// Asks the scheduler what it advertises for the queue. False when it can't
// be asked.
static bool advertised(Advertised &now)
{
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", 0, "/printers/%s",
                     options.queue);
    ipp_t *request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
    static const char *const wanted[] = {"urf-supported", "pwg-raster-document-resolution-supported",
                                         "pwg-raster-document-type-supported", "print-quality-supported",
                                         "printer-is-shared", "printer-dns-sd-name"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 6, nullptr, wanted);
    ipp_t *response = cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/");
    if (response == nullptr || ippGetStatusCode(response) > IPP_STATUS_OK_CONFLICTING) {
        ippDelete(response);
        return false;
    }
    now = Advertised{{}, {}, {}, {}, false, {}};
    ipp_attribute_t *attribute = ippFindAttribute(response, "urf-supported", IPP_TAG_KEYWORD);
    for (int i = 0; i < ippGetCount(attribute); i++)
        now.urf += std::string(now.urf.empty() ? "" : ",") + ippGetString(attribute, i, nullptr);
    // Resolutions as the scheduler gives them: dots per inch (or per cm),
    // written "300dpi" when square and "600x300dpi" when not.
    attribute = ippFindAttribute(response, "pwg-raster-document-resolution-supported", IPP_TAG_RESOLUTION);
    for (int i = 0; i < ippGetCount(attribute); i++) {
        ipp_res_t units;
        int y = 0;
        int x = ippGetResolution(attribute, i, &y, &units);
        std::string value = std::to_string(x) + (x == y ? "" : "x" + std::to_string(y)) +
                            (units == IPP_RES_PER_INCH ? "dpi" : "dpcm");
        now.pwgResolutions += (now.pwgResolutions.empty() ? "" : ",") + value;
    }
    attribute = ippFindAttribute(response, "pwg-raster-document-type-supported", IPP_TAG_KEYWORD);
    for (int i = 0; i < ippGetCount(attribute); i++)
        now.pwgTypes += std::string(now.pwgTypes.empty() ? "" : ",") + ippGetString(attribute, i, nullptr);
    static const char *const names[] = {"draft", "normal", "high"};
    attribute = ippFindAttribute(response, "print-quality-supported", IPP_TAG_ENUM);
    for (int i = 0; i < ippGetCount(attribute); i++) {
        int quality = ippGetInteger(attribute, i);
        if (quality >= IPP_QUALITY_DRAFT && quality <= IPP_QUALITY_HIGH)
            now.qualities += std::string(now.qualities.empty() ? "" : ",") + names[quality - IPP_QUALITY_DRAFT];
    }
    attribute = ippFindAttribute(response, "printer-is-shared", IPP_TAG_BOOLEAN);
    now.shared = attribute != nullptr && ippGetBoolean(attribute, 0) != 0;
    attribute = ippFindAttribute(response, "printer-dns-sd-name", IPP_TAG_NAME);
    const char *name = attribute != nullptr ? ippGetString(attribute, 0, nullptr) : nullptr;
    now.dnsSdName = name != nullptr ? name : "";
    ippDelete(response);
    return true;
}

// Whether a phone rendering at every resolution and in every form the queue
// advertises gets pages of their true size from brovane: each RS value is
// the resolution brovane prints at (a grey page keeps its pixels) and
// 24-bit colour is advertised only where brovane writes it. Empty when so,
// else why not.
static std::string notTrueSize(const std::string &urf, const Plan &plan)
{
    bool anyResolution = false;
    std::string why;
    size_t at = 0;
    while (at <= urf.size()) {
        size_t end = urf.find(',', at);
        end = end == std::string::npos ? urf.size() : end;
        std::string keyword = urf.substr(at, end - at);
        if (keyword.compare(0, 2, "RS") == 0) {
            // RS300 or RS300-600: every value must be brovane's resolution.
            size_t k = 2;
            while (k < keyword.size()) {
                size_t dash = keyword.find('-', k);
                dash = dash == std::string::npos ? keyword.size() : dash;
                std::string value = keyword.substr(k, dash - k);
                anyResolution = true;
                if (value != std::to_string(plan.resolution))
                    why = "it advertises " + keyword + ", brovane prints at " + std::to_string(plan.resolution) +
                          " dpi";
                k = dash + 1;
            }
        } else if (keyword == "SRGB24" && !plan.colour) {
            why = std::string("it advertises SRGB24, brovane prints ") + plan.kind;
        }
        at = end + 1;
    }
    if (!anyResolution && why.empty())
        why = "it advertises no URF resolution (urf-supported " + urf + ")";
    return why;
}

// The same for PWG raster, which phones render at one of the advertised
// resolutions in one of the advertised types: every resolution must be
// brovane's, and every type one that brovane-pwg converts into what the
// driver takes (colour only for a colour driver).
static std::string pwgNotTrueSize(const Advertised &now, const Plan &plan)
{
    std::string dpi = std::to_string(plan.resolution) + "dpi";
    auto values = [](const std::string &list) {
        std::vector<std::string> split;
        for (size_t at = 0; at < list.size();) {
            size_t end = list.find(',', at);
            end = end == std::string::npos ? list.size() : end;
            split.push_back(list.substr(at, end - at));
            at = end + 1;
        }
        return split;
    };
    std::vector<std::string> resolutions = values(now.pwgResolutions), types = values(now.pwgTypes);
    if (resolutions.empty())
        return "it advertises no PWG raster resolution";
    for (const std::string &resolution : resolutions)
        if (resolution != dpi)
            return "it advertises pwg-raster-document-resolution-supported " + resolution + ", brovane prints at " +
                   std::to_string(plan.resolution) + " dpi";
    for (const std::string &type : types) {
        bool grey = type == "black_1" || type == "black_8" || type == "sgray_8";
        bool colour = type == "srgb_8" || type == "rgb_8";
        if (colour && !plan.colour)
            return "it advertises pwg-raster-document-type-supported " + type + ", brovane prints " + plan.kind;
        if (!grey && !colour)
            return "it advertises pwg-raster-document-type-supported " + type + ", which brovane-pwg does not convert";
    }
    return std::string();
}

// Whether the scheduler's configuration listens only on this machine: no
// Port line, and every Listen a loopback address or a local socket. False
// as well when the file can't be had (only the administrator may read it).
static bool listensOnlyHere()
{
    std::string path = writeTemp(std::string());
    if (path.empty())
        return false;
    bool onlyHere = false;
    if (cupsGetFile(CUPS_HTTP_DEFAULT, "/admin/conf/cupsd.conf", path.c_str()) == HTTP_STATUS_OK) {
        onlyHere = true;
        cups_file_t *file = cupsFileOpen(path.c_str(), "r");
        char line[1024];
        char *value;
        int number = 0;
        while (file != nullptr && cupsFileGetConf(file, line, sizeof line, &value, &number) != nullptr) {
            if (strcasecmp(line, "Port") == 0)
                onlyHere = false;
            else if (strcasecmp(line, "Listen") == 0 && value != nullptr && value[0] != '/' &&
                     strncasecmp(value, "localhost:", 10) != 0 && std::strncmp(value, "127.", 4) != 0 &&
                     std::strncmp(value, "[::1]:", 6) != 0)
                onlyHere = false;
        }
        if (file != nullptr)
            cupsFileClose(file);
    }
    unlink(path.c_str());
    return onlyHere;
}

// The server's settings that decide whether phones find its queues.
struct Sharing {
    bool sharing;  // printers shared (_share_printers)
    bool dnssd;    // announced by DNS-SD (BrowseLocalProtocols)
    bool onlyHere; // listening on this machine only
};

static Sharing sharingSettings()
{
    int settingCount = 0;
    cups_option_t *settings = nullptr;
    Sharing server{true, true, false};
    if (cupsAdminGetServerSettings(CUPS_HTTP_DEFAULT, &settingCount, &settings)) {
        const char *value = cupsGetOption(CUPS_SERVER_SHARE_PRINTERS, settingCount, settings);
        server.sharing = value != nullptr && std::atoi(value) != 0;
        value = cupsGetOption("BrowseLocalProtocols", settingCount, settings);
        server.dnssd = value == nullptr || strcasestr(value, "dnssd") != nullptr;
        cupsFreeOptions(settingCount, settings);
    }
    server.onlyHere = server.sharing && listensOnlyHere();
    return server;
}

// What stands between an enabled queue and phones looking for printers by
// DNS-SD, each "what; the command that mends it"; the last only once the
// scheduler had time to announce it (`announced`).
static std::vector<std::string> blockers(const char *queue, const Advertised &now, const Sharing &server,
                                         bool announced)
{
    std::vector<std::string> found;
    if (!now.shared)
        found.push_back(std::string("the queue is not shared; lpadmin -p ") + queue + " -o printer-is-shared=true");
    if (!server.sharing)
        found.push_back("the scheduler does not share printers (it listens on this machine only); "
                        "cupsctl --share-printers");
    else if (server.onlyHere)
        found.push_back("the scheduler listens on this machine only; put \"Port 631\" for its \"Listen "
                        "localhost:631\" in /etc/cups/cupsd.conf and restart it");
    if (!server.dnssd)
        found.push_back("the scheduler does not announce printers by DNS-SD; cupsctl BrowseLocalProtocols=dnssd");
    if (found.empty() && announced && now.dnsSdName.empty())
        found.push_back("the scheduler has not announced it by DNS-SD (is avahi-daemon running?); "
                        "systemctl enable --now avahi-daemon, then systemctl restart cups");
    return found;
}

// What stands between the enabled queue and phones, one line each with the
// command that mends it, or that the scheduler announces it.
static void reportDiscovery(Advertised &now)
{
    const char *queue = options.queue;
    Sharing server = sharingSettings();
    std::vector<std::string> found = blockers(queue, now, server, false);
    // The scheduler announces a queue shortly after its change.
    for (int tries = 0; tries < 10 && found.empty() && now.dnsSdName.empty(); tries++) {
        usleep(300000);
        if (!advertised(now))
            break;
    }
    if (found.empty())
        found = blockers(queue, now, server, true);
    for (const std::string &blocker : found)
        std::printf("%s: %s: phones won't find it: %s\n", kName, queue, blocker.c_str());
    if (found.empty())
        std::printf("%s: %s: phones find it: announced by DNS-SD as \"%s\" with image/urf and image/pwg-raster\n",
                    kName, queue, now.dnsSdName.c_str());
}

// What a queue came to: changed or found right, refused (the reason said),
// or a failure (the scheduler or lpadmin).
constexpr int kDone = 0;
constexpr int kRefused = 1;
constexpr int kFailed = 3;

// Where a refusal is said: with the other lines where every queue gets one.
static FILE *refusals()
{
    return options.quiet ? stdout : stderr;
}

// --undo: the PPD kept inside the changed one. A queue given back by name
// is noted, so that automatic enabling leaves it alone until it is enabled
// by hand again (noted first: the new PPD wakes the watcher).
static int undo(const std::string &text)
{
    const char *what = options.queue != nullptr ? options.queue : options.ppdFile;
    std::string original;
    if (!originalOf(text, original)) {
        std::fprintf(refusals(), "%s: %s: nothing to undo: brovane-enable did not change it\n", kName, what);
        return kRefused;
    }
    if (options.queue == nullptr) {
        std::fwrite(original.data(), 1, original.size(), stdout);
        return 0;
    }
    if (options.dryRun) {
        showChange(text, original);
        std::printf("%s: %s: dry run, nothing changed\n", kName, what);
        return 0;
    }
    if (!options.all && !markUndone(options.queue, true))
        std::fprintf(stderr, "%s: %s: can't note in %s that it was given back: automatic enabling, where on, "
                     "may enable it again\n", kName, what, automaticSettingPath().c_str());
    if (!installPpd(original))
        return kFailed;
    std::printf("%s: %s: has its PPD as it was before again\n", kName, what);
    return kDone;
}

// Enabling: the plan, then the change, shown or made.
static int enableQueue(const char *path, const std::string &text)
{
    const char *what = options.queue != nullptr ? options.queue : options.ppdFile;
    // A queue changed by the first release, with a raster type clients could
    // see: planned again from the PPD it had, kept inside.
    std::string original;
    Plan plan;
    if (text.find(kEarlierRasterType) != std::string::npos && originalOf(text, original)) {
        std::string earlier = writeTemp(original);
        plan = earlier.empty() ? Plan{Verdict::refuse, "can't write a temporary file", {}, {}, 0, false}
                               : planFor(earlier.c_str(), original);
        if (!earlier.empty())
            unlink(earlier.c_str());
    } else {
        plan = planFor(path, text);
    }
    if (plan.verdict == Verdict::refuse) {
        std::fprintf(refusals(), "%s: %s: not changed: %s\n", kName, what, plan.reason.c_str());
        return kRefused;
    }
    FILE *report = options.queue != nullptr ? stdout : stderr;
    // Enabled by hand: no longer a queue the administrator gave back.
    if (options.queue != nullptr && !options.dryRun && !options.watch)
        markUndone(options.queue, false);
    if (plan.verdict == Verdict::already) {
        if (options.queue == nullptr)
            std::fwrite(text.data(), 1, text.size(), stdout);
        std::fprintf(report, "%s: %s: nothing to change: %s\n", kName, what, plan.reason.c_str());
        return kDone;
    }
    if (options.queue == nullptr) {
        std::fwrite(plan.changed.data(), 1, plan.changed.size(), stdout);
        std::fprintf(report, "%s: %s: URF jobs go through brovane, %s\n", kName, what, plan.summary.c_str());
        return 0;
    }
    if (options.dryRun) {
        showChange(text, plan.changed);
        std::printf("%s: %s: dry run, nothing changed; the change: URF jobs through brovane, %s\n", kName, what,
                    plan.summary.c_str());
        return 0;
    }
    if (!installPpd(plan.changed))
        return kFailed;
    // The scheduler derives what it advertises from the new PPD: checked
    // against what brovane prints, and the old PPD given back when a phone
    // would get pages of the wrong size.
    Advertised now;
    if (!advertised(now)) {
        std::string error = cupsLastErrorString();
        installPpd(text);
        std::fprintf(stderr, "%s: %s: not changed: the scheduler can't be asked what the queue advertises now "
                     "(%s); it has its PPD as it was\n", kName, what, error.c_str());
        return kFailed;
    }
    std::string why = notTrueSize(now.urf, plan);
    if (why.empty())
        why = pwgNotTrueSize(now, plan);
    if (!why.empty()) {
        installPpd(text);
        std::fprintf(refusals(), "%s: %s: not changed: %s, so phones' pages would print at the wrong size; it "
                     "has its PPD as it was\n", kName, what, why.c_str());
        return kRefused;
    }
    std::printf("%s: %s: takes URF and PWG raster jobs now: through brovane, %s; it advertises urf-supported %s, "
                "pwg-raster-document-resolution-supported %s, pwg-raster-document-type-supported %s, "
                "print-quality-supported %s\n", kName, what, plan.summary.c_str(), now.urf.c_str(),
                now.pwgResolutions.c_str(), now.pwgTypes.empty() ? "(none)" : now.pwgTypes.c_str(),
                now.qualities.empty() ? "(none)" : now.qualities.c_str());
    if (!options.quiet)
        reportDiscovery(now);
    return kDone;
}

bool queueNames(std::vector<std::string> &names)
{
    names.clear();
    ipp_t *request = ippNewRequest(IPP_OP_CUPS_GET_PRINTERS);
    static const char *const wanted[] = {"printer-name", "printer-type"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr, wanted);
    ipp_t *response = cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/");
    // No queues at all is an answer too (status "not found").
    if (response == nullptr || (ippGetStatusCode(response) > IPP_STATUS_OK_CONFLICTING &&
                                ippGetStatusCode(response) != IPP_STATUS_ERROR_NOT_FOUND)) {
        ippDelete(response);
        return false;
    }
    // One group of attributes a queue; classes and other servers' queues have no PPD of this server's.
    std::string name;
    int type = 0;
    auto take = [&]() {
        if (!name.empty() && (type & (CUPS_PRINTER_CLASS | CUPS_PRINTER_REMOTE)) == 0)
            names.push_back(name);
        name.clear();
        type = 0;
    };
    for (ipp_attribute_t *attribute = ippFirstAttribute(response); attribute != nullptr;
         attribute = ippNextAttribute(response)) {
        const char *attributeName = ippGetName(attribute);
        if (attributeName == nullptr) {
            take();
        } else if (std::strcmp(attributeName, "printer-name") == 0 && ippGetValueTag(attribute) == IPP_TAG_NAME) {
            const char *value = ippGetString(attribute, 0, nullptr);
            name = value != nullptr ? value : "";
        } else if (std::strcmp(attributeName, "printer-type") == 0) {
            type = ippGetInteger(attribute, 0);
        }
    }
    take();
    ippDelete(response);
    std::sort(names.begin(), names.end());
    return true;
}

// A queue's PPD as the scheduler gives it, in a temporary file that goes with it.
struct QueuePpd {
    std::string path; // the temporary file
    std::string text; // its bytes
    std::string why;  // why there is none
    bool fetched;
    explicit QueuePpd(const char *queue) : fetched(fetchPpd(queue, path, text, why)) {}
    ~QueuePpd()
    {
        if (!path.empty())
            unlink(path.c_str());
    }
    QueuePpd(const QueuePpd &) = delete;
    QueuePpd &operator=(const QueuePpd &) = delete;
};

// One queue, as the options say, on its PPD: enabled or given back.
static int runQueue(const char *queue, const QueuePpd &ppd)
{
    options.queue = queue;
    if (!ppd.fetched) {
        std::fprintf(refusals(), "%s: %s: not changed: %s\n", kName, queue, ppd.why.c_str());
        return kRefused;
    }
    return options.undo ? undo(ppd.text) : enableQueue(ppd.path.c_str(), ppd.text);
}

// --undo --all where the scheduler is not running (a package removed while
// it is stopped): each changed PPD in its folder replaced by the one kept
// inside, with the file's owner and mode; the scheduler reads them when it
// starts.
static int undoInFolder()
{
    std::string folder = serverRoot() + "/ppd";
    DIR *dir = opendir(folder.c_str());
    if (dir == nullptr) {
        std::fprintf(stderr, "%s: the scheduler can't be asked for its queues, and %s can't be read: %s\n", kName,
                     folder.c_str(), std::strerror(errno));
        return 1;
    }
    std::vector<std::string> files;
    while (dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".ppd") == 0)
            files.push_back(name);
    }
    closedir(dir);
    std::sort(files.begin(), files.end());
    int status = 0;
    for (const std::string &file : files) {
        std::string path = folder + "/" + file, text, why, original;
        struct stat info;
        if (!readFile(path.c_str(), text, why) || !isEnabled(text) || !originalOf(text, original) ||
            stat(path.c_str(), &info) != 0)
            continue;
        std::string temporary = path + ".brovane-enable";
        int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, info.st_mode & 07777);
        bool ok = fd >= 0 && write(fd, original.data(), original.size()) == static_cast<ssize_t>(original.size()) &&
                  fchown(fd, info.st_uid, info.st_gid) == 0;
        if (fd >= 0)
            ok = close(fd) == 0 && ok;
        if (!ok || rename(temporary.c_str(), path.c_str()) != 0) {
            unlink(temporary.c_str());
            std::fprintf(stderr, "%s: %s: can't give back its PPD in %s: %s\n", kName,
                         file.substr(0, file.size() - 4).c_str(), folder.c_str(), std::strerror(errno));
            status = 1;
            continue;
        }
        std::printf("%s: %s: has its PPD as it was before again (in %s: the scheduler is not running)\n", kName,
                    file.substr(0, file.size() - 4).c_str(), folder.c_str());
    }
    return status;
}

// --all: every queue, a line each; with --undo every queue brovane-enable
// changed (as the package's removal does it: none is noted as given back by
// the administrator). Queues the administrator gave back are left as they
// are. 0 unless a queue could not be changed or the scheduler not asked.
static int allQueues()
{
    std::vector<std::string> names;
    bool reached = queueNames(names);
    if (!reached && options.undo)
        return undoInFolder();
    if (!reached) {
        std::fprintf(stderr, "%s: the scheduler can't be asked for its queues: %s\n", kName, cupsLastErrorString());
        return 1;
    }
    if (names.empty())
        std::printf("%s: the scheduler has no queues\n", kName);
    int status = 0;
    for (const std::string &queue : names) {
        if (!options.undo && isUndone(queue)) {
            std::printf("%s: %s: left as it is: given back with --undo; brovane-enable %s enables it again\n", kName,
                        queue.c_str(), queue.c_str());
            continue;
        }
        // With --undo only the queues it changed: the others have nothing to give back.
        QueuePpd ppd(queue.c_str());
        if (options.undo && !(ppd.fetched && isEnabled(ppd.text)))
            continue;
        if (runQueue(queue.c_str(), ppd) == kFailed)
            status = 1;
    }
    return status;
}

// What automatic enabling remembers while it runs.
struct Automatic {
    // The PPD (by its hash) of each queue it could not enable, so that the
    // same PPD is not tried again: a change given back (the scheduler
    // advertising what brovane does not print) writes that PPD anew, which
    // would wake the watcher for it without end.
    std::map<std::string, size_t> notEnabled;
};
static Automatic automatic; // for the watcher's whole run

void enableAutomatically(const std::string &queue)
{
    if (isUndone(queue))
        return;
    QueuePpd ppd(queue.c_str());
    // Enabled already (the watcher's own change comes back as an event), or gone, or raw: nothing to do.
    if (!ppd.fetched || isEnabled(ppd.text))
        return;
    size_t hash = std::hash<std::string>{}(ppd.text);
    auto tried = automatic.notEnabled.find(queue);
    if (tried != automatic.notEnabled.end() && tried->second == hash)
        return;
    if (runQueue(queue.c_str(), ppd) == kDone)
        automatic.notEnabled.erase(queue);
    else
        automatic.notEnabled[queue] = hash;
}

// --status: a line a queue, nothing changed.
static int showStatus()
{
    std::vector<std::string> names;
    if (!queueNames(names)) {
        std::fprintf(stderr, "%s: the scheduler can't be asked for its queues: %s\n", kName, cupsLastErrorString());
        return 1;
    }
    if (names.empty())
        std::printf("%s: the scheduler has no queues\n", kName);
    bool automaticOn = automaticIsOn();
    Sharing server = sharingSettings();
    for (const std::string &name : names) {
        const char *queue = name.c_str();
        options.queue = queue;
        QueuePpd ppd(queue);
        std::string line;
        Advertised now;
        if (ppd.fetched && isEnabled(ppd.text) && advertised(now)) {
            // What a phone sees: the formats, the resolution it renders at, and the colours.
            std::string resolution = "?";
            size_t at = now.urf.find("RS");
            if (at != std::string::npos)
                resolution = now.urf.substr(at + 2, now.urf.find(',', at) - at - 2);
            bool colour = now.urf.find("SRGB24") != std::string::npos;
            line = "enabled: phones are offered image/urf and image/pwg-raster at " + resolution + " dpi, " +
                   (colour ? "colour and grey" : "grey only") + " (urf-supported " + now.urf +
                   ", pwg-raster-document-type-supported " + (now.pwgTypes.empty() ? "(none)" : now.pwgTypes) +
                   "); ";
            std::vector<std::string> found = blockers(queue, now, server, true);
            line += found.empty() ? "phones find it: announced by DNS-SD as \"" + now.dnsSdName + "\""
                                  : "phones won't find it: " + found[0];
        } else if (!ppd.fetched) {
            line = "not enabled: " + ppd.why;
        } else if (isUndone(name)) {
            line = "not enabled: given back with --undo; brovane-enable " + name + " enables it again";
        } else {
            Plan plan = planFor(ppd.path.c_str(), ppd.text, false);
            if (plan.verdict == Verdict::refuse)
                line = "not enabled: " + plan.reason;
            else if (plan.verdict == Verdict::already)
                line = "takes URF jobs without brovane-enable: " + plan.reason;
            else
                line = std::string("not enabled yet: brovane can serve it") +
                       (automaticOn ? " (automatic enabling is on: brovane-enable --watch does it when it runs)"
                                  : "; brovane-enable " + name);
        }
        std::printf("%s: %s: %s\n", kName, queue, line.c_str());
    }
    std::printf("%s: automatic enabling is %s (%s)\n", kName, automaticOn ? "on" : "off",
                automaticSettingPath().c_str());
    return 0;
}

// The service that runs the watcher, where systemd runs the machine.
constexpr const char *kService = "printfilters-auto.service";

// --auto on|off: the setting, the queues enabled now, and the service started or stopped.
static int setAutomaticCommand(bool on)
{
    if (!setAutomatic(on)) {
        std::fprintf(stderr, "%s: can't write %s: %s\n", kName, automaticSettingPath().c_str(), std::strerror(errno));
        return 1;
    }
    int status = 0;
    if (on) {
        options.all = options.quiet = true;
        status = allQueues();
    }
    bool systemd = access("/run/systemd/system", F_OK) == 0;
    if (systemd) {
        const char *argv[] = {"systemctl", on ? "enable" : "disable", "--now", kService, nullptr};
        if (runProgram(argv) != 0) {
            std::fprintf(stderr, "%s: systemctl %s --now %s failed\n", kName, argv[1], kService);
            status = 1;
        }
    }
    if (on)
        std::printf("%s: automatic enabling is on (%s): queues added, and queues given a new PPD, are enabled "
                    "within seconds%s\n", kName, automaticSettingPath().c_str(),
                    systemd ? std::string(" by ").append(kService).c_str()
                            : "; this machine has no systemd: have brovane-enable --watch run (as root) with the "
                              "scheduler");
    else
        std::printf("%s: automatic enabling is off (%s)\n", kName, automaticSettingPath().c_str());
    return status;
}

} // namespace enable

int main(int argc, char **argv)
{
    using namespace enable;
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--undo") == 0)
            options.undo = true;
        else if (std::strcmp(argv[i], "--dry-run") == 0)
            options.dryRun = true;
        else if (std::strcmp(argv[i], "--ppd") == 0 && i + 1 < argc)
            options.ppdFile = argv[++i];
        else if (std::strcmp(argv[i], "--all") == 0)
            options.all = true;
        else if (std::strcmp(argv[i], "--status") == 0)
            options.status = true;
        else if (std::strcmp(argv[i], "--watch") == 0)
            options.watch = true;
        else if (std::strcmp(argv[i], "--auto") == 0 && i + 1 < argc &&
                 (std::strcmp(argv[i + 1], "on") == 0 || std::strcmp(argv[i + 1], "off") == 0))
            options.automatic = argv[++i];
        else if (argv[i][0] == '-' || options.queue != nullptr)
            return usage();
        else
            options.queue = argv[i];
    }
    // One thing at a time: a queue, a PPD file, every queue, the status, the setting, the watcher.
    int modes = (options.queue != nullptr) + (options.ppdFile != nullptr) + options.all + options.status +
                (options.automatic != nullptr) + options.watch;
    bool undoable = !options.status && options.automatic == nullptr && !options.watch;
    if (modes != 1 || (options.undo && !undoable) || (options.dryRun && options.queue == nullptr))
        return usage();
    options.quiet = options.all || options.watch;
    if (options.status)
        return showStatus();
    if (options.automatic != nullptr)
        return setAutomaticCommand(std::strcmp(options.automatic, "on") == 0);
    if (options.watch)
        return watchQueues();
    if (options.all)
        return allQueues();
    if (options.queue != nullptr) {
        QueuePpd ppd(options.queue);
        return runQueue(options.queue, ppd) == kDone ? 0 : 1;
    }

    // A PPD file: the result on standard output.
    std::string text, why;
    if (!readFile(options.ppdFile, text, why)) {
        std::fprintf(stderr, "%s: %s: not changed: %s\n", kName, options.ppdFile, why.c_str());
        return 1;
    }
    return (options.undo ? undo(text) : enableQueue(options.ppdFile, text)) == kDone ? 0 : 1;
}
