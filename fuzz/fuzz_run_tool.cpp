// Fuzz target: the whole run of the tool on two files of arbitrary bytes, in a directory of
// its own, checking what a user relies on: the status and its text agree; on success
// "output.bmp" is the input's leading bytes and exactly one pixel block of result, with
// every byte that no pixel covers (row filler, bytes after the last row) the input's own;
// every result pixel is exactly the defined convolution; on failure "output.bmp" is empty;
// the input files are never changed.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "fuzz/fuzz_input.h"
#include "tool/run_tool.h"

namespace {

// An input 0 pixels wide is valid with any number of rows and reports every row, so a
// 54-byte file can ask for 2^31 progress lines: correct, but too slow to fuzz.
bool asks_for_endless_rows(std::span<const std::uint8_t> input) {
    const auto width = static_cast<std::int32_t>(field_u32(input, 18));
    const std::int64_t height = static_cast<std::int32_t>(field_u32(input, 22));
    return width == 0 && (height > 4096 || height < -4096);
}

// Runs the tool with standard output going into a file, and returns what it printed.
int run_capturing_console(const std::string& directory, std::string& console) {
    const std::string console_path = directory + "/console.txt";
    const int console_fd = ::open(console_path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    const int saved_stdout = ::dup(STDOUT_FILENO);
    const int saved_directory = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    FUZZ_REQUIRE(console_fd >= 0 && saved_stdout >= 0 && saved_directory >= 0);
    std::fflush(stdout);
    FUZZ_REQUIRE(::dup2(console_fd, STDOUT_FILENO) >= 0);
    FUZZ_REQUIRE(::chdir(directory.c_str()) == 0);

    char program[] = "quivel";
    char input[] = "input.bmp";
    char matrix[] = "matrix.bmp";
    char* argv[] = {program, input, matrix, nullptr};
    const int status = run_tool(3, argv);

    std::fflush(stdout);
    FUZZ_REQUIRE(::fchdir(saved_directory) == 0);
    FUZZ_REQUIRE(::dup2(saved_stdout, STDOUT_FILENO) >= 0);
    ::close(saved_directory);
    ::close(saved_stdout);
    ::close(console_fd);
    bool exists = false;
    const std::vector<std::uint8_t> printed = read_whole_file(console_path, exists);
    console.assign(printed.begin(), printed.end());
    return status;
}

// Bytes of the result file that no pixel covers must be the input's own.
void check_uncovered_bytes(std::span<const std::uint8_t> input,
                           const std::vector<std::uint8_t>& output) {
    const std::uint64_t offset = field_u32(input, 10);
    const std::int64_t height = static_cast<std::int32_t>(field_u32(input, 22));
    const std::uint64_t width = field_u32(input, 18);  // >= 0 in any accepted file
    const std::uint64_t rows = static_cast<std::uint64_t>(height < 0 ? -height : height);
    const std::uint64_t row_bytes = (3 * width + 3) / 4 * 4;
    for (std::uint64_t at = offset; at < input.size(); ++at) {
        const std::uint64_t in_block = at - offset;
        const bool covered =
            width > 0 && in_block / row_bytes < rows && in_block % row_bytes < 3 * width;
        if (!covered) FUZZ_REQUIRE(output[at] == input[at]);
    }
}

// An image as the reference convolution reads it straight from the file's bytes.
struct RawImage {
    const std::uint8_t* pixels;
    std::int64_t width;
    std::int64_t rows;
    std::int64_t row_bytes;
};

RawImage raw_image(std::span<const std::uint8_t> bytes) {
    const std::int64_t width = static_cast<std::int32_t>(field_u32(bytes, 18));
    const std::int64_t height = static_cast<std::int32_t>(field_u32(bytes, 22));
    return RawImage{bytes.data() + field_u32(bytes, 10), width, height < 0 ? -height : height,
                    (3 * width + 3) / 4 * 4};
}

// Every result pixel must be exactly the four-fold sum, divided and clamped, with edges
// repeated: an independent restatement, so no faster engine can drift from it unseen.
void check_result_pixels(std::span<const std::uint8_t> input_bytes,
                         std::span<const std::uint8_t> matrix_bytes,
                         const std::vector<std::uint8_t>& output) {
    const RawImage in = raw_image(input_bytes);
    const RawImage m = raw_image(matrix_bytes);
    std::int64_t sums[3] = {0, 0, 0};
    for (std::int64_t my = 0; my < m.rows; ++my) {
        for (std::int64_t mx = 0; mx < m.width; ++mx) {
            for (int c = 0; c < 3; ++c) sums[c] += m.pixels[my * m.row_bytes + 3 * mx + c];
        }
    }
    const std::int64_t divisor = (3 * (sums[2] + sums[0]) + 4 * sums[1]) / 10;
    FUZZ_REQUIRE(divisor > 0);
    const std::uint8_t* result = output.data() + field_u32(input_bytes, 10);
    for (std::int64_t y = 0; y < in.rows; ++y) {
        for (std::int64_t x = 0; x < in.width; ++x) {
            std::int64_t channel[3] = {0, 0, 0};
            for (std::int64_t my = 0; my < m.rows; ++my) {
                const std::int64_t sy =
                    std::clamp<std::int64_t>(y + my - m.rows / 2, 0, in.rows - 1);
                for (std::int64_t mx = 0; mx < m.width; ++mx) {
                    const std::int64_t sx =
                        std::clamp<std::int64_t>(x + mx - m.width / 2, 0, in.width - 1);
                    for (int c = 0; c < 3; ++c) {
                        channel[c] += in.pixels[sy * in.row_bytes + 3 * sx + c] *
                                      m.pixels[my * m.row_bytes + 3 * mx + c];
                    }
                }
            }
            for (int c = 0; c < 3; ++c) {
                const std::int64_t value = std::clamp<std::int64_t>(channel[c] / divisor, 0, 255);
                FUZZ_REQUIRE(result[y * in.row_bytes + 3 * x + c] == value);
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const FuzzFiles files = split_fuzz_input(data, size);
    if (asks_for_endless_rows(files.input)) return 0;

    const std::string& directory = private_directory();
    FUZZ_REQUIRE(!directory.empty());
    const std::string input_path = directory + "/input.bmp";
    const std::string matrix_path = directory + "/matrix.bmp";
    const std::string output_path = directory + "/output.bmp";
    FUZZ_REQUIRE(write_whole_file(input_path, files.input));
    FUZZ_REQUIRE(write_whole_file(matrix_path, files.matrix));
    ::unlink(output_path.c_str());

    std::string console;
    const int status = run_capturing_console(directory, console);

    // Two whole regular files, a fresh directory and a disk with room leave only these: a
    // read error, a failed create or write, or a lack of memory would each be a fault here.
    FUZZ_REQUIRE(status == kStatusOk || status == kStatusNot24Bit ||
                 status == kStatusBadHeaderOrSize || status == kStatusMatrixTooDark);
    switch (status) {
        case kStatusOk:
            FUZZ_REQUIRE(console.ends_with("ok.\n"));
            break;
        case kStatusNot24Bit:
            FUZZ_REQUIRE(console == "Input must be 24-bit!\n" ||
                         console == "Matrix must be 24-bit!\n");
            break;
        case kStatusBadHeaderOrSize:
            FUZZ_REQUIRE(console == "Input header or size is invalid!\n" ||
                         console == "Matrix header or size is invalid!\n");
            break;
        default:
            FUZZ_REQUIRE(console.ends_with("Brightness of matrix   : 0\nMatrix is too dark!\n"));
            break;
    }
    FUZZ_REQUIRE(status == kStatusOk || console.find("ok.\n") == std::string::npos);

    bool exists = false;
    const std::vector<std::uint8_t> output = read_whole_file(output_path, exists);
    if (status == kStatusOk) {
        // Leading bytes (bfOffBits of them) plus the pixel block: as long as the input.
        FUZZ_REQUIRE(exists && output.size() == files.input.size());
        const std::uint64_t offset = field_u32(files.input, 10);
        FUZZ_REQUIRE(offset <= files.input.size());
        FUZZ_REQUIRE(std::equal(files.input.begin(), files.input.begin() + offset, output.begin()));
        check_uncovered_bytes(files.input, output);
        check_result_pixels(files.input, files.matrix, output);
    } else {
        FUZZ_REQUIRE(output.empty());
    }

    const std::vector<std::uint8_t> input_after = read_whole_file(input_path, exists);
    FUZZ_REQUIRE(exists && std::equal(input_after.begin(), input_after.end(), files.input.begin(),
                                      files.input.end()));
    const std::vector<std::uint8_t> matrix_after = read_whole_file(matrix_path, exists);
    FUZZ_REQUIRE(exists && std::equal(matrix_after.begin(), matrix_after.end(),
                                      files.matrix.begin(), files.matrix.end()));
    return 0;
}
