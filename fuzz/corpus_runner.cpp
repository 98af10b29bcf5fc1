// Replays a fuzz target's corpus without libFuzzer: every file named, or found directly in a folder
// named, goes once through LLVMFuzzerTestOneInput, in name order. A crash or a sanitizer report ends
// the run; so does an argument with no input in it, so that a wrong path cannot pass unnoticed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

namespace fs = std::filesystem;

bool Replay(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", file.c_str());
        return false;
    }
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // A copy of exactly the input's size, as libFuzzer passes it: a read past its end is an overflow.
    std::unique_ptr<uint8_t[]> data(new uint8_t[bytes.size()]);
    std::copy(bytes.begin(), bytes.end(), data.get());
    std::printf("%s (%zu bytes)\n", file.c_str(), bytes.size());
    std::fflush(stdout);
    LLVMFuzzerTestOneInput(data.get(), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <corpus folder or file>...\n", argv[0]);
        return 2;
    }
    if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
    size_t total = 0;
    for (int i = 1; i < argc; ++i) {
        const fs::path arg(argv[i]);
        std::vector<fs::path> files;
        std::error_code ec;
        if (fs::is_directory(arg, ec)) {
            for (const auto& entry : fs::directory_iterator(arg, ec))
                if (entry.is_regular_file()) files.push_back(entry.path());
            std::sort(files.begin(), files.end());
        } else if (fs::is_regular_file(arg, ec)) {
            files.push_back(arg);
        }
        if (files.empty()) {
            std::fprintf(stderr, "no inputs in %s\n", argv[i]);
            return 1;
        }
        for (const auto& f : files) {
            if (!Replay(f)) return 1;
        }
        total += files.size();
    }
    std::printf("%zu inputs replayed\n", total);
    return 0;
}
