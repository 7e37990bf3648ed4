// Runs a fuzz target without libFuzzer on saved inputs: each argument is a file or a
// directory of files, one input each. A broken invariant aborts as it does under the
// fuzzer, so inputs that once failed stay as ordinary regression tests.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "fuzz/fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    std::size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        std::error_code error;
        std::vector<fs::path> inputs;
        if (fs::is_directory(argv[i], error)) {
            for (fs::directory_iterator it(argv[i], error);
                 !error && it != fs::directory_iterator(); it.increment(error)) {
                if (it->is_regular_file(error)) inputs.push_back(it->path());
            }
            std::sort(inputs.begin(), inputs.end());
        } else if (fs::is_regular_file(argv[i], error)) {
            inputs.emplace_back(argv[i]);
        } else {
            std::fprintf(stderr, "no such input file or directory: %s\n", argv[i]);
            return 1;
        }
        for (const fs::path& input : inputs) {
            bool exists = false;
            const std::vector<std::uint8_t> bytes = read_whole_file(input.string(), exists);
            std::fprintf(stderr, "replaying %s\n", input.c_str());
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
            ++replayed;
        }
    }
    std::printf("replayed %zu inputs\n", replayed);
    return 0;
}
