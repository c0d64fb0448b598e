// Replays fuzz inputs without libFuzzer: every file named on the command
// line (or found in a named folder) goes through the harness once.

#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

static int replayFile(const std::string &path)
{
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        std::perror(path.c_str());
        return 1;
    }
    std::vector<uint8_t> data;
    uint8_t buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        data.insert(data.end(), buffer, buffer + n);
    std::fclose(f);
    LLVMFuzzerTestOneInput(data.data(), data.size());
    return 0;
}

int main(int argc, char **argv)
{
    int failures = 0, count = 0;
    for (int i = 1; i < argc; i++) {
        struct stat info;
        if (stat(argv[i], &info) != 0) {
            std::perror(argv[i]);
            failures++;
            continue;
        }
        if (!S_ISDIR(info.st_mode)) {
            failures += replayFile(argv[i]);
            count++;
            continue;
        }
        DIR *dir = opendir(argv[i]);
        while (struct dirent *entry = dir != nullptr ? readdir(dir) : nullptr) {
            if (entry->d_name[0] == '.')
                continue;
            failures += replayFile(std::string(argv[i]) + "/" + entry->d_name);
            count++;
        }
        if (dir != nullptr)
            closedir(dir);
    }
    std::fprintf(stderr, "replayed %d inputs\n", count);
    return failures == 0 ? 0 : 1;
}
