// replay_main.cpp - runs a fuzz target on saved inputs without libFuzzer, so
// that every input that once found a fault stays a regression test.
// Usage: <target>_replay FILE...   (a directory stands for every file in it)

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

namespace {

// Takes a file path; feeds its bytes to the target once. Returns false when
// the file cannot be read.
bool ReplayFile(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    std::vector<char> const bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size());
    return true;
}

} // namespace

int main(int argc, char **argv) {
    int replayed = 0;
    for (int i = 1; i < argc; ++i) {
        std::filesystem::path const argument(argv[i]);
        std::vector<std::filesystem::path> files;
        if (std::filesystem::is_directory(argument)) {
            for (const auto &entry : std::filesystem::directory_iterator(argument)) {
                files.push_back(entry.path());
            }
        } else {
            files.push_back(argument);
        }
        for (const auto &file : files) {
            if (!ReplayFile(file)) {
                return 1;
            }
            ++replayed;
        }
    }
    std::printf("%d inputs replayed, none broke an invariant\n", replayed);
    return replayed > 0 ? 0 : 1;
}
