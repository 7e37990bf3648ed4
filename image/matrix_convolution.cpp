// The convolution: the brightness divisor, the public entry, the kernel table, the portable
// kernel, and the plain loop that needs no working memory.
#include "image/matrix_convolution.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "image/convolution_kernels.h"

#if defined(QUIVEL_HAVE_AVX2_KERNEL)
#include <cpuid.h>
#endif

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

ConvolutionJob convolution_job(const PixelGrid& input, const PixelGrid& matrix,
                               std::int64_t divisor, std::uint8_t* result, RowDone row_done,
                               void* context) {
    return ConvolutionJob{input.pixels, input.width,      input.rows,
                          input.row_bytes, matrix.pixels, matrix.width,
                          matrix.rows,     matrix.row_bytes, divisor,
                          result,          row_done,      context};
}

namespace {

std::uint8_t clamp_to_byte(std::int64_t value) {
    return static_cast<std::uint8_t>(std::clamp<std::int64_t>(value, 0, 255));
}

std::uint64_t clamp_index(std::int64_t index, std::uint64_t count) {
    return static_cast<std::uint64_t>(
        std::clamp<std::int64_t>(index, 0, static_cast<std::int64_t>(count) - 1));
}

void report_row(const ConvolutionJob& job, std::uint64_t y) {
    if (job.row_done != nullptr) job.row_done(job.rows - y, job.context);
}

// A heap array that may fail to be obtained, never throwing.
template <typename T>
std::unique_ptr<T[]> try_obtain(std::uint64_t count) {
    if (count > SIZE_MAX / sizeof(T) / 2) return nullptr;
    return std::unique_ptr<T[]>(new (std::nothrow) T[count == 0 ? 1 : count]());
}

// The portable kernel. Each input row the matrix reaches is widened once into three planes of
// 16-bit values, padded by repeating the edge pixels so the inner loop needs no clamping; a ring
// of matrix-height such rows is kept. Each result row is summed plane by plane into a row of
// 32-bit sums, one matrix weight at a time over the whole row (the compiler vectorises that
// loop for the baseline CPU); zero weights are skipped. Matrices too large for 32-bit sums
// flush the 32-bit row into a 64-bit row before it can overflow.
struct PortableLayout {
    std::uint64_t padded = 0;  // values per plane row: width + matrix width - 1
    std::uint64_t slots = 0;   // rows in the ring
};

void widen_row(const ConvolutionJob& job, std::uint64_t source_row, const PortableLayout& layout,
               std::uint16_t* planes) {
    const std::uint8_t* row = job.input + source_row * job.row_bytes;
    const std::uint64_t half_x = job.matrix_width / 2;
    for (std::uint64_t k = 0; k < layout.padded; ++k) {
        const std::uint64_t sx = clamp_index(static_cast<std::int64_t>(k - half_x), job.width);
        for (int c = 0; c < 3; ++c) planes[c * layout.padded + k] = row[3 * sx + c];
    }
}

// Adds weight x plane[x + offset] into sums[x] for the whole row.
void add_weighted(std::int32_t* sums, const std::uint16_t* plane, std::uint64_t width,
                  std::int32_t weight) {
    for (std::uint64_t x = 0; x < width; ++x) sums[x] += weight * plane[x];
}

bool convolve_portable(const ConvolutionJob& job) {
    const std::uint64_t width = job.width;
    const std::uint64_t height = job.rows;
    if (width == 0 || height == 0) {
        for (std::uint64_t y = 0; y < height; ++y) report_row(job, y);
        return true;
    }
    const std::uint64_t mw = job.matrix_width;
    const std::uint64_t mh = job.matrix_rows;
    const bool wide = mw * mh > kMaxMatrixPixelsFor32BitSums;
    PortableLayout layout;
    layout.padded = width + mw - 1;
    layout.slots = std::min(mh, height);

    auto ring = try_obtain<std::uint16_t>(layout.slots * 3 * layout.padded);
    auto slot_row = try_obtain<std::uint64_t>(layout.slots);
    auto sums = try_obtain<std::int32_t>(width);
    auto wide_sums = try_obtain<std::int64_t>(wide ? width : 0);
    auto row_planes = try_obtain<const std::uint16_t*>(mh);
    if (!ring || !slot_row || !sums || !wide_sums || !row_planes) return false;
    std::fill_n(slot_row.get(), layout.slots, UINT64_MAX);

    const double reciprocal = sum_reciprocal(job.divisor);
    const std::int64_t half_y = static_cast<std::int64_t>(mh / 2);
    // Each weighted row adds at most 255 x 255 to a 32-bit sum.
    const std::uint64_t rows_per_flush = kMaxSum32 / (255 * 255);
    for (std::uint64_t y = 0; y < height; ++y) {
        for (std::uint64_t my = 0; my < mh; ++my) {
            const std::uint64_t sy = clamp_index(static_cast<std::int64_t>(y + my) - half_y, height);
            const std::uint64_t slot = sy % layout.slots;
            std::uint16_t* planes = ring.get() + slot * 3 * layout.padded;
            if (slot_row[slot] != sy) {
                widen_row(job, sy, layout, planes);
                slot_row[slot] = sy;
            }
            row_planes[my] = planes;
        }
        std::uint8_t* out = job.result + y * job.row_bytes;
        for (int c = 0; c < 3; ++c) {
            std::fill_n(sums.get(), width, 0);
            if (wide) std::fill_n(wide_sums.get(), width, 0);
            std::uint64_t weighted = 0;
            for (std::uint64_t my = 0; my < mh; ++my) {
                const std::uint8_t* weights = job.matrix + my * job.matrix_row_bytes + c;
                const std::uint16_t* plane = row_planes[my] + c * layout.padded;
                for (std::uint64_t mx = 0; mx < mw; ++mx) {
                    if (weights[3 * mx] == 0) continue;
                    add_weighted(sums.get(), plane + mx, width, weights[3 * mx]);
                    if (wide && ++weighted == rows_per_flush) {
                        for (std::uint64_t x = 0; x < width; ++x) wide_sums[x] += sums[x];
                        std::fill_n(sums.get(), width, 0);
                        weighted = 0;
                    }
                }
            }
            if (wide) {
                for (std::uint64_t x = 0; x < width; ++x) {
                    out[3 * x + c] = clamp_to_byte((wide_sums[x] + sums[x]) / job.divisor);
                }
            } else {
                for (std::uint64_t x = 0; x < width; ++x) {
                    const auto q = static_cast<std::int32_t>((sums[x] + 0.5) * reciprocal);
                    out[3 * x + c] = static_cast<std::uint8_t>(std::min(q, 255));
                }
            }
        }
        report_row(job, y);
    }
    return true;
}

bool portable_is_supported() { return true; }

constexpr ConvolutionKernel kKernels[] = {
#if defined(QUIVEL_HAVE_AVX2_KERNEL)
    {"avx2", avx2_is_supported, convolve_avx2},
#endif
    {"portable", portable_is_supported, convolve_portable},
};

}  // namespace

