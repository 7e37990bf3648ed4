// Reading 24-bit BMP input files and writing the result file.
#include "image/bmp_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <new>

namespace {

std::uint32_t get_u32(const BmpHeader& header, std::size_t offset) {
    const auto* b = header.bytes.data() + offset;
    return std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 |
           std::uint32_t{b[3]} << 24;
}

std::uint16_t get_u16(const BmpHeader& header, std::size_t offset) {
    const auto* b = header.bytes.data() + offset;
    return static_cast<std::uint16_t>(b[0] | b[1] << 8);
}

// Reads exactly length bytes from offset, retrying short and interrupted reads.
// Returns the number of bytes delivered, or -1 on a read error.
std::int64_t read_at(int fd, std::uint8_t* into, std::size_t length, std::uint64_t offset) {
    std::size_t done = 0;
    while (done < length) {
        const ssize_t got =
            pread(fd, into + done, length - done, static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<std::int64_t>(done);
}

}  // namespace

std::uint32_t bfOffBits(const BmpHeader& header) { return get_u32(header, 10); }
std::int32_t biWidth(const BmpHeader& header) {
    return static_cast<std::int32_t>(get_u32(header, 18));
}
std::int32_t biHeight(const BmpHeader& header) {
    return static_cast<std::int32_t>(get_u32(header, 22));
}
std::uint16_t biBitCount(const BmpHeader& header) { return get_u16(header, 28); }

void BlockRelease::operator()(std::uint8_t* bytes) const {
    ::operator delete[](bytes, std::align_val_t{alignment});
}

bool obtain_block(Block& block, std::uint64_t size) {
    block = Block{};
    if (size > SIZE_MAX / 2) return false;
    // Large blocks start on a huge-page boundary and ask for huge pages: a whole image's
    // worth of 4 KiB page faults costs more than reading the file.
    constexpr std::size_t kHugePage = std::size_t{2} << 20;
    const std::size_t alignment = size >= 2 * kHugePage ? kHugePage : alignof(std::max_align_t);
    // At least one byte, so an empty block still has an address.
    auto* bytes = static_cast<std::uint8_t*>(::operator new[](
        size == 0 ? 1 : static_cast<std::size_t>(size), std::align_val_t{alignment},
        std::nothrow));
    if (bytes == nullptr) return false;
    block.bytes = std::unique_ptr<std::uint8_t[], BlockRelease>(bytes, BlockRelease{alignment});
    block.size = static_cast<std::size_t>(size);
#ifdef MADV_HUGEPAGE
    if (alignment == kHugePage) {
        (void)madvise(bytes, block.size / kHugePage * kHugePage, MADV_HUGEPAGE);  // a hint only
    }
#endif
    return true;
}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
    if (this != &other) {
        close_file(*this);
        fd = other.fd;
        other.fd = -1;
    }
    return *this;
}

FileHandle::~FileHandle() { close_file(*this); }

void close_file(FileHandle& file) {
    if (file.fd >= 0) ::close(file.fd);
    file.fd = -1;
}

PixelGeometry pixel_geometry(const BmpHeader& header) {
    PixelGeometry geometry;
    const std::int64_t width = biWidth(header);
    const std::int64_t height = biHeight(header);  // 64-bit, so |INT32_MIN| fits
    geometry.width = width < 0 ? 0 : static_cast<std::uint64_t>(width);
    geometry.rows = static_cast<std::uint64_t>(height < 0 ? -height : height);
    geometry.row_bytes = bmp_row_bytes(geometry.width);
    return geometry;
}

void copy_non_pixel_bytes(const PixelGeometry& geometry, const std::uint8_t* from,
                          std::uint8_t* to, std::uint64_t length) {
    const std::uint64_t pixel_bytes = 3 * geometry.width;
    std::uint64_t covered_end = 0;  // end of the last pixel byte seen so far
    if (pixel_bytes > 0) {
        for (std::uint64_t y = 0; y < geometry.rows; ++y) {
            const std::uint64_t start = y * geometry.row_bytes;
            if (start >= length) break;
            covered_end = std::min(start + pixel_bytes, length);
            const std::uint64_t filler_end = std::min(start + geometry.row_bytes, length);
            if (y + 1 < geometry.rows && filler_end > covered_end) {
                std::memcpy(to + covered_end, from + covered_end, filler_end - covered_end);
            }
        }
    }
    // The last row's filler, and whatever follows the last row.
    if (length > covered_end) std::memcpy(to + covered_end, from + covered_end, length - covered_end);
}

bool open_image_file(const char* path, FileHandle& file) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    file = FileHandle(fd);
    return true;
}

