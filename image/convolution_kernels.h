// The kernels behind convolve_image: the job they share, the table they are chosen from, and
// the exact division they use. Tests and the benchmark pick kernels from the table by name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "image/matrix_convolution.h"

// One convolution as plain pointers and sizes: this record crosses into separately compiled
// kernel code, so it carries nothing with code of its own.
struct ConvolutionJob {
    const std::uint8_t* input = nullptr;
    std::uint64_t width = 0;
    std::uint64_t rows = 0;
    std::uint64_t row_bytes = 0;
    const std::uint8_t* matrix = nullptr;
    std::uint64_t matrix_width = 0;
    std::uint64_t matrix_rows = 0;
    std::uint64_t matrix_row_bytes = 0;
    std::int64_t divisor = 1;  // > 0
    std::uint8_t* result = nullptr;
    RowDone row_done = nullptr;
    void* context = nullptr;
};

ConvolutionJob convolution_job(const PixelGrid& input, const PixelGrid& matrix,
                               std::int64_t divisor, std::uint8_t* result, RowDone row_done,
                               void* context);

// Writes every result pixel and reports every row. Returns false, having written nothing and
// reported nothing, when its working memory cannot be obtained.
using KernelFunction = bool (*)(const ConvolutionJob& job);

struct ConvolutionKernel {
    const char* name;
    bool (*is_supported)();
    KernelFunction function;
};

// Best first; the last entry is portable and always supported.
std::span<const ConvolutionKernel> convolution_kernels();

// The entry of that name, or nullptr when there is none.
const ConvolutionKernel* find_convolution_kernel(std::string_view name);

// The first supported entry, chosen on the first call.
const ConvolutionKernel& chosen_convolution_kernel();

// Runs the kernel (which must be supported); without working memory it falls back to the
// plain loop, which needs none.
void convolve_with_kernel(const ConvolutionKernel& kernel, const ConvolutionJob& job);

// The plain four-fold loop over the job, needing no working memory.
void convolve_plain_loop(const ConvolutionJob& job);

// Up to this many matrix pixels a channel sum fits a signed 32-bit integer:
// 33,025 x 255 x 255 = 2,147,450,625 < 2^31 - 1. Larger matrices sum in 64 bits.
inline constexpr std::uint64_t kMaxMatrixPixelsFor32BitSums = 33025;
inline constexpr std::int64_t kMaxSum32 = 2147450625;

// Exact truncating division of a sum 0 <= n < 2^31 by a divisor d >= 1, by multiplication:
//   floor(n / d) == trunc((n + 0.5) * r), r = 1.0 / d rounded to the nearest double.
// Why it is exact: let n = q d + s with 0 <= s < d. The true value t = (n + 0.5) / d is
// q + (s + 0.5) / d, so it lies at least 0.5 / d away from every integer. n + 0.5 < 2^32 is
// exact in a double; r and the product each add a relative error of at most 2^-53, so the
// computed value is off by at most t x 2^-52 (plus a negligible 2^-106 term) <= (2^31 / d) x
// 2^-52 = 2^-21 / d, far less than 0.5 / d. Truncating the computed value therefore gives q.
// Kernels saturate q to 255 afterwards.
inline double sum_reciprocal(std::int64_t divisor) { return 1.0 / static_cast<double>(divisor); }

// Clamped quotients of count 32-bit sums (each 0 <= n <= kMaxSum32) by divisor, as the
// portable kernel forms them; for tests.
void divide_sums_portable(const std::int32_t* sums, std::size_t count, std::int64_t divisor,
                          std::uint8_t* quotients);

#if defined(__x86_64__) || defined(__i386__)
#define QUIVEL_HAVE_AVX2_KERNEL 1
// True when the CPU has AVX2 and the operating system saves the YMM registers.
bool avx2_is_supported();
bool convolve_avx2(const ConvolutionJob& job);
// The AVX2 kernel's divisions, as divide_sums_portable; for tests. The small one is exact for
// sums up to kMaxSumForFloatDivision and serves matrices of up to 64 pixels.
void divide_sums_avx2(const std::int32_t* sums, std::size_t count, std::int64_t divisor,
                      std::uint8_t* quotients);
void divide_small_sums_avx2(const std::int32_t* sums, std::size_t count, std::int64_t divisor,
                            std::uint8_t* quotients);
inline constexpr std::int64_t kMaxSumForFloatDivision = 64 * 255 * 255;
#endif
