// Builds BMP files in memory for tests: a header written field by field, then pixel rows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct Rgb {
    std::uint8_t red = 0, green = 0, blue = 0;
    bool operator==(const Rgb&) const = default;
};

struct BmpFixture {
    std::int32_t width = 0;
    std::int32_t height = 0;  // negative: rows stored top-down
    std::vector<Rgb> pixels{};  // |height| rows of width pixels, in storage order
    std::uint16_t bit_count = 24;
    std::uint32_t info_size = 40;          // biSize: 40, 108 (V4) or 124 (V5)
    std::vector<std::uint8_t> before_pixels{};  // bytes between the 54-byte header and the pixels
    std::vector<std::uint8_t> after_pixels{};  // bytes after the last row (a colour profile, say)
    std::uint8_t filler = 0;                  // value of each row's padding bytes
    bool drop_last_filler = false;            // leave the last row's padding out of the file
    std::int64_t off_bits = -1;               // bfOffBits; -1 means 54 + before_pixels.size()
};

// A grid of the given size whose every pixel is distinct-ish, for detail in results.
std::vector<Rgb> pattern_pixels(std::int32_t width, std::int32_t rows, std::uint32_t seed);
std::vector<Rgb> uniform_pixels(std::int32_t width, std::int32_t rows, Rgb colour);

std::vector<std::uint8_t> make_bmp(const BmpFixture& fixture);

void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> read_file(const std::string& path);