void divide_sums_portable(const std::int32_t* sums, std::size_t count, std::int64_t divisor,
                          std::uint8_t* quotients) {
    const double reciprocal = sum_reciprocal(divisor);
    for (std::size_t i = 0; i < count; ++i) {
        const auto q = static_cast<std::int32_t>((sums[i] + 0.5) * reciprocal);
        quotients[i] = static_cast<std::uint8_t>(std::min(q, 255));
    }
}

#if defined(QUIVEL_HAVE_AVX2_KERNEL)
bool avx2_is_supported() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
    const bool has_osxsave = (ecx & bit_OSXSAVE) != 0;
    const bool has_avx = (ecx & bit_AVX) != 0;
    if (!has_osxsave || !has_avx) return false;
    // XCR0 bits 1 and 2: the operating system saves the XMM and YMM state.
    unsigned xcr0_low = 0, xcr0_high = 0;
    __asm__("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
    if ((xcr0_low & 0x6) != 0x6) return false;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
    return (ebx & bit_AVX2) != 0;
}
#endif

std::span<const ConvolutionKernel> convolution_kernels() { return kKernels; }

const ConvolutionKernel* find_convolution_kernel(std::string_view name) {
    for (const ConvolutionKernel& kernel : kKernels) {
        if (name == kernel.name) return &kernel;
    }
    return nullptr;
}

const ConvolutionKernel& chosen_convolution_kernel() {
    static const ConvolutionKernel& chosen = [] () -> const ConvolutionKernel& {
        for (const ConvolutionKernel& kernel : kKernels) {
            if (kernel.is_supported()) return kernel;
        }
        return kKernels[std::size(kKernels) - 1];
    }();
    return chosen;
}

void convolve_plain_loop(const ConvolutionJob& job) {
    const auto width = static_cast<std::int64_t>(job.width);
    const auto height = static_cast<std::int64_t>(job.rows);
    const auto half_x = static_cast<std::int64_t>(job.matrix_width / 2);
    const auto half_y = static_cast<std::int64_t>(job.matrix_rows / 2);
    for (std::int64_t y = 0; y < height; ++y) {
        for (std::int64_t x = 0; x < width; ++x) {
            std::int64_t blue = 0, green = 0, red = 0;
            for (std::uint64_t my = 0; my < job.matrix_rows; ++my) {
                const std::uint64_t sy = clamp_index(y + static_cast<std::int64_t>(my) - half_y,
                                                     job.rows);
                for (std::uint64_t mx = 0; mx < job.matrix_width; ++mx) {
                    const std::uint64_t sx =
                        clamp_index(x + static_cast<std::int64_t>(mx) - half_x, job.width);
                    const std::uint8_t* p = job.input + sy * job.row_bytes + 3 * sx;
                    const std::uint8_t* m = job.matrix + my * job.matrix_row_bytes + 3 * mx;
                    blue += p[0] * m[0];
                    green += p[1] * m[1];
                    red += p[2] * m[2];
                }
            }
            std::uint8_t* out = job.result + y * job.row_bytes + 3 * x;
            out[0] = clamp_to_byte(blue / job.divisor);
            out[1] = clamp_to_byte(green / job.divisor);
            out[2] = clamp_to_byte(red / job.divisor);
        }
        report_row(job, static_cast<std::uint64_t>(y));
    }
}

void convolve_with_kernel(const ConvolutionKernel& kernel, const ConvolutionJob& job) {
    if (!kernel.function(job)) convolve_plain_loop(job);
}

void convolve_image(const PixelGrid& input, const PixelGrid& matrix, std::int64_t divisor,
                    std::uint8_t* result, RowDone row_done, void* context) {
    convolve_with_kernel(chosen_convolution_kernel(),
                         convolution_job(input, matrix, divisor, result, row_done, context));
}
