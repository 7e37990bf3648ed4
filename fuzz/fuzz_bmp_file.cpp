// Fuzz target: the header-and-size check and the pixel-block read, on two files of
// arbitrary bytes (an input image and a matrix image). The check must accept exactly the
// headers whose pixel block holds every pixel; an accepted block is never larger than its
// file, reads back as the file's own bytes, and every row it names lies inside it; a file
// cut short after it was measured fails its read.
#include <unistd.h>

#include <cstring>

#include "fuzz/fuzz_input.h"
#include "image/bmp_file.h"

namespace {

__extension__ using Wide = unsigned __int128;

// The acceptance rule restated on its own, in 128-bit arithmetic that cannot overflow.
bool should_accept(std::span<const std::uint8_t> bytes, bool is_matrix) {
    const Wide length = bytes.size();
    const Wide offset = field_u32(bytes, 10);                             // bfOffBits
    const auto width = static_cast<std::int32_t>(field_u32(bytes, 18));   // biWidth
    const auto height = static_cast<std::int32_t>(field_u32(bytes, 22));  // biHeight
    if (offset < 54 || offset > length || width < 0) return false;
    const Wide columns = static_cast<std::uint32_t>(width);
    const std::int64_t signed_rows = height;
    const Wide rows = static_cast<std::uint64_t>(signed_rows < 0 ? -signed_rows : signed_rows);
    if (is_matrix && (columns == 0 || rows == 0)) return false;
    if (columns == 0 || rows == 0) return true;
    const Wide row_bytes = (3 * columns + 3) / 4 * 4;
    return length - offset >= (rows - 1) * row_bytes + 3 * columns;
}

void check_file(const std::string& path, std::span<const std::uint8_t> bytes, bool is_matrix) {
    ImageFile image;
    FUZZ_REQUIRE(open_image_file(path.c_str(), image.file));
    FUZZ_REQUIRE(load_image_header(image.file, image) == ReadResult::ok);
    FUZZ_REQUIRE(image.file_length == bytes.size());
    const bool accepted = check_image_size(image, is_matrix);
    FUZZ_REQUIRE(accepted == should_accept(bytes, is_matrix));
    if (!accepted) return;

    const std::uint32_t offset = bfOffBits(image.header);
    FUZZ_REQUIRE(image.pixel_block_length == image.file_length - offset);
    FUZZ_REQUIRE(obtain_block(image.pixels, image.pixel_block_length));
    FUZZ_REQUIRE(load_pixel_block(image.file, image) == ReadResult::ok);
    FUZZ_REQUIRE(std::memcmp(image.pixels.bytes.get(), bytes.data() + offset,
                             image.pixel_block_length) == 0);

    // The last pixel byte of every row; the block is exactly as long as the file's pixel
    // data, so AddressSanitizer stops at the first row that reaches past it.
    const PixelGeometry geometry = pixel_geometry(image.header);
    std::uint8_t seen = 0;
    if (geometry.width > 0) {
        for (std::uint64_t y = 0; y < geometry.rows; ++y) {
            seen ^= image.pixels.bytes[y * geometry.row_bytes + 3 * geometry.width - 1];
        }
    }
    volatile std::uint8_t keep = seen;
    (void)keep;

    if (!is_matrix) {
        Block leading;
        FUZZ_REQUIRE(obtain_block(leading, offset));
        FUZZ_REQUIRE(load_leading_bytes(image.file, image, leading) == ReadResult::ok);
        FUZZ_REQUIRE(std::memcmp(leading.bytes.get(), bytes.data(), offset) == 0);
    }

    // A file cut short after it was measured (another process truncating it) delivers
    // fewer bytes than the block holds: that read must fail, not pass with a stale tail.
    if (image.pixel_block_length > 0) {
        FUZZ_REQUIRE(::truncate(path.c_str(), static_cast<off_t>(bytes.size() - 1)) == 0);
        FUZZ_REQUIRE(load_pixel_block(image.file, image) == ReadResult::failed);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const FuzzFiles files = split_fuzz_input(data, size);
    const std::string& directory = private_directory();
    FUZZ_REQUIRE(!directory.empty());
    const std::string input_path = directory + "/input.bmp";
    const std::string matrix_path = directory + "/matrix.bmp";
    FUZZ_REQUIRE(write_whole_file(input_path, files.input));
    FUZZ_REQUIRE(write_whole_file(matrix_path, files.matrix));
    check_file(input_path, files.input, false);
    check_file(matrix_path, files.matrix, true);
    return 0;
}
