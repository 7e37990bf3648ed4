// The plain four-fold loop that defines the convolution's result, kept as the oracle that
// every kernel is compared with.
#pragma once

#include <cstdint>

#include "image/matrix_convolution.h"

// Writes every pixel of result (laid out like input); filler bytes are left as they are.
void reference_convolution(const PixelGrid& input, const PixelGrid& matrix, std::int64_t divisor,
                           std::uint8_t* result);
