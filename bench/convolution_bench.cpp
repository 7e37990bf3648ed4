// Benchmark of the convolution kernels against the plain loop, plus helpers for the whole-run
// timing script (writing workload files, timing the phases of one run).
//
//   convolution_bench            check every kernel against the plain loop, then time them
//   convolution_bench --quick    the agreement check only, on small workloads (a CTest test)
//   convolution_bench --write-files DIR      the 3840 x 2160 input and its matrices as BMP files
//   convolution_bench --phases INPUT MATRIX  one run's steps, timed; progress lines to stdout
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "image/bmp_file.h"
#include "image/convolution_kernels.h"
#include "image/matrix_convolution.h"
#include "tests/bmp_fixture.h"
#include "tests/reference_convolution.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Grid {
    std::vector<std::uint8_t> bytes;
    PixelGrid view{};
};

// Noise-like pixels (or weights 1..255 for a matrix, so no weight is skipped).
Grid random_grid(std::uint64_t width, std::uint64_t rows, bool positive, std::uint32_t seed) {
    Grid g;
    const std::uint64_t row_bytes = bmp_row_bytes(width);
    g.bytes.resize(rows * row_bytes);
    std::mt19937 rng(seed);
    for (auto& b : g.bytes) {
        const auto v = static_cast<std::uint8_t>(rng() >> 24);
        b = positive && v == 0 ? 1 : v;
    }
    g.view = PixelGrid{g.bytes.data(), width, rows, row_bytes};
    return g;
}

struct Workload {
    std::uint64_t width, rows, matrix_side;
};

constexpr Workload kFullWorkloads[] = {
    {1920, 1080, 3}, {1920, 1080, 7}, {1920, 1080, 15}, {1920, 1080, 31},
    {3840, 2160, 3}, {3840, 2160, 7}, {3840, 2160, 15}, {3840, 2160, 31},
    {512, 512, 201},
};

constexpr Workload kQuickWorkloads[] = {
    {97, 61, 3}, {97, 61, 7}, {130, 40, 15}, {70, 45, 31}, {23, 11, 201},
};

std::vector<const ConvolutionKernel*> supported_kernels() {
    std::vector<const ConvolutionKernel*> kernels;
    for (const ConvolutionKernel& k : convolution_kernels()) {
        if (k.is_supported()) kernels.push_back(&k);
    }
    return kernels;
}

// Best time of several runs; a run that takes long enough is its own warm-up.
template <typename Run>
double best_seconds(Run run, double budget_seconds) {
    const auto first_start = Clock::now();
    run();
    double best = seconds_since(first_start);
    double spent = best;
    // Enough runs to step past the bursts of a shared machine, within the budget.
    for (int i = 0; i < 15 && (i < 2 || spent < budget_seconds); ++i) {
        if (best > budget_seconds && i >= 1) break;
        const auto start = Clock::now();
        run();
        const double t = seconds_since(start);
        best = std::min(best, t);
        spent += t;
    }
    return best;
}

std::string cpu_model() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    }
    return "unknown CPU";
}

// Runs every workload through the plain loop and each kernel; with timing, prints the table.
// Returns false when a kernel's result differs from the plain loop's.
bool run_workloads(const Workload* workloads, std::size_t count, bool timed) {
    const auto kernels = supported_kernels();
    if (timed) {
        std::printf("%s, chosen kernel: %s\n\n", cpu_model().c_str(), chosen_convolution_kernel().name);
        std::printf("%-20s %10s", "workload", "plain ms");
        for (const auto* k : kernels) std::printf(" %10s %7s %8s", (std::string(k->name) + " ms").c_str(), "GMAC/s", "x plain");
        std::printf("\n");
    }
    bool all_agree = true;
    std::uint32_t seed = 1;
    for (std::size_t w = 0; w < count; ++w) {
        const Workload& load = workloads[w];
        const Grid input = random_grid(load.width, load.rows, false, seed++);
        const Grid matrix = random_grid(load.matrix_side, load.matrix_side, true, seed++);
        const std::int64_t divisor = matrix_brightness(matrix.view);
        const double macs = 3.0 * load.width * load.rows * load.matrix_side * load.matrix_side;

        std::vector<std::uint8_t> expected = input.bytes;
        double plain_seconds = 0;
        if (timed) {
            plain_seconds = best_seconds([&] {
                reference_convolution(input.view, matrix.view, divisor, expected.data());
            }, 2.0);
        } else {
            reference_convolution(input.view, matrix.view, divisor, expected.data());
        }
        char name[64];
        std::snprintf(name, sizeof name, "%" PRIu64 "x%" PRIu64 " %" PRIu64 "x%" PRIu64, load.width,
                      load.rows, load.matrix_side, load.matrix_side);
        if (timed) std::printf("%-20s %10.1f", name, plain_seconds * 1e3);
        for (const auto* k : kernels) {
            std::vector<std::uint8_t> actual = input.bytes;
            const ConvolutionJob job =
                convolution_job(input.view, matrix.view, divisor, actual.data(), nullptr, nullptr);
            convolve_with_kernel(*k, job);
            if (actual != expected) {
                std::printf("\n%s: kernel %s differs from the plain loop\n", name, k->name);
                all_agree = false;
                continue;
            }
            if (!timed) continue;
            const double t = best_seconds([&] { convolve_with_kernel(*k, job); }, 2.0);
            std::printf(" %10.1f %7.1f %8.1f", t * 1e3, macs / t / 1e9, plain_seconds / t);
        }
        if (timed) std::printf("\n");
        std::fflush(stdout);
    }
    if (!timed && all_agree) std::printf("every kernel agrees with the plain loop\n");
    return all_agree;
}

