// One fuzz input carries two files: a 2-byte little-endian length n, then n bytes of input
// image, then the matrix image (everything left). Both fuzz targets and the seed writer use
// this split, and both targets write the two files into a directory of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

struct FuzzFiles {
    std::span<const std::uint8_t> input;
    std::span<const std::uint8_t> matrix;
};

FuzzFiles split_fuzz_input(const std::uint8_t* data, std::size_t size);

// The inverse of split_fuzz_input; an input longer than 65535 bytes is cut to that length.
std::vector<std::uint8_t> join_fuzz_input(std::span<const std::uint8_t> input,
                                          std::span<const std::uint8_t> matrix);

// A little-endian header field of one of the files; bytes past its end read as 0, as they
// do in the tool's zero-filled header record.
std::uint32_t field_u32(std::span<const std::uint8_t> bytes, std::size_t offset);

// A fresh directory of this process under $TMPDIR (or /tmp), made on first use and removed
// with its contents at normal exit. Empty if it could not be made.
const std::string& private_directory();

[[nodiscard]] bool write_whole_file(const std::string& path, std::span<const std::uint8_t> bytes);

// The file's bytes; exists is false when there is no such file.
std::vector<std::uint8_t> read_whole_file(const std::string& path, bool& exists);

// Ends the process the way a sanitizer does, so the fuzzer keeps the input that did it.
[[noreturn]] void fuzz_fail(const char* condition, const char* file, int line);

#define FUZZ_REQUIRE(condition) \
    ((condition) ? static_cast<void>(0) : fuzz_fail(#condition, __FILE__, __LINE__))
