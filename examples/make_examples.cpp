// Draws the example picture and the example matrices and writes them as 24-bit BMP files
// into the directory given on the command line (the current one if none is given).
// Everything is integer drawing, so every run writes the same bytes.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Rgb {
    std::uint8_t red = 0, green = 0, blue = 0;
};

// Pixels in display order: row 0 is the top row, as a viewer shows the picture.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<Rgb> pixels;
};

Picture blank_picture(int width, int height, Rgb colour) {
    return Picture{width, height,
                   std::vector<Rgb>(static_cast<std::size_t>(width) * height, colour)};
}

Rgb& pixel_at(Picture& picture, int x, int y) {
    return picture.pixels[static_cast<std::size_t>(y) * picture.width + x];
}

void put_pixel(Picture& picture, int x, int y, Rgb colour) {
    if (x < 0 || y < 0 || x >= picture.width || y >= picture.height) return;
    pixel_at(picture, x, y) = colour;
}

void fill_rect(Picture& picture, int left, int top, int width, int height, Rgb colour) {
    for (int y = top; y < top + height; ++y) {
        for (int x = left; x < left + width; ++x) put_pixel(picture, x, y, colour);
    }
}

std::uint8_t saturating_add(std::uint8_t a, std::uint8_t b) {
    const int sum = a + b;
    return static_cast<std::uint8_t>(sum > 255 ? 255 : sum);
}

// Adds the colour onto what is there, so overlapping discs mix like light.
void add_disc(Picture& picture, int cx, int cy, int radius, Rgb colour) {
    for (int y = cy - radius; y <= cy + radius; ++y) {
        for (int x = cx - radius; x <= cx + radius; ++x) {
            if (x < 0 || y < 0 || x >= picture.width || y >= picture.height) continue;
            if ((x - cx) * (x - cx) + (y - cy) * (y - cy) > radius * radius + radius) continue;
            Rgb& p = pixel_at(picture, x, y);
            p = Rgb{saturating_add(p.red, colour.red), saturating_add(p.green, colour.green),
                    saturating_add(p.blue, colour.blue)};
        }
    }
}

void fill_disc(Picture& picture, int cx, int cy, int radius, Rgb colour) {
    for (int y = cy - radius; y <= cy + radius; ++y) {
        for (int x = cx - radius; x <= cx + radius; ++x) {
            if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= radius * radius + radius) {
                put_pixel(picture, x, y, colour);
            }
        }
    }
}

// A one-pixel line from (x0, y0) to (x1, y1), both ends included (Bresenham).
void draw_line(Picture& picture, int x0, int y0, int x1, int y1, Rgb colour) {
    const int dx = x1 > x0 ? x1 - x0 : x0 - x1;
    const int dy = y1 > y0 ? y0 - y1 : y1 - y0;  // negative
    const int step_x = x0 < x1 ? 1 : -1;
    const int step_y = y0 < y1 ? 1 : -1;
    int error = dx + dy;
    for (;;) {
        put_pixel(picture, x0, y0, colour);
        if (x0 == x1 && y0 == y1) return;
        const int twice = 2 * error;
        if (twice >= dy) {
            error += dy;
            x0 += step_x;
        }
        if (twice <= dx) {
            error += dx;
            y0 += step_y;
        }
    }
}

// Fully saturated colour for a hue from 0 to 1535 (six ramps of 256).
Rgb hue_colour(int hue) {
    const int ramp = hue / 256;
    const auto up = static_cast<std::uint8_t>(hue % 256);
    const auto down = static_cast<std::uint8_t>(255 - hue % 256);
    switch (ramp) {
        case 0: return Rgb{255, up, 0};
        case 1: return Rgb{down, 255, 0};
        case 2: return Rgb{0, 255, up};
        case 3: return Rgb{0, down, 255};
        case 4: return Rgb{up, 0, 255};
        default: return Rgb{255, 0, down};
    }
}

Rgb scaled(Rgb colour, int numerator, int denominator) {
    return Rgb{static_cast<std::uint8_t>(colour.red * numerator / denominator),
               static_cast<std::uint8_t>(colour.green * numerator / denominator),
               static_cast<std::uint8_t>(colour.blue * numerator / denominator)};
}

