// Convolution of an image with a matrix image: the brightness divisor and the result pixels.
#pragma once

#include <cstdint>

#include "image/bmp_file.h"

// One image's pixels as the convolution sees them: rows in storage order, 3 bytes a pixel
// (blue, green, red), row_bytes apart.
struct PixelGrid {
    const std::uint8_t* pixels = nullptr;
    std::uint64_t width = 0;
    std::uint64_t rows = 0;
    std::uint64_t row_bytes = 0;
};

PixelGrid pixel_grid(const ImageFile& image);

// Called after each finished row with the number of rows left, counting the row just done.
using RowDone = void (*)(std::uint64_t rows_left, void* context);

// (3 x (red + blue) + 4 x green) / 10, summed over every matrix pixel. 0 means the matrix
// is too dark to divide by.
std::int64_t matrix_brightness(const PixelGrid& matrix);

// Fills every pixel of result (laid out like input) with the weighted sum of the input
// pixels under the matrix, divided by divisor (> 0) and clamped to 0..255, edges repeated.
// Bytes of result that no pixel covers are left as they are.
void convolve_image(const PixelGrid& input, const PixelGrid& matrix, std::int64_t divisor,
                    std::uint8_t* result, RowDone row_done, void* context);
