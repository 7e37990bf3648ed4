// The definition of the result, written for obviousness: for every result pixel, every matrix
// pixel, with the source position clamped to the picture.
#include "tests/reference_convolution.h"

#include <algorithm>

void reference_convolution(const PixelGrid& input, const PixelGrid& matrix, std::int64_t divisor,
                           std::uint8_t* result) {
    const auto width = static_cast<std::int64_t>(input.width);
    const auto height = static_cast<std::int64_t>(input.rows);
    const auto half_x = static_cast<std::int64_t>(matrix.width / 2);
    const auto half_y = static_cast<std::int64_t>(matrix.rows / 2);
    for (std::int64_t y = 0; y < height; ++y) {
        for (std::int64_t x = 0; x < width; ++x) {
            std::int64_t sum[3] = {0, 0, 0};  // blue, green, red
            for (std::int64_t my = 0; my < static_cast<std::int64_t>(matrix.rows); ++my) {
                const std::int64_t sy = std::clamp<std::int64_t>(y + my - half_y, 0, height - 1);
                for (std::int64_t mx = 0; mx < static_cast<std::int64_t>(matrix.width); ++mx) {
                    const std::int64_t sx = std::clamp<std::int64_t>(x + mx - half_x, 0, width - 1);
                    const std::uint8_t* p = input.pixels + sy * input.row_bytes + 3 * sx;
                    const std::uint8_t* m = matrix.pixels + my * matrix.row_bytes + 3 * mx;
                    for (int c = 0; c < 3; ++c) sum[c] += p[c] * m[c];
                }
            }
            std::uint8_t* out = result + y * input.row_bytes + 3 * x;
            for (int c = 0; c < 3; ++c) {
                out[c] = static_cast<std::uint8_t>(std::clamp<std::int64_t>(sum[c] / divisor, 0, 255));
            }
        }
    }
}