constexpr Rgb kBlack{0, 0, 0};
constexpr Rgb kWhite{255, 255, 255};

// 192 x 128: mixing colour discs and fine bars on the left, a star of thin lines and
// checkerboards of three sizes on the right, a grey ramp and a rainbow along the bottom.
// Each part shows one thing a matrix does: blur, direction, shift, or colour.
Picture draw_picture() {
    Picture picture = blank_picture(192, 128, kBlack);

    // Red, green and blue light overlapping into yellow, cyan, magenta and white.
    add_disc(picture, 34, 40, 22, Rgb{230, 0, 0});
    add_disc(picture, 60, 40, 22, Rgb{0, 230, 0});
    add_disc(picture, 47, 62, 22, Rgb{0, 0, 230});

    // Vertical bars 2, 3 and 4 pixels apart, then horizontal ones: fine detail to wash out.
    for (int x = 6; x <= 28; x += 2) draw_line(picture, x, 92, x, 108, kWhite);
    for (int x = 34; x <= 58; x += 3) draw_line(picture, x, 92, x, 108, kWhite);
    for (int x = 64; x <= 88; x += 4) draw_line(picture, x, 92, x, 108, kWhite);

    // A star of one-pixel lines on dark blue: a directional blur keeps the lines that run
    // its way and smears the others.
    fill_rect(picture, 96, 0, 96, 64, Rgb{10, 20, 70});
    const int cx = 143;
    const int cy = 31;
    for (int x = 98; x <= 189; x += 7) {
        draw_line(picture, cx, cy, x, 2, Rgb{255, 240, 120});
        draw_line(picture, cx, cy, x, 61, Rgb{255, 240, 120});
    }
    for (int y = 9; y <= 55; y += 7) {
        draw_line(picture, cx, cy, 98, y, Rgb{255, 240, 120});
        draw_line(picture, cx, cy, 189, y, Rgb{255, 240, 120});
    }
    fill_disc(picture, cx, cy, 4, Rgb{255, 120, 40});

    // Checkerboards of 8, 3 and 1 pixel squares, in black and white, red and cyan, and
    // black and white again.
    for (int y = 64; y < 100; ++y) {
        for (int x = 96; x < 128; ++x) {
            put_pixel(picture, x, y, ((x / 8 + y / 8) % 2) ? kWhite : kBlack);
        }
        for (int x = 128; x < 160; ++x) {
            put_pixel(picture, x, y,
                      ((x / 3 + y / 3) % 2) ? Rgb{240, 30, 30} : Rgb{30, 220, 230});
        }
        for (int x = 160; x < 192; ++x) {
            put_pixel(picture, x, y, ((x + y) % 2) ? kWhite : kBlack);
        }
    }

    // Eight grey steps, dark to light.
    for (int step = 0; step < 8; ++step) {
        const auto level = static_cast<std::uint8_t>(step * 255 / 7);
        fill_rect(picture, 96 + step * 12, 100, 12, 12, Rgb{level, level, level});
    }

    // The rainbow, fading from full strength to half towards the bottom.
    for (int y = 112; y < 128; ++y) {
        for (int x = 0; x < 192; ++x) {
            put_pixel(picture, x, y, scaled(hue_colour(x * 1536 / 192), 32 - (y - 112), 32));
        }
    }
    return picture;
}

// Every matrix weight is a pixel; grey (w, w, w) weighs every channel by w.
Picture box_blur_3x3() { return blank_picture(3, 3, kWhite); }

// Binomial weights 1 4 6 4 1 in both directions (sum 256), each times 7, so the grey
// values stay within a byte and the brightness divisor is 7 x 256.
Picture gaussian_5x5() {
    const int binomial[5] = {1, 4, 6, 4, 1};
    Picture matrix = blank_picture(5, 5, kBlack);
    for (int y = 0; y < 5; ++y) {
        for (int x = 0; x < 5; ++x) {
            const auto w = static_cast<std::uint8_t>(7 * binomial[x] * binomial[y]);
            pixel_at(matrix, x, y) = Rgb{w, w, w};
        }
    }
    return matrix;
}

// White along the diagonal from bottom left to top right: each result pixel is the mean
// of nine input pixels along that line.
Picture motion_blur_diagonal_9x9() {
    Picture matrix = blank_picture(9, 9, kBlack);
    for (int i = 0; i < 9; ++i) pixel_at(matrix, i, 8 - i) = kWhite;
    return matrix;
}

