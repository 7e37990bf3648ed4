// The driver: runs the steps top to bottom, prints every text, and returns at the first
// failure with its status. Nothing below it prints or ends the process.
#include "tool/run_tool.h"

#include <cinttypes>
#include <cstdio>

#include "image/bmp_file.h"
#include "image/matrix_convolution.h"

namespace {

void print_usage() {
    std::printf("Quivelant V2.0 by Tarrowin\n\n");
    std::printf("Usage: Quivel <input image> <convolve matrix image>\n\n");
    std::printf("File images must be ... : Windows bitmap (.BMP) 24-bit RGB uncompressed\n");
    std::printf("Output image will be .. : %s\n", kResultFileName);
}

void close_inputs(ImageFile& input, ImageFile& matrix) {
    close_file(input.file);
    close_file(matrix.file);
}

// ((DI / 3) x DM) / 3; saturates rather than wraps for files beyond any real size.
std::int64_t work_figure(std::uint64_t input_length, std::uint64_t matrix_length) {
    std::uint64_t product = 0;
    if (__builtin_mul_overflow(input_length / 3, matrix_length, &product)) return INT64_MAX;
    const std::uint64_t figure = product / 3;
    return figure > INT64_MAX ? INT64_MAX : static_cast<std::int64_t>(figure);
}

void print_rows_left(std::uint64_t rows_left, void*) {
    std::printf("\rlines left to go       : %" PRIu64 " ...     ", rows_left);
}

}  // namespace

int run_tool(int argc, char** argv) {
    // Every text reaches the console when printed, so the progress line updates in place.
    std::setvbuf(stdout, nullptr, _IONBF, 0);

    if (argc < 3 || argv[1][0] == '?') {
        print_usage();
        return kStatusUsageOrReadError;
    }
    const char* input_path = argv[1];
    const char* matrix_path = argv[2];

    ImageFile input;
    ImageFile matrix;
    if (!open_image_file(input_path, input.file)) {
        std::printf("Input file '%s' could not be opened\n", input_path);
        return kStatusCannotOpenInput;
    }
    if (!open_image_file(matrix_path, matrix.file)) {
        std::printf("Input file '%s' could not be opened\n", matrix_path);
        close_file(input.file);
        return kStatusCannotOpenInput;
    }

    // Creating the result would empty an input that is the result file under another name.
    if (is_same_file(kResultFileName, input.file) || is_same_file(kResultFileName, matrix.file)) {
        std::printf("Output file '%s' is also an input file\n", kResultFileName);
        close_inputs(input, matrix);
        return kStatusCannotCreateResult;
    }
    ResultStream result_stream = open_result_file();
    if (!result_stream) {
        std::printf("Output file '%s' could not be opened\n", kResultFileName);
        close_inputs(input, matrix);
        return kStatusCannotCreateResult;
    }

    if (load_image_header(input.file, input) != ReadResult::ok) {
        std::printf("Error reading from input file");
        close_inputs(input, matrix);
        return kStatusUsageOrReadError;
    }
    if (load_image_header(matrix.file, matrix) != ReadResult::ok) {
        std::printf("Error reading from matrix file");
        close_inputs(input, matrix);
        return kStatusUsageOrReadError;
    }
    if (biBitCount(input.header) != 24) {
        std::printf("Input must be 24-bit!\n");
        close_inputs(input, matrix);
        return kStatusNot24Bit;
    }
    if (biBitCount(matrix.header) != 24) {
        std::printf("Matrix must be 24-bit!\n");
        close_inputs(input, matrix);
        return kStatusNot24Bit;
    }
    if (!check_image_size(input, false)) {
        std::printf("Input header or size is invalid!\n");
        close_inputs(input, matrix);
        return kStatusBadHeaderOrSize;
    }
    if (!check_image_size(matrix, true)) {
        std::printf("Matrix header or size is invalid!\n");
        close_inputs(input, matrix);
        return kStatusBadHeaderOrSize;
    }

    std::printf("pixels to go through   : %" PRId64 "\n",
                work_figure(input.pixel_block_length, matrix.pixel_block_length));

    Block leading;  // the input's bytes before its pixels, written back unchanged
    Block result;
    if (!obtain_block(input.pixels, input.pixel_block_length) ||
        !obtain_block(matrix.pixels, matrix.pixel_block_length) ||
        !obtain_block(result, input.pixel_block_length) ||
        !obtain_block(leading, bfOffBits(input.header))) {
        std::printf("Not enough memory!\n");
        close_inputs(input, matrix);
        return kStatusOutOfMemory;
    }

    if (load_pixel_block(matrix.file, matrix) != ReadResult::ok) {
        std::printf("Error reading from input file2");
        close_inputs(input, matrix);
        return kStatusUsageOrReadError;
    }
    if (load_pixel_block(input.file, input) != ReadResult::ok ||
        load_leading_bytes(input.file, input, leading) != ReadResult::ok) {
        std::printf("Error reading from input file");
        close_inputs(input, matrix);
        return kStatusUsageOrReadError;
    }
    close_file(matrix.file);
    close_file(input.file);

    std::printf("\rImage width and height : %d x %d \n", biWidth(input.header),
                biHeight(input.header));
    std::printf("Matrix width and height: %d x %d \n", biWidth(matrix.header),
                biHeight(matrix.header));

    const PixelGrid matrix_grid = pixel_grid(matrix);
    const std::int64_t divisor = matrix_brightness(matrix_grid);
    std::printf("Brightness of matrix   : %" PRId64 "\n", divisor / 255);
    if (divisor == 0) {
        std::printf("Matrix is too dark!\n");
        return kStatusMatrixTooDark;
    }

    // Filler bytes and anything after the last row stay the input's own; the convolution
    // writes every pixel.
    copy_non_pixel_bytes(pixel_geometry(input.header), input.pixels.bytes.get(),
                         result.bytes.get(), input.pixel_block_length);
    convolve_image(pixel_grid(input), matrix_grid, divisor, result.bytes.get(), print_rows_left,
                   nullptr);
    input.pixels = Block{};

    switch (write_result_file(result_stream, leading.bytes.get(), bfOffBits(input.header),
                              result.bytes.get(), input.pixel_block_length)) {
        case WriteResult::ok:
            break;
        case WriteResult::header_failed:
            std::printf("error writing file header\n");
            return kStatusWriteFailed;
        case WriteResult::data_failed:
            std::printf("error writing image data\n");
            return kStatusWriteFailed;
    }
    result = Block{};
    std::printf("ok.\n");
    return kStatusOk;
}
