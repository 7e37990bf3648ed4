// Headers that declare sizes no file could hold. The size check must refuse them, in
// arithmetic that cannot wrap, before the tool obtains any block; a block it accepts is
// never longer than the file.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "image/bmp_file.h"
#include "tests/bmp_fixture.h"
#include "tests/run_process.h"

namespace {

constexpr std::int32_t kMaxWidth = 2147483647;                // 2^31 - 1, the widest a field holds
constexpr std::int32_t kMinHeight = -2147483647 - 1;          // -2^31: 2^31 rows stored top-down
constexpr std::uint64_t kLargestFile = 9223372036854775807u;  // the largest off_t

void put_u16(BmpHeader& header, std::size_t at, std::uint16_t value) {
    header.bytes[at] = static_cast<std::uint8_t>(value);
    header.bytes[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

void put_u32(BmpHeader& header, std::size_t at, std::uint32_t value) {
    put_u16(header, at, static_cast<std::uint16_t>(value));
    put_u16(header, at + 2, static_cast<std::uint16_t>(value >> 16));
}

// A 24-bit header declaring the given size; the fields nobody reads are set as usual.
BmpHeader declared_header(std::int32_t width, std::int32_t height, std::uint32_t off_bits = 54) {
    BmpHeader header;
    put_u16(header, 0, 0x4D42);                               // bfType "BM"
    put_u32(header, 2, 0);                                    // bfSize: not examined
    put_u32(header, 6, 0);                                    // bfReserved1, bfReserved2
    put_u32(header, 10, off_bits);                            // bfOffBits
    put_u32(header, 14, 40);                                  // biSize: BITMAPINFOHEADER
    put_u32(header, 18, static_cast<std::uint32_t>(width));   // biWidth
    put_u32(header, 22, static_cast<std::uint32_t>(height));  // biHeight
    put_u16(header, 26, 1);                                   // biPlanes
    put_u16(header, 28, 24);                                  // biBitCount
    put_u32(header, 30, 0);                                   // biCompression: none
    put_u32(header, 34, 0);                                   // biSizeImage: not examined
    put_u32(header, 38, 2835);                                // biXPelsPerMeter
    put_u32(header, 42, 2835);                                // biYPelsPerMeter
    put_u32(header, 46, 0);                                   // biClrUsed
    put_u32(header, 50, 0);                                   // biClrImportant
    return header;
}

// Bytes a block must hold: every row but the last in full, the last without its filler.
constexpr std::uint64_t needed_bytes(std::uint64_t width, std::uint64_t rows) {
    return (rows - 1) * bmp_row_bytes(width) + 3 * width;
}

struct SizeCase {
    const char* name;
    std::int32_t width;
    std::int32_t height;
    std::uint32_t off_bits;
    std::uint64_t file_length;  // the measured length; no file this large is made
    bool is_matrix;
    bool accepted;
};

// Each limit at its edge and one past it. Lengths beyond 2^63 cannot be measured, so the
// widest header of all meets the largest possible file.
const SizeCase kSizeCases[] = {
    {"widest_row_exactly_held", kMaxWidth, 1, 54, 54 + needed_bytes(kMaxWidth, 1), false, true},
    {"widest_row_one_byte_short", kMaxWidth, 1, 54, 53 + needed_bytes(kMaxWidth, 1), false, false},
    {"most_rows_exactly_held", 1, kMinHeight, 54, 54 + needed_bytes(1, 2147483648u), false, true},
    {"most_rows_one_byte_short", 1, kMinHeight, 54, 53 + needed_bytes(1, 2147483648u), false,
     false},
    // (2^31 - 1) x 3 x 2^31 bytes is past 2^63: a signed product would wrap and pass.
    {"widest_and_most_rows_top_down", kMaxWidth, kMinHeight, 54, kLargestFile, false, false},
    {"widest_and_most_rows_bottom_up", kMaxWidth, kMaxWidth, 54, kLargestFile, false, false},
    {"widest_and_most_rows_matrix", kMaxWidth, kMinHeight, 54, kLargestFile, true, false},
    {"matrix_most_rows_exactly_held", 1, kMinHeight, 54, 54 + needed_bytes(1, 2147483648u), true,
     true},
    {"matrix_most_rows_one_byte_short", 1, kMinHeight, 54, 53 + needed_bytes(1, 2147483648u), true,
     false},
    {"most_negative_width", -2147483647 - 1, 1, 54, 1000, false, false},
    {"huge_rows_of_no_pixels", 0, kMinHeight, 54, 54, false, true},
    {"huge_rows_of_no_pixels_matrix", 0, kMinHeight, 54, 54, true, false},
    {"off_bits_at_file_end", 0, 0, 4000000000u, 4000000000u, false, true},
    {"off_bits_past_file_end", 0, 0, 4000000001u, 4000000000u, false, false},
    {"off_bits_largest", 1, 1, 0xFFFFFFFFu, 0xFFFFFFFFu + std::uint64_t{3}, false, true},
    {"off_bits_largest_one_byte_short", 1, 1, 0xFFFFFFFFu, 0xFFFFFFFFu + std::uint64_t{2}, false,
     false},
};

void PrintTo(const SizeCase& c, std::ostream* out) { *out << c.name; }

class DeclaredSize : public testing::TestWithParam<SizeCase> {};

TEST_P(DeclaredSize, IsCheckedWithoutOverflow) {
    const SizeCase& c = GetParam();
    ImageFile image;
    image.header = declared_header(c.width, c.height, c.off_bits);
    image.file_length = c.file_length;
    ASSERT_EQ(check_image_size(image, c.is_matrix), c.accepted);
    if (c.accepted) {
        EXPECT_EQ(image.pixel_block_length, c.file_length - c.off_bits);
        EXPECT_LE(image.pixel_block_length, image.file_length);
    }
}

INSTANTIATE_TEST_SUITE_P(HostileHeaders, DeclaredSize, testing::ValuesIn(kSizeCases),
                         [](const testing::TestParamInfo<SizeCase>& info) {
                             return std::string(info.param.name);
                         });

std::vector<std::uint8_t> file_bytes(const BmpHeader& header, std::size_t pixel_bytes) {
    std::vector<std::uint8_t> bytes(header.bytes.begin(), header.bytes.end());
    bytes.resize(bytes.size() + pixel_bytes, 0x80);
    return bytes;
}

std::vector<std::uint8_t> white_pixel_matrix() {
    BmpFixture matrix;
    matrix.width = 1;
    matrix.height = 1;
    matrix.pixels = {Rgb{255, 255, 255}};
    return make_bmp(matrix);
}

struct RunCase {
    const char* name;
    std::vector<std::uint8_t> input;
    std::vector<std::uint8_t> matrix;
    std::string console;  // everything the tool prints
    int exit_code;
};

// The work figure is printed just before the blocks are obtained: a refusal that prints
// nothing else came first.
std::vector<RunCase> run_cases() {
    const std::vector<std::uint8_t> matrix = white_pixel_matrix();
    const std::string bad_input = "Input header or size is invalid!\n";
    const std::string bad_matrix = "Matrix header or size is invalid!\n";
    return {
        {"input_widest", file_bytes(declared_header(kMaxWidth, 1), 64), matrix, bad_input, 251},
        {"input_most_rows", file_bytes(declared_header(1, kMinHeight), 64), matrix, bad_input, 251},
        {"input_widest_and_most_rows", file_bytes(declared_header(kMaxWidth, kMinHeight), 64),
         matrix, bad_input, 251},
        {"matrix_widest", file_bytes(declared_header(2, 2), 16),
         file_bytes(declared_header(kMaxWidth, 1), 64), bad_matrix, 251},
        {"matrix_most_rows", file_bytes(declared_header(2, 2), 16),
         file_bytes(declared_header(1, kMinHeight), 64), bad_matrix, 251},
    };
}

TEST(HostileRun, HugeDeclaredSizeIsRefusedBeforeAnyBlock) {
    for (const RunCase& c : run_cases()) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        write_file(dir.file("input.bmp"), c.input);
        write_file(dir.file("matrix.bmp"), c.matrix);
        const ProcessResult run = run_process(QUIVEL_BINARY, {"input.bmp", "matrix.bmp"}, dir.path);
        EXPECT_EQ(run.out, c.console);
        EXPECT_EQ(run.exit_code, c.exit_code);
        EXPECT_TRUE(read_file(dir.file("output.bmp")).empty());
        EXPECT_EQ(read_file(dir.file("input.bmp")), c.input);
        EXPECT_EQ(read_file(dir.file("matrix.bmp")), c.matrix);
    }
}

}  // namespace
