// Replays a fuzz target's seed corpus: every file named on the command line, or
// found directly inside a directory named there, is handed to the target once.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {
int replay_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return 1;
    }
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // A fresh heap copy of the exact size, so that a read past the end is caught.
    std::vector<uint8_t> input(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(input.data(), input.size());
    return 0;
}
}  // namespace

int main(int argc, char** argv) {
    int failures = 0;
    size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        std::filesystem::path arg(argv[i]);
        if (std::filesystem::is_directory(arg)) {
            for (const auto& entry : std::filesystem::directory_iterator(arg)) {
                if (entry.is_regular_file()) {
                    failures += replay_file(entry.path());
                    ++count;
                }
            }
        } else {
            failures += replay_file(arg);
            ++count;
        }
    }
    std::printf("replayed %zu inputs\n", count);
    return failures == 0 ? 0 : 1;
}
