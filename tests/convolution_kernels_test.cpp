// Every kernel the machine supports against the plain loop, byte for byte over the whole
// result block; the kernel table; the exact division over its whole range.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "image/bmp_file.h"
#include "image/convolution_kernels.h"
#include "image/matrix_convolution.h"
#include "tests/reference_convolution.h"

namespace {

// A pixel block sized exactly as a file may hold it: the last row's filler is missing, so a
// read or write past the last pixel is a heap overflow that AddressSanitizer reports.
struct Grid {
    std::vector<std::uint8_t> bytes;
    std::uint64_t width = 0, rows = 0, row_bytes = 0;
    PixelGrid view() const { return PixelGrid{bytes.data(), width, rows, row_bytes}; }
};

Grid make_grid(std::uint64_t width, std::uint64_t rows) {
    Grid g;
    g.width = width;
    g.rows = rows;
    g.row_bytes = bmp_row_bytes(width);
    const std::uint64_t size = rows == 0 ? 0 : (rows - 1) * g.row_bytes + 3 * width;
    g.bytes.assign(size, 0);
    return g;
}

enum class Fill { random, white, sparse, shift, pure_blue };

// Filler bytes get random values too, so a kernel that writes them shows up.
void fill(Grid& g, Fill how, std::mt19937& rng) {
    std::uniform_int_distribution<int> byte(0, 255);
    for (auto& b : g.bytes) b = static_cast<std::uint8_t>(byte(rng));
    for (std::uint64_t y = 0; y < g.rows; ++y) {
        for (std::uint64_t x = 0; x < g.width; ++x) {
            std::uint8_t* p = g.bytes.data() + y * g.row_bytes + 3 * x;
            for (int c = 0; c < 3; ++c) {
                switch (how) {
                    case Fill::random: break;
                    case Fill::white: p[c] = 255; break;
                    case Fill::sparse: if (byte(rng) < 200) p[c] = 0; break;
                    case Fill::shift: p[c] = x == 0 && y == 0 ? 255 : 0; break;
                    case Fill::pure_blue: p[c] = c == 0 ? 255 : 0; break;
                }
            }
        }
    }
}

struct Case {
    std::uint64_t width, rows, matrix_width, matrix_rows;
    Fill image = Fill::random;
    Fill matrix = Fill::random;
    // Divisor as a fraction of the matrix brightness, to move results across the clamp.
    double divisor_scale = 1.0;
};

std::string describe(const Case& c) {
    return std::to_string(c.width) + "x" + std::to_string(c.rows) + " image, " +
           std::to_string(c.matrix_width) + "x" + std::to_string(c.matrix_rows) + " matrix, fills " +
           std::to_string(static_cast<int>(c.image)) + "/" + std::to_string(static_cast<int>(c.matrix)) +
           ", divisor scale " + std::to_string(c.divisor_scale);
}

void record_row(std::uint64_t rows_left, void* context) {
    static_cast<std::vector<std::uint64_t>*>(context)->push_back(rows_left);
}

// Runs one case through the kernel and the oracle from the same starting block (the input's
// copy, as the driver makes it) and reports the first differing byte.
void expect_same_as_reference(const ConvolutionKernel& kernel, const Case& c, std::uint32_t seed) {
    std::mt19937 rng(seed);
    Grid input = make_grid(c.width, c.rows);
    Grid matrix = make_grid(c.matrix_width, c.matrix_rows);
    fill(input, c.image, rng);
    fill(matrix, c.matrix, rng);
    const std::int64_t brightness = matrix_brightness(matrix.view());
    const std::int64_t divisor =
        std::max<std::int64_t>(1, static_cast<std::int64_t>(brightness * c.divisor_scale));

    std::vector<std::uint8_t> expected = input.bytes;
    reference_convolution(input.view(), matrix.view(), divisor, expected.data());
    std::vector<std::uint8_t> actual = input.bytes;
    std::vector<std::uint64_t> rows_reported;
    kernel.function(convolution_job(input.view(), matrix.view(), divisor, actual.data(),
                                    record_row, &rows_reported))
        ? void()
        : ADD_FAILURE() << "kernel could not obtain its working memory";

    ASSERT_EQ(rows_reported.size(), c.rows) << describe(c);
    for (std::uint64_t y = 0; y < c.rows; ++y) ASSERT_EQ(rows_reported[y], c.rows - y) << describe(c);
    const auto diff = std::mismatch(expected.begin(), expected.end(), actual.begin());
    if (diff.first != expected.end()) {
        const auto at = static_cast<std::uint64_t>(diff.first - expected.begin());
        const std::uint64_t row = at / input.row_bytes;
        const std::uint64_t in_row = at % input.row_bytes;
        ADD_FAILURE() << describe(c) << ", divisor " << divisor << ": first difference in row "
                      << row << ", byte " << in_row << " (pixel " << in_row / 3 << ", channel "
                      << in_row % 3 << "): expected " << int(*diff.first) << ", got "
                      << int(*diff.second);
    }
}

std::vector<std::string> supported_kernel_names() {
    std::vector<std::string> names;
    for (const ConvolutionKernel& k : convolution_kernels()) {
        if (k.is_supported()) names.emplace_back(k.name);
    }
    return names;
}

class KernelTest : public testing::TestWithParam<std::string> {
protected:
    const ConvolutionKernel& kernel() const { return *find_convolution_kernel(GetParam()); }
};

TEST_P(KernelTest, EveryWidthAndShortHeightsAroundTheVectorSize) {
    // Up to two 32-pixel tiles and one pixel, with a matrix that reaches across tile edges.
    for (std::uint64_t width = 1; width <= 65; ++width) {
        for (std::uint64_t rows = 1; rows <= 5; ++rows) {
            expect_same_as_reference(kernel(), {width, rows, 3, 3}, static_cast<std::uint32_t>(width * 7 + rows));
            expect_same_as_reference(kernel(), {width, rows, 5, 2}, static_cast<std::uint32_t>(width * 11 + rows));
            expect_same_as_reference(kernel(), {width, rows, 1, 1}, static_cast<std::uint32_t>(width * 13 + rows));
            expect_same_as_reference(kernel(), {width, rows, 8, 9}, static_cast<std::uint32_t>(width * 17 + rows));
        }
    }
}

TEST_P(KernelTest, MatrixShapes) {
    const Case cases[] = {
        {17, 9, 1, 1},   {17, 9, 1, 7},   {17, 9, 7, 1},   {17, 9, 2, 2},    {40, 11, 4, 6},
        {33, 8, 6, 3},   {3, 2, 9, 7},    {5, 1, 40, 1},   {1, 1, 5, 5},     {2, 30, 3, 12},
        {70, 6, 31, 31}, {9, 4, 64, 2},   {100, 3, 15, 15}, {1, 40, 1, 33},  {37, 5, 8, 8},
    };
    std::uint32_t seed = 1;
    for (const Case& c : cases) expect_same_as_reference(kernel(), c, seed++);
}

TEST_P(KernelTest, KnownMatrices) {
    const Case cases[] = {
        // The shifting matrix: black but for a white first stored pixel.
        {13, 6, 3, 3, Fill::random, Fill::shift},
        {40, 3, 3, 3, Fill::random, Fill::shift},
        // Pure blue 1 x 1: red and green become 0, blue scales past the clamp.
        {35, 4, 1, 1, Fill::random, Fill::pure_blue},
        // All weights and all pixels 255: the largest sums.
        {33, 3, 7, 7, Fill::white, Fill::white},
        {9, 4, 181, 181, Fill::white, Fill::white},
        // Sparse matrices: most weight pairs are zero and skipped.
        {50, 7, 9, 9, Fill::random, Fill::sparse},
        {34, 5, 16, 5, Fill::sparse, Fill::sparse},
    };
    std::uint32_t seed = 100;
    for (const Case& c : cases) expect_same_as_reference(kernel(), c, seed++);
}

TEST_P(KernelTest, LargestThirtyTwoBitSumsAndTheSixtyFourBitPath) {
    const Case cases[] = {
        // 25 x 1321 = 33,025 pixels: all-white sums reach exactly 33,025 x 255 x 255.
        {3, 2, 25, 1321, Fill::white, Fill::white, 1.0 / 255},
        {3, 2, 25, 1321, Fill::white, Fill::white, 1.0},
        // One pixel more takes the 64-bit path; small divisors keep results off the clamp.
        {4, 3, 33026, 1, Fill::white, Fill::white, 1.0},
        {5, 3, 201, 201, Fill::white, Fill::white, 1.0},
        {5, 3, 201, 201, Fill::random, Fill::random, 1.0},
        {6, 2, 201, 201, Fill::random, Fill::random, 0.004},
        {35, 2, 1, 33100, Fill::random, Fill::random, 1.5},
    };
    std::uint32_t seed = 200;
    for (const Case& c : cases) expect_same_as_reference(kernel(), c, seed++);
}

TEST_P(KernelTest, RandomCases) {
    std::mt19937 rng(4242);
    std::uniform_int_distribution<int> side(1, 48);
    std::uniform_int_distribution<int> matrix_side(1, 12);
    std::uniform_real_distribution<double> scale(0.01, 2.0);
    const Fill fills[] = {Fill::random, Fill::sparse, Fill::white};
    for (int i = 0; i < 150; ++i) {
        Case c{static_cast<std::uint64_t>(side(rng)), static_cast<std::uint64_t>(side(rng)),
               static_cast<std::uint64_t>(matrix_side(rng)),
               static_cast<std::uint64_t>(matrix_side(rng)), fills[i % 2], fills[i % 3], scale(rng)};
        expect_same_as_reference(kernel(), c, static_cast<std::uint32_t>(rng()));
    }
}

TEST_P(KernelTest, EmptyImagesStillReportEveryRow) {
    expect_same_as_reference(kernel(), {0, 4, 3, 3}, 1);
    expect_same_as_reference(kernel(), {7, 0, 3, 3}, 2);
    expect_same_as_reference(kernel(), {0, 0, 1, 1}, 3);
}

INSTANTIATE_TEST_SUITE_P(Supported, KernelTest, testing::ValuesIn(supported_kernel_names()),
                         [](const testing::TestParamInfo<std::string>& info) { return info.param; });

TEST(PlainLoop, MatchesTheReference) {
    // The fallback when a kernel cannot obtain working memory.
    const ConvolutionKernel plain{"plain", [] { return true; }, [](const ConvolutionJob& job) {
                                      convolve_plain_loop(job);
                                      return true;
                                  }};
    expect_same_as_reference(plain, {37, 5, 3, 3}, 7);
    expect_same_as_reference(plain, {4, 3, 33026, 1, Fill::white, Fill::white}, 8);
}

TEST(KernelTable, PortableIsLastAndAlwaysSupported) {
    const auto kernels = convolution_kernels();
    ASSERT_FALSE(kernels.empty());
    EXPECT_STREQ(kernels.back().name, "portable");
    EXPECT_TRUE(kernels.back().is_supported());
}

TEST(KernelTable, UnknownNameIsNotFound) {
    EXPECT_EQ(find_convolution_kernel("avx512"), nullptr);
    EXPECT_EQ(find_convolution_kernel(""), nullptr);
    EXPECT_NE(find_convolution_kernel("portable"), nullptr);
}

TEST(KernelTable, ChosenKernelIsTheFirstSupported) {
    for (const ConvolutionKernel& k : convolution_kernels()) {
        if (k.is_supported()) {
            EXPECT_STREQ(chosen_convolution_kernel().name, k.name);
            return;
        }
    }
}

#if defined(QUIVEL_HAVE_AVX2_KERNEL)
TEST(KernelTable, Avx2IsChosenOnACpuThatHasIt) {
    // Checked apart from the kernel's own detection, so we know we test what we think we test.
    if (!__builtin_cpu_supports("avx2")) GTEST_SKIP() << "this CPU has no AVX2";
    EXPECT_TRUE(avx2_is_supported());
    EXPECT_STREQ(chosen_convolution_kernel().name, "avx2");
}
#endif

using DivideSums = void (*)(const std::int32_t*, std::size_t, std::int64_t, std::uint8_t*);

// Every divisor the sums can meet (a matrix of P pixels has a divisor of at most 255 P), at the
// sums where the quotient changes (k d - 1 and k d) for the smallest quotients, those around the
// clamp and the largest, and at the largest sum; every sum for the smallest divisors.
void expect_exact_division(DivideSums divide, std::int64_t max_sum) {
    const std::int64_t max_divisor = max_sum / 255;
    std::vector<std::int32_t> sums;
    std::vector<std::uint8_t> quotients;
    auto check = [&](std::int64_t d) {
        quotients.assign(sums.size(), 0);
        divide(sums.data(), sums.size(), d, quotients.data());
        for (std::size_t i = 0; i < sums.size(); ++i) {
            const auto expected = static_cast<std::uint8_t>(std::min<std::int64_t>(sums[i] / d, 255));
            if (quotients[i] != expected) {
                ADD_FAILURE() << sums[i] << " / " << d << ": expected " << int(expected) << ", got "
                              << int(quotients[i]);
                return false;
            }
        }
        return true;
    };
    for (std::int64_t d = 1; d <= max_divisor; ++d) {
        sums.clear();
        const std::int64_t top = max_sum / d;  // largest quotient
        for (const std::int64_t k : {std::int64_t{1}, std::int64_t{2}, std::int64_t{254},
                                     std::int64_t{255}, std::int64_t{256}, top}) {
            if (k > top) continue;
            sums.push_back(static_cast<std::int32_t>(k * d - 1));
            sums.push_back(static_cast<std::int32_t>(k * d));
        }
        sums.push_back(static_cast<std::int32_t>(max_sum));
        if (!check(d)) return;
    }
    for (std::int64_t d = 1; d <= 64; ++d) {
        sums.clear();
        for (std::int64_t n = 0; n <= std::min(300 * d, max_sum); ++n) sums.push_back(static_cast<std::int32_t>(n));
        if (!check(d)) return;
    }
}

TEST(ExactDivision, PortableOverTheWholeRange) {
    expect_exact_division(divide_sums_portable, kMaxSum32);
}

#if defined(QUIVEL_HAVE_AVX2_KERNEL)
TEST(ExactDivision, Avx2OverTheWholeRange) {
    if (!avx2_is_supported()) GTEST_SKIP() << "this CPU has no AVX2";
    expect_exact_division(divide_sums_avx2, kMaxSum32);
}

TEST(ExactDivision, Avx2SmallSumsOverTheWholeRange) {
    if (!avx2_is_supported()) GTEST_SKIP() << "this CPU has no AVX2";
    expect_exact_division(divide_small_sums_avx2, kMaxSumForFloatDivision);
}
#endif

}  // namespace
