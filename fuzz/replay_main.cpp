// Replays fuzz inputs without libFuzzer: each argument is a file, or a
// directory whose files are replayed in name order. Built with the ordinary
// host compilers, so the committed corpus and every finding run in CTest;
// a finding that still fails stops the run the way it stopped the fuzzer.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        fs::path arg(argv[i]);
        if (fs::is_directory(arg)) {
            std::vector<fs::path> in;
            for (const auto& entry : fs::directory_iterator(arg))
                if (entry.is_regular_file())
                    in.push_back(entry.path());
            std::sort(in.begin(), in.end());
            files.insert(files.end(), in.begin(), in.end());
        } else {
            files.push_back(arg);
        }
    }
    for (const auto& file : files) {
        std::ifstream stream(file, std::ios::binary);
        std::vector<uint8_t> data((std::istreambuf_iterator<char>(stream)),
                                  std::istreambuf_iterator<char>());
        std::fprintf(stderr, "replay %s (%zu bytes)\n", file.c_str(), data.size());
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    std::printf("%zu inputs replayed\n", files.size());
    return 0;
}
