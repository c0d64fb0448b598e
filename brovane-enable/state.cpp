// What brovane-enable keeps between runs, under /etc/printfilters: whether new and regenerated
// queues are enabled automatically, and the queues the administrator gave back with --undo.

#include "brovane-enable/enable.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace enable {

// The folder, unless BROVANE_ENABLE_CONF names another (the tests' own).
constexpr const char *kConfFolder = "/etc/printfilters";
// Its files: "on" or "off"; one queue name a line.
constexpr const char *kAutoFile = "auto";
constexpr const char *kUndoneFile = "undone";
// Larger files are not ours: a queue name has at most 127 bytes, and no server has thousands of queues.
constexpr size_t kMaxStateBytes = 1u << 20;

static std::string pathOf(const char *file)
{
    const char *folder = std::getenv("BROVANE_ENABLE_CONF");
    return std::string(folder != nullptr && *folder != '\0' ? folder : kConfFolder) + "/" + file;
}

// The file's bytes; empty when it is missing, unreadable or too large.
static std::string readState(const char *file)
{
    std::string text;
    FILE *in = std::fopen(pathOf(file).c_str(), "re");
    if (in == nullptr)
        return text;
    char block[4096];
    size_t got;
    while ((got = std::fread(block, 1, sizeof block, in)) > 0 && text.size() <= kMaxStateBytes)
        text.append(block, got);
    std::fclose(in);
    return text.size() <= kMaxStateBytes ? text : std::string();
}

// Replaces the file with `text` at once (a new file renamed over it), the folder made where missing.
static bool writeState(const char *file, const std::string &text)
{
    std::string path = pathOf(file);
    std::string folder = path.substr(0, path.rfind('/'));
    if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST)
        return false;
    std::string temporary = path + ".new";
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ok = close(fd) == 0 && ok;
    if (!ok || rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool automaticIsOn()
{
    std::string text = readState(kAutoFile);
    return text == "on\n" || text == "on";
}

bool setAutomatic(bool on)
{
    return writeState(kAutoFile, on ? "on\n" : "off\n");
}

std::string automaticSettingPath()
{
    return pathOf(kAutoFile);
}

// The queues noted as given back, one a line.
static std::vector<std::string> undoneQueues()
{
    std::vector<std::string> names;
    std::string text = readState(kUndoneFile);
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end;
        if (end > at)
            names.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return names;
}

bool isUndone(const std::string &queue)
{
    std::vector<std::string> names = undoneQueues();
    return std::find(names.begin(), names.end(), queue) != names.end();
}

bool markUndone(const std::string &queue, bool undone)
{
    // The scheduler's queue names have no newline; one that had could not be told apart here.
    if (queue.empty() || queue.find('\n') != std::string::npos)
        return false;
    std::vector<std::string> names = undoneQueues();
    auto found = std::find(names.begin(), names.end(), queue);
    if ((found != names.end()) == undone)
        return true;
    if (undone)
        names.push_back(queue);
    else
        names.erase(found);
    std::string text;
    for (const std::string &name : names)
        text += name + "\n";
    return writeState(kUndoneFile, text);
}

} // namespace enable
