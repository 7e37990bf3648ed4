// 24-bit BMP files: the header record, the loaded image, the row geometry, and the
// operations that read an input file and write the result file. Nothing here prints.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

inline constexpr std::size_t kBmpHeaderSize = 54;  // file header (14) + BITMAPINFOHEADER (40)
inline constexpr const char* kResultFileName = "output.bmp";

// The first 54 bytes of a BMP file exactly as stored (little-endian). Four fields are read;
// every other byte is carried through to the result file unchanged.
struct BmpHeader {
    std::array<std::uint8_t, kBmpHeaderSize> bytes{};
};

std::uint32_t bfOffBits(const BmpHeader& header);
std::int32_t biWidth(const BmpHeader& header);
std::int32_t biHeight(const BmpHeader& header);
std::uint16_t biBitCount(const BmpHeader& header);

// Gives a block back with the alignment it was obtained with.
struct BlockRelease {
    std::size_t alignment = alignof(std::max_align_t);
    void operator()(std::uint8_t* bytes) const;
};

// An owned heap block. Obtaining one never throws; a failed obtain leaves it empty.
struct Block {
    std::unique_ptr<std::uint8_t[], BlockRelease> bytes;
    std::size_t size = 0;
};
[[nodiscard]] bool obtain_block(Block& block, std::uint64_t size);

// An open input file, closed on destruction or by close_file.
struct FileHandle {
    int fd = -1;
    FileHandle() = default;
    explicit FileHandle(int descriptor) : fd(descriptor) {}
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    FileHandle(FileHandle&& other) noexcept : fd(other.fd) { other.fd = -1; }
    FileHandle& operator=(FileHandle&& other) noexcept;
    ~FileHandle();
    bool is_open() const { return fd >= 0; }
};
void close_file(FileHandle& file);

// One loaded input image. Starts zero-filled, so a short header read leaves zeros behind.
struct ImageFile {
    FileHandle file;
    std::uint64_t file_length = 0;
    BmpHeader header;
    std::uint64_t pixel_block_length = 0;  // file length - bfOffBits
    Block pixels;                          // pixel_block_length bytes read from bfOffBits
};

// Width, stored rows and row stride of an image, taken from a checked header.
struct PixelGeometry {
    std::uint64_t width = 0;
    std::uint64_t rows = 0;  // |biHeight|: top-down files are taken in storage order too
    std::uint64_t row_bytes = 0;
};

// Bytes per stored row: 3 per pixel, rounded up to a multiple of 4.
constexpr std::uint64_t bmp_row_bytes(std::uint64_t width) { return (3 * width + 3) / 4 * 4; }

PixelGeometry pixel_geometry(const BmpHeader& header);

// Copies the bytes of a pixel block that no pixel covers (each row's filler and anything after
// the last row) from one block of length bytes to another; pixel bytes are left alone.
void copy_non_pixel_bytes(const PixelGeometry& geometry, const std::uint8_t* from,
                          std::uint8_t* to, std::uint64_t length);

enum class ReadResult { ok, failed };
enum class WriteResult { ok, header_failed, data_failed };

// Opens a file read-only, announcing sequential reading.
[[nodiscard]] bool open_image_file(const char* path, FileHandle& file);

// Measures the file and reads its first 54 bytes; a short read is not an error.
[[nodiscard]] ReadResult load_image_header(FileHandle& file, ImageFile& image);

// True when the header and the file length describe a file whose pixel block holds every
// pixel. A matrix must also have at least one pixel. Sets pixel_block_length on success.
[[nodiscard]] bool check_image_size(ImageFile& image, bool is_matrix);

// Reads the whole pixel block from bfOffBits into image.pixels, which must already hold
// pixel_block_length bytes. A read that delivers fewer bytes counts as a failure.
[[nodiscard]] ReadResult load_pixel_block(FileHandle& file, ImageFile& image);

// Reads the file's first bfOffBits bytes (header, colour masks, palette) into leading,
// which must already hold bfOffBits bytes.
[[nodiscard]] ReadResult load_leading_bytes(FileHandle& file, const ImageFile& image,
                                            Block& leading);

// True when path names an existing file that is the same file (device and inode) as the
// open one, following links.
[[nodiscard]] bool is_same_file(const char* path, const FileHandle& file);

struct StreamCloser {
    void operator()(std::FILE* stream) const { std::fclose(stream); }
};
using ResultStream = std::unique_ptr<std::FILE, StreamCloser>;

// Creates or truncates "output.bmp" in the current directory.
[[nodiscard]] ResultStream open_result_file();

// Writes leading bytes and the result block, then flushes and closes the stream; a close
// or flush that fails counts as a failed data write. The stream is consumed either way.
[[nodiscard]] WriteResult write_result_file(ResultStream& stream, const std::uint8_t* leading,
                                            std::size_t leading_length, const std::uint8_t* block,
                                            std::size_t length);
