// The whole run, end to end: the built tool in a fresh directory, its exact console bytes,
// its exit status as the shell sees it, and the bytes of output.bmp.
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/bmp_fixture.h"
#include "tests/run_process.h"

namespace {

constexpr Rgb kWhite{255, 255, 255};
constexpr Rgb kBlack{0, 0, 0};

const std::string kUsage =
    "Quivelant V2.0 by Tarrowin\n\n"
    "Usage: Quivel <input image> <convolve matrix image>\n\n"
    "File images must be ... : Windows bitmap (.BMP) 24-bit RGB uncompressed\n"
    "Output image will be .. : output.bmp\n";

std::string work_line(long long figure) {
    return "pixels to go through   : " + std::to_string(figure) + "\n";
}

std::string size_lines(int width, int height, int matrix_width, int matrix_height) {
    return "\rImage width and height : " + std::to_string(width) + " x " +
           std::to_string(height) + " \nMatrix width and height: " +
           std::to_string(matrix_width) + " x " + std::to_string(matrix_height) + " \n";
}

std::string brightness_line(long long figure) {
    return "Brightness of matrix   : " + std::to_string(figure) + "\n";
}

std::string progress(long long rows) {
    std::string text;
    for (long long left = rows; left >= 1; --left) {
        text += "\rlines left to go       : " + std::to_string(left) + " ...     ";
    }
    return text;
}

// Bytes of the whole file whose pixel rows were replaced by the given ones.
std::vector<std::uint8_t> with_pixels(BmpFixture fixture, std::vector<Rgb> pixels) {
    fixture.pixels = std::move(pixels);
    return make_bmp(fixture);
}

class Quivel : public ::testing::Test {
protected:
    TempDir dir;
    std::map<std::string, std::vector<std::uint8_t>> inputs;

    // Writes a file the tool reads; every such file must be unchanged after the run.
    void put(const std::string& name, const std::vector<std::uint8_t>& bytes) {
        write_file(dir.file(name), bytes);
        inputs[name] = bytes;
    }

    ProcessResult run(const std::vector<std::string>& args) {
        return run_process(QUIVEL_BINARY, args, dir.path);
    }

    bool output_exists() const {
        struct stat info {};
        return lstat(dir.file("output.bmp").c_str(), &info) == 0;
    }
    std::vector<std::uint8_t> output() const { return read_file(dir.file("output.bmp")); }

