// brovane-enable's command line: the queue's PPD from the scheduler (or a
// file), the plan for it, and the change made with lpadmin, shown, or undone.

#include "brovane-enable/enable.h"

#include <cups/adminutil.h>
#include <cups/cups.h>
#include <cups/file.h>
#include <cups/ppd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <spawn.h>
#include <string>
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
    const char *queue;   // the queue to change, or nullptr with --ppd
    const char *ppdFile; // --ppd FILE: read it, write the result to standard output
    bool undo;           // --undo: give back the PPD as it was
    bool dryRun;         // --dry-run: show the change, make none
};
static Options options; // parsed once in main

static int usage()
{
    std::fprintf(stderr,
                 "Usage: %s [--dry-run] QUEUE        let QUEUE take URF jobs through brovane and its own driver\n"
                 "       %s --undo [--dry-run] QUEUE give QUEUE back the PPD it had before\n"
                 "       %s [--undo] --ppd FILE      the same for a PPD file, the result on standard output\n",
                 kName, kName, kName);
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

// What stands between the enabled queue and phones looking for printers by
// DNS-SD, one line each with the command that mends it, or that the
// scheduler announces it.
static void reportDiscovery(Advertised &now)
{
    const char *queue = options.queue;
    int settingCount = 0;
    cups_option_t *settings = nullptr;
    bool sharing = true, dnssd = true;
    if (cupsAdminGetServerSettings(CUPS_HTTP_DEFAULT, &settingCount, &settings)) {
        const char *value = cupsGetOption(CUPS_SERVER_SHARE_PRINTERS, settingCount, settings);
        sharing = value != nullptr && std::atoi(value) != 0;
        value = cupsGetOption("BrowseLocalProtocols", settingCount, settings);
        dnssd = value == nullptr || strcasestr(value, "dnssd") != nullptr;
        cupsFreeOptions(settingCount, settings);
    }
    bool blocked = false;
    auto blocker = [&](const std::string &what, const std::string &command) {
        std::printf("%s: %s: phones won't find it: %s; %s\n", kName, queue, what.c_str(), command.c_str());
        blocked = true;
    };
    if (!now.shared)
        blocker("the queue is not shared", std::string("lpadmin -p ") + queue + " -o printer-is-shared=true");
    if (!sharing)
        blocker("the scheduler does not share printers (it listens on this machine only)", "cupsctl --share-printers");
    else if (listensOnlyHere())
        blocker("the scheduler listens on this machine only",
                "put \"Port 631\" for its \"Listen localhost:631\" in /etc/cups/cupsd.conf and restart it");
    if (!dnssd)
        blocker("the scheduler does not announce printers by DNS-SD", "cupsctl BrowseLocalProtocols=dnssd");
    if (blocked)
        return;
    // The scheduler announces a queue shortly after its change.
    for (int tries = 0; tries < 10 && now.dnsSdName.empty(); tries++) {
        usleep(300000);
        if (!advertised(now))
            break;
    }
    if (now.dnsSdName.empty())
        blocker("the scheduler has not announced it by DNS-SD (is avahi-daemon running?)",
                "systemctl enable --now avahi-daemon, then systemctl restart cups");
    else
        std::printf("%s: %s: phones find it: announced by DNS-SD as \"%s\" with image/urf and image/pwg-raster\n", kName, queue,
                    now.dnsSdName.c_str());
}

// --undo: the PPD kept inside the changed one.
static int undo(const std::string &text)
{
    const char *what = options.queue != nullptr ? options.queue : options.ppdFile;
    std::string original;
    if (!originalOf(text, original)) {
        std::fprintf(stderr, "%s: %s: nothing to undo: brovane-enable did not change it\n", kName, what);
        return 1;
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
    if (!installPpd(original))
        return 1;
    std::printf("%s: %s: has its PPD as it was before again\n", kName, what);
    return 0;
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
        std::fprintf(stderr, "%s: %s: not changed: %s\n", kName, what, plan.reason.c_str());
        return 1;
    }
    FILE *report = options.queue != nullptr ? stdout : stderr;
    if (plan.verdict == Verdict::already) {
        if (options.queue == nullptr)
            std::fwrite(text.data(), 1, text.size(), stdout);
        std::fprintf(report, "%s: %s: nothing to change: %s\n", kName, what, plan.reason.c_str());
        return 0;
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
        return 1;
    // The scheduler derives what it advertises from the new PPD: checked
    // against what brovane prints, and the old PPD given back when a phone
    // would get pages of the wrong size.
    Advertised now;
    if (!advertised(now)) {
        std::string error = cupsLastErrorString();
        installPpd(text);
        std::fprintf(stderr, "%s: %s: not changed: the scheduler can't be asked what the queue advertises now "
                     "(%s); it has its PPD as it was\n", kName, what, error.c_str());
        return 1;
    }
    std::string why = notTrueSize(now.urf, plan);
    if (why.empty())
        why = pwgNotTrueSize(now, plan);
    if (!why.empty()) {
        installPpd(text);
        std::fprintf(stderr, "%s: %s: not changed: %s, so phones' pages would print at the wrong size; it has "
                     "its PPD as it was\n", kName, what, why.c_str());
        return 1;
    }
    std::printf("%s: %s: takes URF and PWG raster jobs now: through brovane, %s; it advertises urf-supported %s, "
                "pwg-raster-document-resolution-supported %s, pwg-raster-document-type-supported %s, "
                "print-quality-supported %s\n", kName, what, plan.summary.c_str(), now.urf.c_str(),
                now.pwgResolutions.c_str(), now.pwgTypes.empty() ? "(none)" : now.pwgTypes.c_str(),
                now.qualities.empty() ? "(none)" : now.qualities.c_str());
    reportDiscovery(now);
    return 0;
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
        else if (argv[i][0] == '-' || options.queue != nullptr)
            return usage();
        else
            options.queue = argv[i];
    }
    if ((options.queue == nullptr) == (options.ppdFile == nullptr) || (options.ppdFile && options.dryRun))
        return usage();

    // The PPD as it stands: the file given, or the queue's from the scheduler.
    std::string text, why, path;
    if (options.ppdFile != nullptr) {
        path = options.ppdFile;
        if (!readFile(options.ppdFile, text, why)) {
            std::fprintf(stderr, "%s: %s: not changed: %s\n", kName, options.ppdFile, why.c_str());
            return 1;
        }
    } else if (!fetchPpd(options.queue, path, text, why)) {
        if (!path.empty())
            unlink(path.c_str());
        std::fprintf(stderr, "%s: %s: not changed: %s\n", kName, options.queue, why.c_str());
        return 1;
    }
    int status = options.undo ? undo(text) : enableQueue(path.c_str(), text);
    if (options.ppdFile == nullptr)
        unlink(path.c_str());
    return status;
}