ReadResult load_image_header(FileHandle& file, ImageFile& image) {
    const off_t end = lseek(file.fd, 0, SEEK_END);
    if (end < 0 || lseek(file.fd, 0, SEEK_SET) < 0) return ReadResult::failed;
    image.file_length = static_cast<std::uint64_t>(end);
    image.header = BmpHeader{};
    if (read_at(file.fd, image.header.bytes.data(), kBmpHeaderSize, 0) < 0) {
        return ReadResult::failed;
    }
    return ReadResult::ok;
}

bool check_image_size(ImageFile& image, bool is_matrix) {
    const std::uint64_t offset = bfOffBits(image.header);
    if (offset < kBmpHeaderSize || offset > image.file_length) return false;
    if (biWidth(image.header) < 0) return false;
    const PixelGeometry g = pixel_geometry(image.header);
    if (is_matrix && (g.width < 1 || g.rows < 1)) return false;

    const std::uint64_t block_length = image.file_length - offset;
    if (g.width > 0 && g.rows > 0) {
        // width < 2^31 and rows <= 2^31, so row_bytes < 2^33 and the product < 2^64:
        // unsigned arithmetic cannot wrap here.
        const std::uint64_t needed = (g.rows - 1) * g.row_bytes + 3 * g.width;
        if (block_length < needed) return false;
    }
    image.pixel_block_length = block_length;
    return true;
}

ReadResult load_pixel_block(FileHandle& file, ImageFile& image) {
    const std::size_t length = static_cast<std::size_t>(image.pixel_block_length);
    if (image.pixels.size < length) return ReadResult::failed;
    const std::int64_t got =
        read_at(file.fd, image.pixels.bytes.get(), length, bfOffBits(image.header));
    return got == static_cast<std::int64_t>(length) ? ReadResult::ok : ReadResult::failed;
}

ReadResult load_leading_bytes(FileHandle& file, const ImageFile& image, Block& leading) {
    const std::size_t length = bfOffBits(image.header);
    if (length < kBmpHeaderSize || leading.size < length) return ReadResult::failed;
    // The header as already read and checked, then whatever lies between it and the pixels.
    std::memcpy(leading.bytes.get(), image.header.bytes.data(), kBmpHeaderSize);
    const std::size_t rest = length - kBmpHeaderSize;
    const std::int64_t got = read_at(file.fd, leading.bytes.get() + kBmpHeaderSize, rest,
                                     kBmpHeaderSize);
    return got == static_cast<std::int64_t>(rest) ? ReadResult::ok : ReadResult::failed;
}

bool is_same_file(const char* path, const FileHandle& file) {
    struct stat named {};
    struct stat open_file {};
    if (stat(path, &named) != 0 || fstat(file.fd, &open_file) != 0) return false;
    return named.st_dev == open_file.st_dev && named.st_ino == open_file.st_ino;
}

ResultStream open_result_file() { return ResultStream(std::fopen(kResultFileName, "wb")); }

WriteResult write_result_file(ResultStream& stream, const std::uint8_t* leading,
                              std::size_t leading_length, const std::uint8_t* block,
                              std::size_t length) {
    std::FILE* out = stream.get();
    WriteResult result = WriteResult::ok;
    if (std::fseek(out, 0, SEEK_SET) != 0 || std::fwrite(leading, leading_length, 1, out) != 1) {
        result = WriteResult::header_failed;
    } else if (length > 0 && std::fwrite(block, length, 1, out) != 1) {
        result = WriteResult::data_failed;
    } else if (std::fflush(out) != 0) {
        result = WriteResult::data_failed;
    }
    const int fd = dup(fileno(out));
    if (std::fclose(stream.release()) != 0 && result == WriteResult::ok) {
        result = WriteResult::data_failed;
    }
    if (result != WriteResult::ok && fd >= 0) {
        // Leave no partial image behind that could pass for a result (a device such as
        // /dev/full has no length to cut, which is fine).
        (void)!ftruncate(fd, 0);
    }
    if (fd >= 0) ::close(fd);
    return result;
}
