// Writes the fuzz seed corpus into the directory given: pairs of small files built by the
// test fixtures (valid images of several widths, V4 and V5 headers, top-down rows, palettes,
// trailing bytes, truncated data, hostile declared sizes), one fuzz input per pair.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "tests/bmp_fixture.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Seed {
    std::string name;
    Bytes input;
    Bytes matrix;
};

Bytes image(std::int32_t width, std::int32_t height, std::uint32_t seed) {
    BmpFixture f;
    f.width = width;
    f.height = height;
    f.pixels = pattern_pixels(width, height < 0 ? -height : height, seed);
    return make_bmp(f);
}

Bytes uniform(std::int32_t width, std::int32_t height, Rgb colour) {
    BmpFixture f;
    f.width = width;
    f.height = height;
    f.pixels = uniform_pixels(width, height < 0 ? -height : height, colour);
    return make_bmp(f);
}

// A copy of a valid file with one 32-bit header field replaced: sizes no file could hold.
Bytes with_field(Bytes bytes, std::size_t offset, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i)
        bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    return bytes;
}

Bytes shortened(Bytes bytes, std::size_t length) {
    bytes.resize(length < bytes.size() ? length : bytes.size());
    return bytes;
}

std::vector<Seed> seeds() {
    const Rgb white{255, 255, 255};
    const Bytes white_1x1 = uniform(1, 1, white);
    const Bytes blur_3x3 = uniform(3, 3, white);
    std::vector<Seed> list;

    for (std::int32_t width = 1; width <= 8; ++width) {
        list.push_back({"width_" + std::to_string(width), image(width, 3, width), blur_3x3});
    }

    BmpFixture v4;  // BITMAPV4HEADER: colour masks and colour space after the 40 bytes
    v4.width = 5;
    v4.height = 3;
    v4.pixels = pattern_pixels(5, 3, 11);
    v4.info_size = 108;
    v4.before_pixels = Bytes(68, 0);
    list.push_back({"v4_header", make_bmp(v4), white_1x1});

    BmpFixture v5 = v4;  // BITMAPV5HEADER with an embedded colour profile after the pixels
    v5.info_size = 124;
    v5.before_pixels = Bytes(84, 0);
    v5.after_pixels = Bytes(24, 0x5A);
    v5.filler = 0xEE;
    list.push_back({"v5_header_profile", make_bmp(v5), blur_3x3});
    list.push_back({"v5_matrix", image(4, 4, 12), make_bmp(v5)});

    list.push_back({"top_down", image(6, -4, 13), image(3, -3, 14)});
    list.push_back({"top_down_matrix", image(4, 3, 15), image(2, -2, 16)});

    BmpFixture palette;  // a 16-entry palette before the pixels of a 24-bit file
    palette.width = 3;
    palette.height = 2;
    palette.pixels = pattern_pixels(3, 2, 17);
    for (int i = 0; i < 16 * 4; ++i)
        palette.before_pixels.push_back(static_cast<std::uint8_t>(i * 7));
    list.push_back({"palette_24_bit", make_bmp(palette), white_1x1});
    palette.bit_count = 8;
    list.push_back({"palette_8_bit", make_bmp(palette), white_1x1});
    list.push_back({"matrix_8_bit", image(2, 2, 18), make_bmp(palette)});

    BmpFixture dropped;  // the last row's filler left out: still every pixel
    dropped.width = 5;
    dropped.height = 3;
    dropped.pixels = pattern_pixels(5, 3, 19);
    dropped.drop_last_filler = true;
    const Bytes dropped_bytes = make_bmp(dropped);
    list.push_back({"dropped_last_filler", dropped_bytes, white_1x1});
    list.push_back(
        {"truncated_pixels", shortened(dropped_bytes, dropped_bytes.size() - 1), white_1x1});
    list.push_back({"truncated_header", shortened(image(4, 4, 20), 30), white_1x1});
    list.push_back({"truncated_matrix", image(4, 4, 21), shortened(blur_3x3, blur_3x3.size() - 2)});
    list.push_back({"empty_input", {}, white_1x1});
    list.push_back({"empty_matrix", image(2, 2, 22), {}});

    const Bytes small = image(3, 3, 23);
    list.push_back({"off_bits_past_end",
                    with_field(small, 10, static_cast<std::uint32_t>(small.size() + 1)),
                    white_1x1});
    list.push_back({"off_bits_in_header", with_field(small, 10, 40), white_1x1});
    list.push_back({"width_0", uniform(0, 3, white), white_1x1});
    list.push_back({"height_0", uniform(3, 0, white), white_1x1});
    list.push_back({"matrix_width_0", small, uniform(0, 2, white)});
    list.push_back({"matrix_larger", image(2, 2, 24), image(5, 5, 25)});
    list.push_back({"even_matrix", image(5, 4, 26), uniform(2, 2, white)});
    list.push_back({"dark_matrix", small, uniform(1, 1, Rgb{0, 2, 0})});
    list.push_back({"black_matrix", small, uniform(3, 3, Rgb{})});

    list.push_back({"huge_width", with_field(small, 18, 0x7FFFFFFF), white_1x1});
    list.push_back({"huge_height", with_field(small, 22, 0x80000000), white_1x1});
    list.push_back({"negative_width", with_field(small, 18, 0xFFFFFFFF), white_1x1});
    list.push_back(
        {"huge_matrix", small, with_field(with_field(blur_3x3, 18, 0x7FFFFFFF), 22, 0x80000000)});
    return list;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
        return 2;
    }
    std::error_code error;
    std::filesystem::create_directories(argv[1], error);
    const std::vector<Seed> list = seeds();
    for (const Seed& seed : list) {
        const std::string path = std::string(argv[1]) + "/" + seed.name;
        if (!write_whole_file(path, join_fuzz_input(seed.input, seed.matrix))) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            return 1;
        }
    }
    std::printf("wrote %zu seeds to %s\n", list.size(), argv[1]);
    return 0;
}