    void TearDown() override {
        for (const auto& [name, bytes] : inputs) {
            EXPECT_EQ(read_file(dir.file(name)), bytes) << name << " was changed";
        }
    }
};

TEST_F(Quivel, UsageWhenAnArgumentIsMissingOrStartsWithAQuestionMark) {
    put("in.bmp", make_bmp({.width = 1, .height = 1, .pixels = {kWhite}}));
    const std::vector<std::vector<std::string>> cases = {
        {}, {"in.bmp"}, {"?", "in.bmp"}, {"?in.bmp", "in.bmp"}};
    for (const auto& args : cases) {
        const ProcessResult r = run(args);
        EXPECT_EQ(r.out, kUsage) << args.size() << " arguments";
        EXPECT_EQ(r.exit_code, 253);
        EXPECT_FALSE(output_exists());
    }
}

TEST_F(Quivel, UsageLeavesAnExistingResultAlone) {
    put("output.bmp", {1, 2, 3});
    EXPECT_EQ(run({"output.bmp"}).exit_code, 253);
}

TEST_F(Quivel, MissingFilesAreNamed) {
    put("in.bmp", make_bmp({.width = 1, .height = 1, .pixels = {kWhite}}));
    const ProcessResult no_input = run({"nope.bmp", "in.bmp"});
    EXPECT_EQ(no_input.out, "Input file 'nope.bmp' could not be opened\n");
    EXPECT_EQ(no_input.exit_code, 255);
    const ProcessResult no_matrix = run({"in.bmp", "gone.bmp"});
    EXPECT_EQ(no_matrix.out, "Input file 'gone.bmp' could not be opened\n");
    EXPECT_EQ(no_matrix.exit_code, 255);
    EXPECT_FALSE(output_exists());
}

TEST_F(Quivel, FourByTwoThroughOneWhitePixel) {
    const auto input = make_bmp({.width = 4, .height = 2, .pixels = pattern_pixels(4, 2, 1)});
    put("in.bmp", input);
    put("white.bmp", make_bmp({.width = 1, .height = 1, .pixels = {kWhite}, .filler = 0x33}));
    const ProcessResult r = run({"in.bmp", "white.bmp"});
    EXPECT_EQ(r.out, work_line(10) + size_lines(4, 2, 1, 1) + brightness_line(1) + progress(2) +
                         "ok.\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(output(), input);
}

TEST_F(Quivel, WorkFigureCountsMatrixFiller) {
    put("in.bmp", make_bmp({.width = 2, .height = 2, .pixels = pattern_pixels(2, 2, 2)}));
    put("box.bmp", make_bmp({.width = 3, .height = 3, .pixels = uniform_pixels(3, 3, kWhite)}));
    const ProcessResult r = run({"in.bmp", "box.bmp"});
    EXPECT_EQ(r.out, work_line(60) + size_lines(2, 2, 3, 3) + brightness_line(9) + progress(2) +
                         "ok.\n");
    EXPECT_EQ(r.exit_code, 0);
}

TEST_F(Quivel, ShiftMatrixFiltersEveryRowWidth) {
    std::vector<Rgb> shift = uniform_pixels(3, 3, kBlack);
    shift[0] = kWhite;
    put("shift.bmp", make_bmp({.width = 3, .height = 3, .pixels = shift}));
    put("white.bmp", make_bmp({.width = 1, .height = 1, .pixels = {kWhite}}));
    for (std::int32_t width = 1; width <= 8; ++width) {
        const BmpFixture fixture{
            .width = width, .height = 3, .pixels = pattern_pixels(width, 3, width), .filler = 0x5A};
        put("in.bmp", make_bmp(fixture));

        // Result (x, y) is input (x - 1, y - 1), edges repeated; filler stays the input's.
        std::vector<Rgb> shifted;
        for (std::int32_t y = 0; y < 3; ++y) {
            for (std::int32_t x = 0; x < width; ++x) {
                shifted.push_back(fixture.pixels[std::max(y - 1, 0) * width + std::max(x - 1, 0)]);
            }
        }
        const ProcessResult r = run({"in.bmp", "shift.bmp"});
        EXPECT_EQ(r.exit_code, 0) << "width " << width;
        EXPECT_EQ(output(), with_pixels(fixture, shifted)) << "width " << width;

        // A missing last-row filler is accepted, and the result is exactly as long.
        BmpFixture short_row = fixture;
        short_row.drop_last_filler = true;
        put("in.bmp", make_bmp(short_row));
        EXPECT_EQ(run({"in.bmp", "white.bmp"}).exit_code, 0) << "width " << width;
        EXPECT_EQ(output(), make_bmp(short_row)) << "width " << width;
    }
}

TEST_F(Quivel, PureBlueMatrixPrintsBrightnessZeroAndStillFilters) {
    const BmpFixture fixture{.width = 2, .height = 1, .pixels = {{9, 9, 30}, {200, 1, 75}}};
    put("in.bmp", make_bmp(fixture));
    put("blue.bmp", make_bmp({.width = 1, .height = 1, .pixels = {{0, 0, 255}}}));
    const ProcessResult r = run({"in.bmp", "blue.bmp"});
    EXPECT_EQ(r.out, work_line(2) + size_lines(2, 1, 1, 1) + brightness_line(0) + progress(1) +
                         "ok.\n");
    EXPECT_EQ(output(), with_pixels(fixture, {{0, 0, 100}, {0, 0, 251}}));
}

TEST_F(Quivel, KeepsEverythingAroundThePixels) {
    // A V5 header with masks and a small palette before the pixels, a profile after them.
    BmpFixture fixture{.width = 3, .height = 2, .pixels = pattern_pixels(3, 2, 8), .info_size = 124};
    for (int i = 0; i < 84 + 16; ++i) fixture.before_pixels.push_back(static_cast<std::uint8_t>(i));
    fixture.after_pixels = {'P', 'R', 'O', 'F', 'I', 'L', 'E'};
    put("in.bmp", make_bmp(fixture));
    put("box.bmp", make_bmp({.width = 3, .height = 3, .pixels = uniform_pixels(3, 3, kWhite)}));
    put("white.bmp", make_bmp({.width = 1, .height = 1, .pixels = {kWhite}}));

    EXPECT_EQ(run({"in.bmp", "white.bmp"}).exit_code, 0);
    EXPECT_EQ(output(), make_bmp(fixture));

    const ProcessResult r = run({"in.bmp", "box.bmp"});
    EXPECT_EQ(r.exit_code, 0);
    const auto result = output();
    const auto input = make_bmp(fixture);
    ASSERT_EQ(result.size(), input.size());
    EXPECT_TRUE(std::equal(input.begin(), input.begin() + 154, result.begin()));
    EXPECT_TRUE(std::equal(input.end() - 7, input.end(), result.end() - 7));
    EXPECT_NE(result, input);  // the pixels themselves were filtered
}

TEST_F(Quivel, TopDownFilesStayTopDownAndPrintTheirStoredHeight) {
    std::vector<Rgb> shift = uniform_pixels(3, 3, kBlack);
    shift[0] = kWhite;
    put("shift.bmp", make_bmp({.width = 3, .height = -3, .pixels = shift}));
    const BmpFixture fixture{.width = 2, .height = -2, .pixels = pattern_pixels(2, 2, 4)};
    put("in.bmp", make_bmp(fixture));
    const ProcessResult r = run({"in.bmp", "shift.bmp"});
    EXPECT_EQ(r.out, work_line(60) + size_lines(2, -2, 3, -3) + brightness_line(1) + progress(2) +
                         "ok.\n");
    // Rows are taken in storage order, as for a bottom-up file.
    const auto& p = fixture.pixels;
    EXPECT_EQ(output(), with_pixels(fixture, {p[0], p[0], p[0], p[0]}));
}

TEST_F(Quivel, EmptyImagesSucceedWithNothingToFilter) {
    put("white.bmp", make_bmp({.width = 1, .height = 1, .pixels = {kWhite}}));
    put("flat.bmp", make_bmp({.width = 0, .height = 3}));
    const ProcessResult flat = run({"flat.bmp", "white.bmp"});
    EXPECT_EQ(flat.out,
              work_line(0) + size_lines(0, 3, 1, 1) + brightness_line(1) + progress(3) + "ok.\n");
    EXPECT_EQ(flat.exit_code, 0);
    EXPECT_EQ(output(), make_bmp({.width = 0, .height = 3}));

    put("low.bmp", make_bmp({.width = 4, .height = 0}));
    const ProcessResult low = run({"low.bmp", "white.bmp"});
    EXPECT_EQ(low.out, work_line(0) + size_lines(4, 0, 1, 1) + brightness_line(1) + "ok.\n");
    EXPECT_EQ(low.exit_code, 0);
}

struct FailureCase {
    const char* name;
    std::vector<std::uint8_t> input;
    std::vector<std::uint8_t> matrix;
    std::string out;
    int exit_code;
};

// Every failure after the result file was created leaves it empty.
TEST_F(Quivel, RefusedFilesLeaveAnEmptyResult) {
    const auto good = make_bmp({.width = 2, .height = 2, .pixels = pattern_pixels(2, 2, 3)});
    const auto white = make_bmp({.width = 1, .height = 1, .pixels = {kWhite}});
    const auto eight_bit = make_bmp({.width = 4, .height = 4, .bit_count = 8});
    auto truncated = good;
    truncated.erase(truncated.end() - 3, truncated.end());  // the last row's two filler bytes and one pixel byte
    const std::string figures = work_line(6) + size_lines(2, 2, 1, 1);
    const FailureCase cases[] = {
        {"empty input", {}, white, "Input must be 24-bit!\n", 252},
        {"8-bit input, 8-bit matrix", eight_bit, eight_bit, "Input must be 24-bit!\n", 252},
        {"8-bit matrix", good, eight_bit, "Matrix must be 24-bit!\n", 252},
        {"input offset inside the header",
         make_bmp({.width = 2, .height = 2, .pixels = pattern_pixels(2, 2, 3), .off_bits = 40}),
         white, "Input header or size is invalid!\n", 251},
        {"input missing its last pixel byte", truncated, white,
         "Input header or size is invalid!\n", 251},
        {"input and matrix both invalid", truncated, make_bmp({.width = 0, .height = 1}),
         "Input header or size is invalid!\n", 251},
        {"matrix without columns", good, make_bmp({.width = 0, .height = 1}),
         "Matrix header or size is invalid!\n", 251},
        {"matrix without rows", good, make_bmp({.width = 1, .height = 0}),
         "Matrix header or size is invalid!\n", 251},
        {"matrix of negative width", good,
         make_bmp({.width = -1, .height = 1, .after_pixels = {1, 2, 3, 4}}),
         "Matrix header or size is invalid!\n", 251},
        {"all-black matrix", good, make_bmp({.width = 1, .height = 1, .pixels = {kBlack}}),
         figures + brightness_line(0) + "Matrix is too dark!\n", 250},
        {"matrix (0, 2, 0)", good, make_bmp({.width = 1, .height = 1, .pixels = {{0, 2, 0}}}),
         figures + brightness_line(0) + "Matrix is too dark!\n", 250},
    };
    for (const FailureCase& c : cases) {
        put("in.bmp", c.input);
        put("matrix.bmp", c.matrix);
        const ProcessResult r = run({"in.bmp", "matrix.bmp"});
        EXPECT_EQ(r.out, c.out) << c.name;
        EXPECT_EQ(r.exit_code, c.exit_code) << c.name;
        EXPECT_TRUE(output_exists()) << c.name;
        EXPECT_TRUE(output().empty()) << c.name;
    }
}

TEST_F(Quivel, DirectoriesCannotBeRead) {
    put("white.bmp", make_bmp({.width = 1, .height = 1, .pixels = {kWhite}}));
    ASSERT_EQ(mkdir(dir.file("folder").c_str(), 0755), 0);
    const ProcessResult input = run({"folder", "white.bmp"});
    EXPECT_EQ(input.out, "Error reading from input file");
    EXPECT_EQ(input.exit_code, 253);
    const ProcessResult matrix = run({"white.bmp", "folder"});
    EXPECT_EQ(matrix.out, "Error reading from matrix file");
    EXPECT_EQ(matrix.exit_code, 253);
    EXPECT_TRUE(output().empty());
}

TEST_F(Quivel, NeverEmptiesAnInputThatIsTheResultFile) {
    const auto image = make_bmp({.width = 2, .height = 2, .pixels = pattern_pixels(2, 2, 6)});
    put("pic.bmp", image);
    ASSERT_EQ(link(dir.file("pic.bmp").c_str(), dir.file("hard.bmp").c_str()), 0);
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"itself", {"output.bmp", "pic.bmp"}},
        {"as the matrix", {"pic.bmp", "output.bmp"}},
        {"through a hard link", {"hard.bmp", "pic.bmp"}},
        {"through a symbolic link", {"pic.bmp", "pic.bmp"}},
    };
    for (const auto& [name, args] : cases) {
        unlink(dir.file("output.bmp").c_str());
        if (name == "through a symbolic link") {
            ASSERT_EQ(symlink("pic.bmp", dir.file("output.bmp").c_str()), 0);
        } else if (name == "through a hard link") {
            ASSERT_EQ(link(dir.file("pic.bmp").c_str(), dir.file("output.bmp").c_str()), 0);
        } else {
            write_file(dir.file("output.bmp"), image);
        }
        const ProcessResult r = run(args);
        EXPECT_EQ(r.out, "Output file 'output.bmp' is also an input file\n") << name;
        EXPECT_EQ(r.exit_code, 254) << name;
        EXPECT_EQ(output(), image) << name;
    }
}