// One white weight in the bottom left corner, 8 columns left of and 8 rows below the
// centre: every result pixel takes the input pixel there, so the picture moves up and
// to the right by 8 pixels.
Picture shift_17x17() {
    Picture matrix = blank_picture(17, 17, kBlack);
    pixel_at(matrix, 0, 16) = kWhite;
    return matrix;
}

// A different weight per channel: red taken from 8 pixels to the left (red moves right),
// green from the centre (stays), blue from 8 pixels to the right (blue moves left). Each
// channel sums to 255, so the divisor is 255 and no channel changes its strength.
Picture channel_split_17x1() {
    Picture matrix = blank_picture(17, 1, kBlack);
    pixel_at(matrix, 0, 0) = Rgb{255, 0, 0};
    pixel_at(matrix, 8, 0) = Rgb{0, 255, 0};
    pixel_at(matrix, 16, 0) = Rgb{0, 0, 255};
    return matrix;
}

void put_u16(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t value) {
    out[at] = static_cast<std::uint8_t>(value);
    out[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

void put_u32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t value) {
    put_u16(out, at, value & 0xFFFF);
    put_u16(out, at + 2, value >> 16);
}

// The usual bottom-up layout: the picture's bottom row is stored first.
std::vector<std::uint8_t> bmp_bytes(const Picture& picture) {
    const std::size_t row_bytes = (3 * static_cast<std::size_t>(picture.width) + 3) / 4 * 4;
    const std::size_t pixel_bytes = row_bytes * picture.height;
    std::vector<std::uint8_t> out(54 + pixel_bytes, 0);
    out[0] = 'B';                                                   // bfType
    out[1] = 'M';
    put_u32(out, 2, static_cast<std::uint32_t>(out.size()));        // bfSize
    put_u32(out, 10, 54);                                           // bfOffBits
    put_u32(out, 14, 40);                                           // biSize
    put_u32(out, 18, static_cast<std::uint32_t>(picture.width));    // biWidth
    put_u32(out, 22, static_cast<std::uint32_t>(picture.height));   // biHeight
    put_u16(out, 26, 1);                                            // biPlanes
    put_u16(out, 28, 24);                                           // biBitCount
    put_u32(out, 34, static_cast<std::uint32_t>(pixel_bytes));      // biSizeImage
    put_u32(out, 38, 2835);                                         // biXPelsPerMeter (72 dpi)
    put_u32(out, 42, 2835);                                         // biYPelsPerMeter
    for (int row = 0; row < picture.height; ++row) {
        const int y = picture.height - 1 - row;
        std::uint8_t* stored = out.data() + 54 + row * row_bytes;
        for (int x = 0; x < picture.width; ++x) {
            const Rgb& p = picture.pixels[static_cast<std::size_t>(y) * picture.width + x];
            stored[3 * x] = p.blue;
            stored[3 * x + 1] = p.green;
            stored[3 * x + 2] = p.red;
        }
    }
    return out;
}

[[nodiscard]] bool write_bmp(const std::string& path, const Picture& picture) {
    const std::vector<std::uint8_t> bytes = bmp_bytes(picture);
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) return false;
    const bool written = std::fwrite(bytes.data(), bytes.size(), 1, out) == 1;
    return std::fclose(out) == 0 && written;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string directory = argc > 1 ? argv[1] : ".";
    struct Example {
        const char* name;
        Picture picture;
    };
    const Example examples[] = {
        {"picture.bmp", draw_picture()},
        {"box_blur_3x3.bmp", box_blur_3x3()},
        {"gaussian_5x5.bmp", gaussian_5x5()},
        {"motion_blur_diagonal_9x9.bmp", motion_blur_diagonal_9x9()},
        {"shift_17x17.bmp", shift_17x17()},
        {"channel_split_17x1.bmp", channel_split_17x1()},
    };
    for (const Example& example : examples) {
        const std::string path = directory + "/" + example.name;
        if (!write_bmp(path, example.picture)) {
            std::fprintf(stderr, "make_examples: cannot write %s\n", path.c_str());
            return 1;
        }
    }
    return 0;
}
