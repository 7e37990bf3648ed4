// The brightness divisor and the convolution, on small grids whose results are known by hand.
#include <gtest/gtest.h>

#include <vector>

#include "image/matrix_convolution.h"
#include "tests/bmp_fixture.h"

namespace {

constexpr Rgb kWhite{255, 255, 255};
constexpr Rgb kBlack{0, 0, 0};

// Pixels laid out as a BMP pixel block, with a recognisable value in every filler byte.
struct Grid {
    std::vector<std::uint8_t> bytes;
    PixelGrid view;

    Grid(std::uint64_t width, std::uint64_t rows, const std::vector<Rgb>& pixels,
         std::uint8_t filler = 0xA5) {
        const std::uint64_t row_bytes = bmp_row_bytes(width);
        bytes.assign(rows * row_bytes, filler);
        for (std::uint64_t i = 0; i < pixels.size(); ++i) {
            std::uint8_t* p = bytes.data() + (i / width) * row_bytes + 3 * (i % width);
            p[0] = pixels[i].blue;
            p[1] = pixels[i].green;
            p[2] = pixels[i].red;
        }
        view = PixelGrid{bytes.data(), width, rows, row_bytes};
    }

    Rgb at(std::uint64_t x, std::uint64_t y) const {
        const std::uint8_t* p = bytes.data() + y * view.row_bytes + 3 * x;
        return Rgb{p[2], p[1], p[0]};
    }
};

std::vector<Rgb> greys(std::initializer_list<std::uint8_t> values) {
    std::vector<Rgb> pixels;
    for (const std::uint8_t v : values) pixels.push_back(Rgb{v, v, v});
    return pixels;
}

struct Filtered {
    Grid result;
    std::vector<std::uint64_t> rows_reported;
};

void record_row(std::uint64_t rows_left, void* context) {
    static_cast<std::vector<std::uint64_t>*>(context)->push_back(rows_left);
}

// Convolves with a result block that starts as a copy of the input, as the tool does.
Filtered convolve(const Grid& input, const Grid& matrix) {
    Filtered run{input, {}};
    run.result.view.pixels = run.result.bytes.data();
    const std::int64_t divisor = matrix_brightness(matrix.view);
    convolve_image(input.view, matrix.view, divisor, run.result.bytes.data(), record_row,
                   &run.rows_reported);
    return run;
}

}  // namespace

TEST(MatrixBrightness, WeighsRedAndBlueThreeGreenFourInTenths) {
    struct Case {
        const char* name;
        Grid matrix;
        std::int64_t divisor;
    };
    const Case cases[] = {
        {"one white pixel", Grid(1, 1, {kWhite}), 255},
        {"3x3 white", Grid(3, 3, uniform_pixels(3, 3, kWhite)), 2295},
        {"pure blue", Grid(1, 1, {Rgb{0, 0, 255}}), 76},
        {"pure red", Grid(1, 1, {Rgb{255, 0, 0}}), 76},
        {"pure green", Grid(1, 1, {Rgb{0, 255, 0}}), 102},
        {"too dark to divide by", Grid(1, 1, {Rgb{0, 2, 0}}), 0},
        {"all black", Grid(2, 2, uniform_pixels(2, 2, kBlack)), 0},
        {"filler bytes do not count", Grid(1, 2, {Rgb{10, 0, 0}, Rgb{0, 0, 0}}, 0xFF), 3},
    };
    for (const Case& c : cases) EXPECT_EQ(matrix_brightness(c.matrix.view), c.divisor) << c.name;
}

TEST(ConvolveImage, NeutralOneByOneMatrixReproducesTheInput) {
    for (const std::uint8_t g : {1, 77, 255}) {
        const Grid input(5, 3, pattern_pixels(5, 3, g));
        const Filtered run = convolve(input, Grid(1, 1, {Rgb{g, g, g}}));
        EXPECT_EQ(run.result.bytes, input.bytes) << "grey " << int{g};
    }
}

TEST(ConvolveImage, BoxBlurTakesTheMeanWithEdgesRepeated) {
    const Grid input(3, 1, greys({0, 90, 180}));
    const Filtered run = convolve(input, Grid(3, 3, uniform_pixels(3, 3, kWhite)));
    // Column 0 sees 0, 0, 90; column 2 sees 90, 180, 180; every row is the same row.
    EXPECT_EQ(run.result.at(0, 0), (Rgb{30, 30, 30}));
    EXPECT_EQ(run.result.at(1, 0), (Rgb{90, 90, 90}));
    EXPECT_EQ(run.result.at(2, 0), (Rgb{150, 150, 150}));
}

TEST(ConvolveImage, EvenMatricesReachOneBackAndNoneForward) {
    // 2 x 1: (left neighbour + pixel) / 2 rounded down; column 0 is its own neighbour.
    const Filtered wide = convolve(Grid(3, 1, greys({10, 21, 255})), Grid(2, 1, {kWhite, kWhite}));
    EXPECT_EQ(wide.result.at(0, 0), (Rgb{10, 10, 10}));
    EXPECT_EQ(wide.result.at(1, 0), (Rgb{15, 15, 15}));
    EXPECT_EQ(wide.result.at(2, 0), (Rgb{138, 138, 138}));

    // 2 x 2 on rows {0, 40} and {80, 200}: each result averages itself, left, below, below-left.
    const Filtered square =
        convolve(Grid(2, 2, greys({0, 40, 80, 200})), Grid(2, 2, uniform_pixels(2, 2, kWhite)));
    EXPECT_EQ(square.result.at(0, 0), (Rgb{0, 0, 0}));
    EXPECT_EQ(square.result.at(1, 0), (Rgb{20, 20, 20}));
    EXPECT_EQ(square.result.at(0, 1), (Rgb{40, 40, 40}));
    EXPECT_EQ(square.result.at(1, 1), (Rgb{80, 80, 80}));
}