TEST_F(Quivel, ResultThatCannotBeCreatedOrWritten) {
    put("in.bmp", make_bmp({.width = 2, .height = 1, .pixels = pattern_pixels(2, 1, 7)}));
    put("white.bmp", make_bmp({.width = 1, .height = 1, .pixels = {kWhite}}));

    ASSERT_EQ(mkdir(dir.file("output.bmp").c_str(), 0755), 0);
    const ProcessResult directory = run({"in.bmp", "white.bmp"});
    EXPECT_EQ(directory.out, "Output file 'output.bmp' could not be opened\n");
    EXPECT_EQ(directory.exit_code, 254);
    ASSERT_EQ(rmdir(dir.file("output.bmp").c_str()), 0);

    ASSERT_EQ(symlink("/dev/full", dir.file("output.bmp").c_str()), 0);
    const ProcessResult full = run({"in.bmp", "white.bmp"});
    EXPECT_EQ(full.out, work_line(2) + size_lines(2, 1, 1, 1) + brightness_line(1) + progress(1) +
                            "error writing image data\n");
    EXPECT_EQ(full.exit_code, 248);
    ASSERT_EQ(unlink(dir.file("output.bmp").c_str()), 0);

    // A write cut short half way (a file size limit, like a disk filling up) leaves no
    // partial image behind.
    put("large.bmp", make_bmp({.width = 40, .height = 40, .pixels = pattern_pixels(40, 40, 1)}));
    const ProcessResult cut = run_process(
        "/bin/sh", {"-c", "trap '' XFSZ; ulimit -f 2 && exec \"$0\" large.bmp white.bmp",
                    QUIVEL_BINARY},
        dir.path);
    EXPECT_TRUE(cut.out.ends_with(progress(1) + "error writing image data\n")) << cut.out;
    EXPECT_EQ(cut.exit_code, 248);
    EXPECT_TRUE(output().empty());
}

#if defined(__SANITIZE_ADDRESS__)
#define QUIVEL_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUIVEL_UNDER_ASAN 1
#endif
#endif

TEST_F(Quivel, RunsOutOfMemoryCleanly) {
#ifdef QUIVEL_UNDER_ASAN
    GTEST_SKIP() << "the address sanitizer reserves more address space than the limit allows";
#endif
    // 12 MB of pixels, three blocks of them, in 20 MB of address space.
    put("big.bmp", make_bmp({.width = 2000, .height = 2000}));
    put("white.bmp", make_bmp({.width = 1, .height = 1, .pixels = {kWhite}}));
    const ProcessResult r = run_process(
        "/bin/sh", {"-c", "ulimit -v 20000 && exec \"$0\" big.bmp white.bmp", QUIVEL_BINARY},
        dir.path);
    EXPECT_EQ(r.out, work_line(5333333) + "Not enough memory!\n");
    EXPECT_EQ(r.exit_code, 249);
    EXPECT_TRUE(output().empty());
}

}  // namespace
