// Test fixture files, laid out as 24-bit BMP stores them.
#include "tests/bmp_fixture.h"

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace {

void put_u16(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t value) {
    out[at] = static_cast<std::uint8_t>(value);
    out[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

void put_u32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t value) {
    put_u16(out, at, value & 0xFFFF);
    put_u16(out, at + 2, value >> 16);
}

}  // namespace

std::vector<Rgb> pattern_pixels(std::int32_t width, std::int32_t rows, std::uint32_t seed) {
    std::vector<Rgb> pixels;
    std::uint32_t state = seed * 2654435761u + 1;
    for (std::int32_t i = 0; i < width * rows; ++i) {
        state = state * 1664525u + 1013904223u;
        pixels.push_back(Rgb{static_cast<std::uint8_t>(state >> 24),
                             static_cast<std::uint8_t>(state >> 16),
                             static_cast<std::uint8_t>(state >> 8)});
    }
    return pixels;
}

std::vector<Rgb> uniform_pixels(std::int32_t width, std::int32_t rows, Rgb colour) {
    return std::vector<Rgb>(static_cast<std::size_t>(width) * rows, colour);
}

std::vector<std::uint8_t> make_bmp(const BmpFixture& f) {
    const std::size_t rows = static_cast<std::size_t>(std::llabs(f.height));
    const std::size_t width = f.width < 0 ? 0 : static_cast<std::size_t>(f.width);
    const std::size_t row_bytes = (3 * width + 3) / 4 * 4;
    std::size_t pixel_bytes = rows * row_bytes;
    if (f.drop_last_filler && rows > 0) pixel_bytes -= row_bytes - 3 * width;
    const std::uint32_t off_bits =
        f.off_bits >= 0 ? static_cast<std::uint32_t>(f.off_bits)
                        : static_cast<std::uint32_t>(54 + f.before_pixels.size());
    const std::size_t file_size =
        54 + f.before_pixels.size() + pixel_bytes + f.after_pixels.size();

    std::vector<std::uint8_t> out;
    out.reserve(file_size);
    out.resize(54, 0);
    out[0] = 'B';                                            // bfType
    out[1] = 'M';
    put_u32(out, 2, static_cast<std::uint32_t>(file_size));  // bfSize
    put_u32(out, 10, off_bits);                              // bfOffBits
    put_u32(out, 14, f.info_size);                           // biSize
    put_u32(out, 18, static_cast<std::uint32_t>(f.width));   // biWidth
    put_u32(out, 22, static_cast<std::uint32_t>(f.height));  // biHeight
    put_u16(out, 26, 1);                                     // biPlanes
    put_u16(out, 28, f.bit_count);                           // biBitCount
    put_u32(out, 34, static_cast<std::uint32_t>(pixel_bytes));  // biSizeImage
    put_u32(out, 38, 2835);                                  // biXPelsPerMeter
    put_u32(out, 42, 2835);                                  // biYPelsPerMeter
    out.insert(out.end(), f.before_pixels.begin(), f.before_pixels.end());

    for (std::size_t y = 0; y < rows; ++y) {
        for (std::size_t x = 0; x < width; ++x) {
            const std::size_t i = y * width + x;
            const Rgb p = i < f.pixels.size() ? f.pixels[i] : Rgb{};
            out.push_back(p.blue);
            out.push_back(p.green);
            out.push_back(p.red);
        }
        const bool last = y + 1 == rows;
        if (!(last && f.drop_last_filler)) {
            out.insert(out.end(), row_bytes - 3 * width, f.filler);
        }
    }
    out.insert(out.end(), f.after_pixels.begin(), f.after_pixels.end());
    return out;
}

void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::uint8_t> read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(file), {});
}
