// The BMP layer: header fields, row geometry, the size check, reading and writing files.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include <gtest/gtest.h>

#include "image/bmp_file.h"
#include "tests/bmp_fixture.h"
#include "tests/run_process.h"

namespace {

ImageFile image_from_bytes(const std::vector<std::uint8_t>& bytes) {
    ImageFile image;
    std::memcpy(image.header.bytes.data(), bytes.data(),
                std::min(bytes.size(), image.header.bytes.size()));
    image.file_length = bytes.size();
    return image;
}

void put_u32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace

TEST(BmpHeader, ReadsLittleEndianFieldsAndSignedSizes) {
    std::vector<std::uint8_t> bytes(54, 0);
    put_u32(bytes, 10, 0x0102038A);  // bfOffBits
    put_u32(bytes, 18, 0xFFFFFFFF);  // biWidth: -1
    put_u32(bytes, 22, 0x80000000);  // biHeight: INT32_MIN
    bytes[28] = 24;                  // biBitCount
    bytes[29] = 1;
    const ImageFile image = image_from_bytes(bytes);
    EXPECT_EQ(bfOffBits(image.header), 0x0102038Au);
    EXPECT_EQ(biWidth(image.header), -1);
    EXPECT_EQ(biHeight(image.header), INT32_MIN);
    EXPECT_EQ(biBitCount(image.header), 280);
    // The magnitude of the most negative height is taken without overflow.
    EXPECT_EQ(pixel_geometry(image.header).rows, 2147483648u);
}

TEST(BmpGeometry, RowBytesRoundUpToFour) {
    const std::uint64_t expected[] = {0, 4, 8, 12, 12, 16, 20, 24, 24};
    for (std::uint64_t width = 0; width <= 8; ++width) {
        EXPECT_EQ(bmp_row_bytes(width), expected[width]) << "width " << width;
    }
}

struct SizeCase {
    const char* name;
    BmpFixture fixture;
    bool is_matrix;
    int trim;  // bytes cut from the end of the file
    bool valid;
};

TEST(CheckImageSize, AcceptsWholeFilesAndRefusesBrokenOnes) {
    const auto px = [](int w, int h) { return pattern_pixels(w, h < 0 ? -h : h, 1); };
    const SizeCase cases[] = {
        {"plain 2x2", {.width = 2, .height = 2, .pixels = px(2, 2)}, false, 0, true},
        {"top-down 3x2", {.width = 3, .height = -2, .pixels = px(3, 2)}, false, 0, true},
        {"last row filler missing",
         {.width = 5, .height = 3, .pixels = px(5, 3), .drop_last_filler = true}, false, 0, true},
        {"last pixel byte missing",
         {.width = 5, .height = 3, .pixels = px(5, 3), .drop_last_filler = true}, false, 1, false},
        {"one byte short with filler", {.width = 4, .height = 2, .pixels = px(4, 2)}, false, 1,
         false},
        {"a whole row missing", {.width = 4, .height = 3, .pixels = px(4, 3)}, false, 12, false},
        {"input width 0", {.width = 0, .height = 3}, false, 0, true},
        {"input height 0", {.width = 3, .height = 0}, false, 0, true},
        {"matrix width 0", {.width = 0, .height = 3}, true, 0, false},
        {"matrix height 0", {.width = 3, .height = 0}, true, 0, false},
        {"negative width",
         {.width = -2, .height = 2, .after_pixels = std::vector<std::uint8_t>(64, 0)}, false, 0,
         false},
        {"offset 53", {.width = 2, .height = 2, .pixels = px(2, 2), .off_bits = 53}, false, 0,
         false},
        {"offset past the end", {.off_bits = 55}, false, 0, false},
        {"offset at the end, empty image", {.off_bits = 54}, false, 0, true},
        {"V5 header before pixels",
         {.width = 2,
          .height = 2,
          .pixels = px(2, 2),
          .info_size = 124,
          .before_pixels = std::vector<std::uint8_t>(84, 7)},
         false, 0, true},
    };
    for (const SizeCase& c : cases) {
        auto bytes = make_bmp(c.fixture);
        bytes.resize(bytes.size() - static_cast<std::size_t>(c.trim));
        ImageFile image = image_from_bytes(bytes);
        EXPECT_EQ(check_image_size(image, c.is_matrix), c.valid) << c.name;
        if (c.valid) {
            EXPECT_EQ(image.pixel_block_length, bytes.size() - bfOffBits(image.header)) << c.name;
        }
    }
}

class BmpFiles : public ::testing::Test {
protected:
    TempDir dir;