TEST(ConvolveImage, FirstStoredWeightShiftsThePicture) {
    std::vector<Rgb> weights = uniform_pixels(3, 3, kBlack);
    weights[0] = kWhite;  // mx 0, my 0: one column left, one row earlier in storage
    const Grid input(4, 3, pattern_pixels(4, 3, 5));
    const Filtered run = convolve(input, Grid(3, 3, weights));
    for (std::uint64_t y = 0; y < 3; ++y) {
        for (std::uint64_t x = 0; x < 4; ++x) {
            EXPECT_EQ(run.result.at(x, y), input.at(x == 0 ? 0 : x - 1, y == 0 ? 0 : y - 1))
                << x << "," << y;
        }
    }
}

TEST(ConvolveImage, PureBlueMatrixScalesBlueAndClears) {
    const Grid input(4, 1, {Rgb{200, 200, 30}, Rgb{9, 9, 75}, Rgb{1, 1, 76}, Rgb{0, 0, 255}});
    const Filtered run = convolve(input, Grid(1, 1, {Rgb{0, 0, 255}}));
    const std::uint8_t blues[] = {100, 251, 255, 255};
    for (std::uint64_t x = 0; x < 4; ++x) {
        EXPECT_EQ(run.result.at(x, 0), (Rgb{0, 0, blues[x]})) << x;
    }
}

TEST(ConvolveImage, MatrixLargerThanTheImageUsesEdgePixelsOnly) {
    // One pixel under a 4 x 4 red-only matrix: red 10 x 255 x 16 / 1224 = 33.
    const Filtered run =
        convolve(Grid(1, 1, {Rgb{10, 20, 30}}), Grid(4, 4, uniform_pixels(4, 4, {255, 0, 0})));
    EXPECT_EQ(run.result.at(0, 0), (Rgb{33, 0, 0}));

    // A 2 x 2 picture under a 5 x 5 box blur, one bright pixel at (1, 0). Of the five matrix
    // columns, 2 clamp onto column 1 from x 0 and 3 from x 1; rows likewise, 3 onto row 0 from
    // y 0 and 2 from y 1.
    const Filtered big = convolve(Grid(2, 2, greys({0, 100, 0, 0})),
                             Grid(5, 5, uniform_pixels(5, 5, kWhite)));
    EXPECT_EQ(big.result.at(0, 0).red, 100 * 2 * 3 / 25);
    EXPECT_EQ(big.result.at(1, 0).red, 100 * 3 * 3 / 25);
    EXPECT_EQ(big.result.at(0, 1).red, 100 * 2 * 2 / 25);
    EXPECT_EQ(big.result.at(1, 1).red, 100 * 3 * 2 / 25);
}

TEST(ConvolveImage, SumsBeyondThirtyTwoBitsStayExact) {
    // 182 x 182 = 33,124 white weights: 255 x 255 x 33,124 exceeds 2^31 - 1.
    const Grid matrix(182, 182, uniform_pixels(182, 182, kWhite));
    const Filtered run = convolve(Grid(2, 1, {kWhite, Rgb{200, 7, 1}}), matrix);
    // Edges repeated: each result mixes both pixels, 92 x 182 of the left to 90 x 182 of the right.
    EXPECT_EQ(run.result.at(0, 0), (Rgb{(255 * 92 + 200 * 90) / 182, (255 * 92 + 7 * 90) / 182,
                                        (255 * 92 + 1 * 90) / 182}));
    EXPECT_EQ(run.result.at(1, 0), (Rgb{(255 * 91 + 200 * 91) / 182, (255 * 91 + 7 * 91) / 182,
                                        (255 * 91 + 1 * 91) / 182}));
}

TEST(ConvolveImage, LeavesFillerAloneAndReportsEveryRow) {
    for (std::uint64_t width = 0; width <= 8; ++width) {
        const Grid input(width, 3, pattern_pixels(static_cast<std::int32_t>(width), 3, 11), 0x5A);
        const Filtered run = convolve(input, Grid(3, 3, uniform_pixels(3, 3, kWhite)));
        for (std::uint64_t y = 0; y < 3; ++y) {
            for (std::uint64_t i = 3 * width; i < bmp_row_bytes(width); ++i) {
                EXPECT_EQ(run.result.bytes[y * bmp_row_bytes(width) + i], 0x5A)
                    << "width " << width << " row " << y;
            }
        }
        EXPECT_EQ(run.rows_reported, (std::vector<std::uint64_t>{3, 2, 1})) << "width " << width;
    }
}

TEST(ConvolveImage, ZeroRowsReportNothing) {
    const Grid input(4, 0, {});
    EXPECT_TRUE(convolve(input, Grid(1, 1, {kWhite})).rows_reported.empty());
}
