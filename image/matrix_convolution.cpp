// The convolution, written as the plain four-fold loop that defines its result.
#include "image/matrix_convolution.h"

#include <algorithm>

PixelGrid pixel_grid(const ImageFile& image) {
    const PixelGeometry g = pixel_geometry(image.header);
    return PixelGrid{image.pixels.bytes.get(), g.width, g.rows, g.row_bytes};
}

std::int64_t matrix_brightness(const PixelGrid& matrix) {
    std::int64_t red = 0, green = 0, blue = 0;
    for (std::uint64_t my = 0; my < matrix.rows; ++my) {
        const std::uint8_t* row = matrix.pixels + my * matrix.row_bytes;
        for (std::uint64_t mx = 0; mx < matrix.width; ++mx) {
            blue += row[3 * mx];
            green += row[3 * mx + 1];
            red += row[3 * mx + 2];
        }
    }
    return (3 * (red + blue) + 4 * green) / 10;
}

namespace {

std::uint8_t clamp_to_byte(std::int64_t value) {
    return static_cast<std::uint8_t>(std::clamp<std::int64_t>(value, 0, 255));
}

}  // namespace

void convolve_image(const PixelGrid& input, const PixelGrid& matrix, std::int64_t divisor,
                    std::uint8_t* result, RowDone row_done, void* context) {
    const auto width = static_cast<std::int64_t>(input.width);
    const auto height = static_cast<std::int64_t>(input.rows);
    const auto half_x = static_cast<std::int64_t>(matrix.width / 2);
    const auto half_y = static_cast<std::int64_t>(matrix.rows / 2);
    for (std::int64_t y = 0; y < height; ++y) {
        for (std::int64_t x = 0; x < width; ++x) {
            // 64-bit sums: a product is at most 255 x 255, so even a matrix of 2^31 pixels
            // stays far inside the range.
            std::int64_t blue = 0, green = 0, red = 0;
            for (std::int64_t my = 0; my < static_cast<std::int64_t>(matrix.rows); ++my) {
                const std::int64_t sy = std::clamp<std::int64_t>(y + my - half_y, 0, height - 1);
                for (std::int64_t mx = 0; mx < static_cast<std::int64_t>(matrix.width); ++mx) {
                    const std::int64_t sx =
                        std::clamp<std::int64_t>(x + mx - half_x, 0, width - 1);
                    const std::uint8_t* p = input.pixels + sy * input.row_bytes + 3 * sx;
                    const std::uint8_t* m = matrix.pixels + my * matrix.row_bytes + 3 * mx;
                    blue += p[0] * m[0];
                    green += p[1] * m[1];
                    red += p[2] * m[2];
                }
            }
            std::uint8_t* out = result + y * input.row_bytes + 3 * x;
            out[0] = clamp_to_byte(blue / divisor);
            out[1] = clamp_to_byte(green / divisor);
            out[2] = clamp_to_byte(red / divisor);
        }
        if (row_done != nullptr) row_done(static_cast<std::uint64_t>(height - y), context);
    }
}