    ImageFile load(const std::string& name, FileHandle& file) {
        ImageFile image;
        EXPECT_TRUE(open_image_file(dir.file(name).c_str(), file));
        EXPECT_EQ(load_image_header(file, image), ReadResult::ok);
        return image;
    }
};

TEST_F(BmpFiles, ReadsPixelsFromTheirOffsetAndTheBytesBeforeThem) {
    BmpFixture fixture{.width = 3, .height = 2, .pixels = pattern_pixels(3, 2, 9), .info_size = 124};
    for (int i = 0; i < 84; ++i) fixture.before_pixels.push_back(static_cast<std::uint8_t>(i));
    const auto bytes = make_bmp(fixture);
    write_file(dir.file("v5.bmp"), bytes);

    FileHandle file;
    ImageFile image = load("v5.bmp", file);
    ASSERT_TRUE(check_image_size(image, false));
    ASSERT_EQ(image.pixel_block_length, 24u);
    ASSERT_TRUE(obtain_block(image.pixels, image.pixel_block_length));
    ASSERT_EQ(load_pixel_block(file, image), ReadResult::ok);
    EXPECT_EQ(0, std::memcmp(image.pixels.bytes.get(), bytes.data() + 138, 24));

    Block leading;
    ASSERT_TRUE(obtain_block(leading, 138));
    ASSERT_EQ(load_leading_bytes(file, image, leading), ReadResult::ok);
    EXPECT_EQ(0, std::memcmp(leading.bytes.get(), bytes.data(), 138));
}

TEST_F(BmpFiles, ShortPixelReadIsAnError) {
    write_file(dir.file("short.bmp"), make_bmp({.width = 2, .height = 2, .pixels = pattern_pixels(2, 2, 3)}));
    FileHandle file;
    ImageFile image = load("short.bmp", file);
    ASSERT_TRUE(check_image_size(image, false));
    // The file shrinks after it was measured.
    ASSERT_EQ(truncate(dir.file("short.bmp").c_str(), 60), 0);
    ASSERT_TRUE(obtain_block(image.pixels, image.pixel_block_length));
    EXPECT_EQ(load_pixel_block(file, image), ReadResult::failed);
}

TEST_F(BmpFiles, EmptyFileGivesZeroHeaderAndDirectoryFailsToRead) {
    write_file(dir.file("empty.bmp"), {});
    FileHandle file;
    const ImageFile image = load("empty.bmp", file);
    EXPECT_EQ(image.file_length, 0u);
    EXPECT_EQ(biBitCount(image.header), 0);

    FileHandle directory;
    ASSERT_TRUE(open_image_file(dir.path.c_str(), directory));
    ImageFile from_directory;
    EXPECT_EQ(load_image_header(directory, from_directory), ReadResult::failed);

    FileHandle missing;
    EXPECT_FALSE(open_image_file(dir.file("missing.bmp").c_str(), missing));
}

TEST_F(BmpFiles, SameFileFollowsLinks) {
    write_file(dir.file("a.bmp"), {1, 2, 3});
    write_file(dir.file("b.bmp"), {1, 2, 3});
    ASSERT_EQ(link(dir.file("a.bmp").c_str(), dir.file("hard.bmp").c_str()), 0);
    ASSERT_EQ(symlink("a.bmp", dir.file("soft.bmp").c_str()), 0);
    FileHandle a;
    ASSERT_TRUE(open_image_file(dir.file("a.bmp").c_str(), a));
    EXPECT_TRUE(is_same_file(dir.file("a.bmp").c_str(), a));
    EXPECT_TRUE(is_same_file(dir.file("hard.bmp").c_str(), a));
    EXPECT_TRUE(is_same_file(dir.file("soft.bmp").c_str(), a));
    EXPECT_FALSE(is_same_file(dir.file("b.bmp").c_str(), a));
    EXPECT_FALSE(is_same_file(dir.file("missing.bmp").c_str(), a));
}

// open_result_file works in the current directory; these tests move there and back.
class ResultFile : public ::testing::Test {
protected:
    TempDir dir;
    int previous = -1;
    void SetUp() override {
        previous = ::open(".", O_RDONLY | O_DIRECTORY);
        ASSERT_EQ(chdir(dir.path.c_str()), 0);
    }
    void TearDown() override {
        ASSERT_EQ(fchdir(previous), 0);
        ::close(previous);
    }
};

TEST_F(ResultFile, WritesLeadingBytesThenBlock) {
    const std::uint8_t leading[] = {'B', 'M', 1, 2, 3};
    const std::uint8_t block[] = {9, 8, 7};
    ResultStream stream = open_result_file();
    ASSERT_TRUE(stream);
    EXPECT_EQ(write_result_file(stream, leading, 5, block, 3), WriteResult::ok);
    EXPECT_FALSE(stream);
    EXPECT_EQ(read_file("output.bmp"), (std::vector<std::uint8_t>{'B', 'M', 1, 2, 3, 9, 8, 7}));
}

TEST_F(ResultFile, EmptyBlockIsASuccess) {
    const std::uint8_t leading[] = {1, 2};
    ResultStream stream = open_result_file();
    ASSERT_TRUE(stream);
    EXPECT_EQ(write_result_file(stream, leading, 2, leading, 0), WriteResult::ok);
    EXPECT_EQ(read_file("output.bmp"), (std::vector<std::uint8_t>{1, 2}));
}

TEST_F(ResultFile, FullDeviceFailsTheDataWriteWhateverTheSize) {
    ASSERT_EQ(symlink("/dev/full", "output.bmp"), 0);
    const std::vector<std::uint8_t> leading(54, 1);
    // A small block fails only at the flush, a large one at the write itself.
    for (const std::size_t length : {std::size_t{16}, std::size_t{1} << 20}) {
        const std::vector<std::uint8_t> block(length, 2);
        ResultStream stream = open_result_file();
        ASSERT_TRUE(stream);
        EXPECT_EQ(write_result_file(stream, leading.data(), 54, block.data(), length),
                  WriteResult::data_failed)
            << length;
    }
}

TEST_F(ResultFile, DirectoryInTheWayCannotBeCreated) {
    ASSERT_EQ(mkdir("output.bmp", 0755), 0);
    EXPECT_FALSE(open_result_file());
}

TEST(CopyNonPixelBytes, CopiesFillerAndTrailingBytesOnly) {
    for (std::uint64_t width = 0; width <= 5; ++width) {
        for (std::uint64_t rows = 0; rows <= 3; ++rows) {
            const std::uint64_t row_bytes = bmp_row_bytes(width);
            const std::uint64_t pixels_end = rows == 0 ? 0 : (rows - 1) * row_bytes + 3 * width;
            // Blocks that end right after the last pixel, after the last filler, and later.
            for (const std::uint64_t length :
                 {pixels_end, rows * row_bytes, rows * row_bytes + 5}) {
                std::vector<std::uint8_t> from(length);
                for (std::uint64_t i = 0; i < length; ++i) from[i] = static_cast<std::uint8_t>(i);
                std::vector<std::uint8_t> to(length, 0xEE);
                copy_non_pixel_bytes({width, rows, row_bytes}, from.data(), to.data(), length);
                for (std::uint64_t i = 0; i < length; ++i) {
                    const bool pixel = row_bytes > 0 && i / row_bytes < rows &&
                                       i % row_bytes < 3 * width;
                    EXPECT_EQ(to[i], pixel ? 0xEE : from[i])
                        << "width " << width << " rows " << rows << " length " << length
                        << " byte " << i;
                }
            }
        }
    }
}