// The input and matrix files of the whole-run timing, with the same content kinds as above.
bool write_files(const std::string& dir) {
    auto to_fixture = [](const Grid& g) {
        BmpFixture f;
        f.width = static_cast<std::int32_t>(g.view.width);
        f.height = static_cast<std::int32_t>(g.view.rows);
        for (std::uint64_t y = 0; y < g.view.rows; ++y) {
            for (std::uint64_t x = 0; x < g.view.width; ++x) {
                const std::uint8_t* p = g.bytes.data() + y * g.view.row_bytes + 3 * x;
                f.pixels.push_back(Rgb{p[2], p[1], p[0]});
            }
        }
        return f;
    };
    write_file(dir + "/input.bmp", make_bmp(to_fixture(random_grid(3840, 2160, false, 1))));
    for (const std::uint64_t side : {1, 3, 7, 15, 31}) {
        write_file(dir + "/matrix" + std::to_string(side) + ".bmp",
                   make_bmp(to_fixture(random_grid(side, side, true, 2 + static_cast<std::uint32_t>(side)))));
    }
    return true;
}

struct ProgressTime {
    double seconds = 0;
};

void timed_progress(std::uint64_t rows_left, void* context) {
    const auto start = Clock::now();
    std::printf("\rlines left to go       : %" PRIu64 " ...     ", rows_left);
    static_cast<ProgressTime*>(context)->seconds += seconds_since(start);
}

// The driver's steps with the same library calls, each timed. Figures go to standard error.
int time_phases(const char* input_path, const char* matrix_path) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const auto read_start = Clock::now();
    ImageFile input, matrix;
    if (!open_image_file(input_path, input.file) || !open_image_file(matrix_path, matrix.file) ||
        load_image_header(input.file, input) != ReadResult::ok ||
        load_image_header(matrix.file, matrix) != ReadResult::ok || !check_image_size(input, false) ||
        !check_image_size(matrix, true)) {
        std::fprintf(stderr, "cannot read the workload files\n");
        return 1;
    }
    Block leading, result;
    if (!obtain_block(input.pixels, input.pixel_block_length) ||
        !obtain_block(matrix.pixels, matrix.pixel_block_length) ||
        !obtain_block(result, input.pixel_block_length) ||
        !obtain_block(leading, bfOffBits(input.header)) ||
        load_pixel_block(matrix.file, matrix) != ReadResult::ok ||
        load_pixel_block(input.file, input) != ReadResult::ok ||
        load_leading_bytes(input.file, input, leading) != ReadResult::ok) {
        std::fprintf(stderr, "cannot read the workload files\n");
        return 1;
    }
    close_file(matrix.file);
    close_file(input.file);
    const double read_seconds = seconds_since(read_start);

    // As the tool does: the bytes no pixel covers come from the input; the convolution then
    // writes every pixel, and its first touch of the result block pays the page faults.
    const auto copy_start = Clock::now();
    copy_non_pixel_bytes(pixel_geometry(input.header), input.pixels.bytes.get(),
                         result.bytes.get(), input.pixel_block_length);
    const double copy_seconds = seconds_since(copy_start);

    const auto filter_start = Clock::now();
    ProgressTime progress;
    const PixelGrid matrix_grid = pixel_grid(matrix);
    convolve_image(pixel_grid(input), matrix_grid, matrix_brightness(matrix_grid), result.bytes.get(),
                   timed_progress, &progress);
    const double filter_seconds = seconds_since(filter_start) - progress.seconds;

    const auto write_start = Clock::now();
    ResultStream stream = open_result_file();
    if (!stream || write_result_file(stream, leading.bytes.get(), bfOffBits(input.header),
                                     result.bytes.get(), input.pixel_block_length) != WriteResult::ok) {
        std::fprintf(stderr, "cannot write output.bmp\n");
        return 1;
    }
    const double write_seconds = seconds_since(write_start);
    const double phases[] = {read_seconds, copy_seconds, filter_seconds, progress.seconds,
                             write_seconds};
    double total = 0;
    for (const double t : phases) total += t;
    for (const double t : phases) std::fprintf(stderr, " %5.1f ms %3.0f%%", t * 1e3, 100 * t / total);
    std::fprintf(stderr, "\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--quick") == 0) {
        return run_workloads(kQuickWorkloads, std::size(kQuickWorkloads), false) ? 0 : 1;
    }
    if (argc >= 3 && std::strcmp(argv[1], "--write-files") == 0) return write_files(argv[2]) ? 0 : 1;
    if (argc >= 4 && std::strcmp(argv[1], "--phases") == 0) return time_phases(argv[2], argv[3]);
    if (argc == 1) return run_workloads(kFullWorkloads, std::size(kFullWorkloads), true) ? 0 : 1;
    std::fprintf(stderr, "usage: %s [--quick | --write-files DIR | --phases INPUT MATRIX]\n", argv[0]);
    return 2;
}
