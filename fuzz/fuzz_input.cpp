// Splitting a fuzz input into two files, and the private directory they are written to.
#include "fuzz/fuzz_input.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

FuzzFiles split_fuzz_input(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return FuzzFiles{{data, size}, {}};
    const std::size_t declared = std::size_t{data[0]} | std::size_t{data[1]} << 8;
    const std::size_t input_length = declared < size - 2 ? declared : size - 2;
    return FuzzFiles{{data + 2, input_length}, {data + 2 + input_length, size - 2 - input_length}};
}

std::vector<std::uint8_t> join_fuzz_input(std::span<const std::uint8_t> input,
                                          std::span<const std::uint8_t> matrix) {
    if (input.size() > 0xFFFF) input = input.first(0xFFFF);
    std::vector<std::uint8_t> joined(2 + input.size() + matrix.size());
    joined[0] = static_cast<std::uint8_t>(input.size());
    joined[1] = static_cast<std::uint8_t>(input.size() >> 8);
    std::copy(input.begin(), input.end(), joined.begin() + 2);
    std::copy(matrix.begin(), matrix.end(),
              joined.begin() + 2 + static_cast<std::ptrdiff_t>(input.size()));
    return joined;
}

std::uint32_t field_u32(std::span<const std::uint8_t> bytes, std::size_t offset) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        if (offset + i < bytes.size()) value |= std::uint32_t{bytes[offset + i]} << (8 * i);
    }
    return value;
}

namespace {

std::string made_directory;

void remove_private_directory() {
    std::error_code ignored;
    if (!made_directory.empty()) std::filesystem::remove_all(made_directory, ignored);
}

}  // namespace

const std::string& private_directory() {
    static const bool made = [] {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/quivel-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) return false;
        made_directory = pattern;
        std::atexit(remove_private_directory);
        return true;
    }();
    (void)made;
    return made_directory;
}

bool write_whole_file(const std::string& path, std::span<const std::uint8_t> bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (put <= 0) break;
        done += static_cast<std::size_t>(put);
    }
    return ::close(fd) == 0 && done == bytes.size();
}

std::vector<std::uint8_t> read_whole_file(const std::string& path, bool& exists) {
    std::vector<std::uint8_t> bytes;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    exists = fd >= 0;
    if (fd < 0) return bytes;
    std::uint8_t buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0) break;
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
    ::close(fd);
    return bytes;
}

void fuzz_fail(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, condition);
    std::abort();
}
