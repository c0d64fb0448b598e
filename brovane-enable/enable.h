// brovane-enable: puts brovane in front of a queue's own raster driver, so
// that the queue takes URF jobs and its driver prints what brovane writes.
#pragma once

#include <string>
#include <vector>

namespace enable {

// The type brovane's raster goes by between brovane and an enabled queue's
// driver. The package's MIME files declare it and convert image/urf into it
// with brovane; only a PPD that sends this type to its driver (what
// brovane-enable adds) makes a queue take URF jobs. The scheduler lists no
// "printer/" type among the formats a queue takes, and refuses jobs in one,
// so clients never see it or send it straight to the driver.
constexpr const char *kRasterType = "printer/vnd.printfilters-raster";
// The type the first release used, which clients saw and could send: a
// queue whose PPD has it is enabled again from the PPD kept inside.
constexpr const char *kEarlierRasterType = "application/vnd.printfilters-raster";

// Queues whose default page is narrower than this (in points, 4.5 inches)
// print on a roll or labels: receipt and label printers.
constexpr float kSmallMediaWidth = 324.0f;

// Largest PPD read: a driver's PPD with every option of a large printer
// stays well under 1 MiB.
constexpr size_t kMaxPpdBytes = 16u << 20;

// What enabling a queue comes to.
enum class Verdict {
    change,  // `changed` holds the new PPD, `summary` says what it does
    already, // the queue takes URF jobs already; `reason` says how
    refuse,  // brovane can't serve the queue; `reason` says why
};

struct Plan {
    Verdict verdict;
    std::string reason;  // for already and refuse: one line, no newline
    std::string changed; // for change: the whole new PPD
    std::string summary; // for change: e.g. "then rastertolabel, 1-bit black at 203 dpi"
    unsigned resolution; // for change: the dots per inch brovane writes, with every print quality
    bool colour;         // for change: 24-bit colour (else 1-bit black or 8-bit grey)
    const char *kind = "1-bit black"; // for change: what brovane writes, "8-bit grey", "24-bit colour"
};

// Works out the plan for the PPD at `path`, whose bytes are `text`.
// Without `askDriver` no driver is run to learn its margins (a quick verdict).
Plan planFor(const char *path, const std::string &text, bool askDriver = true);

// The PPD as it was before brovane-enable changed it, kept inside the
// changed one. False when `text` holds none (or a damaged one).
bool originalOf(const std::string &text, std::string &original);
// Whether `text` is a PPD brovane-enable changed (its raster line and the original inside).
bool isEnabled(const std::string &text);

// Settings kept between runs (state.cpp): automatic enabling on or off, and
// the queues the administrator gave back with --undo, which it leaves alone.
bool automaticIsOn();
bool setAutomatic(bool on);
std::string automaticSettingPath();
bool isUndone(const std::string &queue);
bool markUndone(const std::string &queue, bool undone);

// The scheduler's configuration folder (CUPS_SERVERROOT, else /etc/cups),
// whose ppd folder holds every queue's PPD.
std::string serverRoot();
// Enables the queue where it was not, as the automatic enabling does: queues
// given back with --undo, and those enabled already, are left as they are.
void enableAutomatically(const std::string &queue);
// Every local queue's name (not classes, not other servers' queues), sorted;
// false when the scheduler can't be asked.
bool queueNames(std::vector<std::string> &names);
// Watches the scheduler's PPD folder and enables every queue added or given a
// new PPD while automatic enabling is on; runs until stopped.
int watchQueues();

} // namespace enable
