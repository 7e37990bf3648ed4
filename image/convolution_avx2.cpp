// The AVX2 convolution kernel. Only the functions marked QUIVEL_AVX2 contain AVX2 code; the
// file itself is compiled for the baseline CPU and the kernel runs only after the table has
// found AVX2 supported.
//
// Memory: reads the input block only inside each row's 3 x width pixel bytes and the matrix
// block only inside its pixels; writes the result block only inside each row's 3 x width pixel
// bytes (never a filler byte, never past the last pixel). Vector loads and stores past the
// last valid value happen only inside this kernel's own working buffers, which are sized for
// them.
//
// How it works: each input row the matrix reaches is converted once into three planes (blue,
// green, red) of 16-bit values, padded by repeating the edge pixels. A vector loaded at column k
// holds columns k, k + 1, ..., k + 15, so its 32-bit lane i pairs columns k + 2i and k + 2i + 1:
// one vpmaddwd multiplies them by two neighbouring matrix weights and adds them, for the 8 result
// pixels k, k + 2, ..., k + 14; the load at k + 1 serves the odd pixels between them. A tile of
// 2 result rows by 32 pixels (even and odd vectors of two 16-pixel halves) keeps its sums in
// registers; each loaded input vector serves both rows, each broadcast weight pair all four
// vectors of a row. Zero weight pairs are skipped. The sums are divided exactly in double
// precision (see sum_reciprocal), saturated to bytes, put back in pixel order, and interleaved
// back into blue, green, red.
#include "image/convolution_kernels.h"

#if defined(QUIVEL_HAVE_AVX2_KERNEL)

#include <immintrin.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#define QUIVEL_AVX2 __attribute__((target("avx2")))

namespace {

constexpr std::size_t kTileRows = 2;     // most result rows that share each loaded input vector
constexpr std::size_t kTileVectors = 4;  // 8-pixel vectors per tile row
constexpr std::size_t kTilePixels = 8 * kTileVectors;
// Matrices up to this height use 1-row tiles: with one matrix row no input row serves both
// rows of a 2-row tile. From two rows on, the shared loads pay (the taps that weigh only one
// tile row cost no more than in a 1-row tile).
constexpr std::size_t kMaxRowsForSingleRowTiles = 1;
// A tap adds at most 2 x 255 x 255 to a 32-bit lane; this many taps stay below 2^31.
constexpr std::size_t kTapsPerFlush = 2147483647 / (2 * 255 * 255);

// One matrix column pair of one input row, as seen by a tile: where its input values start
// and the packed weight pair (low half: even column, high half: odd column) for each tile row.
struct Tap {
    const std::int16_t* values;
    std::int32_t weights[kTileRows];
};

// Where a tap's values come from before the ring's row addresses are known.
struct TapSource {
    std::size_t row;     // input row relative to the tile's first matrix row
    std::size_t column;  // even matrix column
    std::int32_t weights[kTileRows];
};

// How many taps of a plane's list weigh which tile rows, in list order: first those that weigh
// every tile row, then those that weigh only the first, then only the second. At the top and
// bottom of a 2-row tile's reach one of the rows has zero weights; the single-row groups spare
// their multiply-adds.
struct TapGroups {
    std::size_t shared = 0;
    std::size_t first_only = 0;
    std::size_t second_only = 0;
    std::size_t total() const { return shared + first_only + second_only; }
};

struct Layout {
    std::size_t tiled_width = 0;  // width rounded up to whole tiles
    std::size_t padded = 0;       // 16-bit values per plane row
    std::size_t plane_bytes = 0;  // bytes per padded 8-bit plane row
    std::size_t slots = 0;        // converted rows in the ring
    std::size_t needed_rows = 0;  // input rows one tile reaches: matrix rows + tile rows - 1
};

template <typename T>
std::unique_ptr<T[]> try_obtain(std::size_t count) {
    if (count > SIZE_MAX / sizeof(T) / 2) return nullptr;
    return std::unique_ptr<T[]>(new (std::nothrow) T[count == 0 ? 1 : count]());
}

std::size_t clamp_index(std::int64_t index, std::size_t count) {
    return static_cast<std::size_t>(
        std::clamp<std::int64_t>(index, 0, static_cast<std::int64_t>(count) - 1));
}

// Byte-shuffle masks that move 16 pixels between 48 interleaved bytes (three 16-byte chunks)
// and three 16-byte planes. Entries 0x80 give zero.
struct ShuffleMasks {
    std::uint8_t to_plane[3][3][16];     // [plane][chunk]: chunk bytes into plane positions
    std::uint8_t from_plane[3][3][16];   // [chunk][plane]: plane bytes into chunk positions
};

constexpr ShuffleMasks make_shuffle_masks() {
    ShuffleMasks masks{};
    for (int plane = 0; plane < 3; ++plane) {
        for (int chunk = 0; chunk < 3; ++chunk) {
            for (int i = 0; i < 16; ++i) {
                const int source = 3 * i + plane - 16 * chunk;  // byte of pixel i in this chunk
                masks.to_plane[plane][chunk][i] =
                    source >= 0 && source < 16 ? static_cast<std::uint8_t>(source) : 0x80;
                const int byte = 16 * chunk + i;  // interleaved byte i of this chunk
                masks.from_plane[chunk][plane][i] =
                    byte % 3 == plane ? static_cast<std::uint8_t>(byte / 3) : 0x80;
            }
        }
    }
    return masks;
}

constexpr ShuffleMasks kMasks = make_shuffle_masks();

QUIVEL_AVX2 __m256i broadcast_mask(const std::uint8_t (&mask)[16]) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(mask)));
}

// Splits count pixels (a multiple of 32) of interleaved bytes into three 8-bit planes.
QUIVEL_AVX2 void split_planes(const std::uint8_t* pixels, std::size_t count, std::uint8_t* blue,
                              std::uint8_t* green, std::uint8_t* red) {
    __m256i masks[3][3];
    for (int p = 0; p < 3; ++p) {
        for (int c = 0; c < 3; ++c) masks[p][c] = broadcast_mask(kMasks.to_plane[p][c]);
    }
    std::uint8_t* planes[3] = {blue, green, red};
    for (std::size_t i = 0; i < count; i += 32) {
        // Lane 0 holds pixels i..i+15, lane 1 pixels i+16..i+31.
        const std::uint8_t* at = pixels + 3 * i;
        __m256i chunks[3];
        for (int c = 0; c < 3; ++c) {
            chunks[c] = _mm256_inserti128_si256(
                _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 16 * c))),
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 48 + 16 * c)), 1);
        }
        for (int p = 0; p < 3; ++p) {
            const __m256i plane = _mm256_or_si256(
                _mm256_or_si256(_mm256_shuffle_epi8(chunks[0], masks[p][0]),
                                _mm256_shuffle_epi8(chunks[1], masks[p][1])),
                _mm256_shuffle_epi8(chunks[2], masks[p][2]));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(planes[p] + i), plane);
        }
    }
}

// Interleaves count pixels (a multiple of 32) of three 8-bit planes into blue, green, red.
// Into a 16-byte aligned row the stores stream past the cache: the result is not read again
// here, and streaming spares reading each line in before it is overwritten.
QUIVEL_AVX2 void join_planes(const std::uint8_t* blue, const std::uint8_t* green,
                             const std::uint8_t* red, std::size_t count, std::uint8_t* pixels) {
    __m256i masks[3][3];
    for (int c = 0; c < 3; ++c) {
        for (int p = 0; p < 3; ++p) masks[c][p] = broadcast_mask(kMasks.from_plane[c][p]);
    }
    const bool aligned = (reinterpret_cast<std::uintptr_t>(pixels) & 15) == 0;
    for (std::size_t i = 0; i < count; i += 32) {
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(blue + i));
        const __m256i g = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(green + i));
        const __m256i r = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(red + i));
        std::uint8_t* at = pixels + 3 * i;
        for (int c = 0; c < 3; ++c) {
            const __m256i chunk = _mm256_or_si256(
                _mm256_or_si256(_mm256_shuffle_epi8(b, masks[c][0]),
                                _mm256_shuffle_epi8(g, masks[c][1])),
                _mm256_shuffle_epi8(r, masks[c][2]));
            auto* first = reinterpret_cast<__m128i*>(at + 16 * c);
            auto* second = reinterpret_cast<__m128i*>(at + 48 + 16 * c);
            if (aligned) {
                _mm_stream_si128(first, _mm256_castsi256_si128(chunk));
                _mm_stream_si128(second, _mm256_extracti128_si256(chunk, 1));
            } else {
                _mm_storeu_si128(first, _mm256_castsi256_si128(chunk));
                _mm_storeu_si128(second, _mm256_extracti128_si256(chunk, 1));
            }
        }
    }
}

// Widens count (a multiple of 16) values of an 8-bit plane row to 16 bits.
QUIVEL_AVX2 void widen_plane(const std::uint8_t* plane, std::size_t count, std::int16_t* values) {
    for (std::size_t k = 0; k < count; k += 16) {
        _mm256_storeu_si256(
            reinterpret_cast<__m256i*>(values + k),
            _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(plane + k))));
    }
}

// Converts one input row into its three 16-bit planes (3 x padded values). planes is scratch of
// 3 x plane_bytes; pixels is scratch of 3 x tiled_width bytes.
QUIVEL_AVX2 void convert_row(const ConvolutionJob& job, const Layout& layout, std::size_t source_row,
                             std::uint8_t* planes, std::uint8_t* pixels, std::int16_t* values) {
    const std::uint8_t* row = job.input + source_row * job.row_bytes;
    const std::size_t width = job.width;
    const std::size_t half_x = job.matrix_width / 2;
    const std::size_t whole = width / 32 * 32;
    std::uint8_t* plane[3] = {planes, planes + layout.plane_bytes, planes + 2 * layout.plane_bytes};
    split_planes(row, whole, plane[0] + half_x, plane[1] + half_x, plane[2] + half_x);
    if (whole < width) {
        // The last partial group goes through scratch, so no read passes the row's pixels.
        std::memcpy(pixels, row + 3 * whole, 3 * (width - whole));
        std::uint8_t tail[3][32];
        split_planes(pixels, 32, tail[0], tail[1], tail[2]);
        for (int c = 0; c < 3; ++c) std::memcpy(plane[c] + half_x + whole, tail[c], width - whole);
    }
    for (int c = 0; c < 3; ++c) {
        std::memset(plane[c], row[c], half_x);
        std::memset(plane[c] + half_x + width, row[3 * (width - 1) + c],
                    layout.plane_bytes - half_x - width);
        widen_plane(plane[c], layout.padded, values + c * layout.padded);
    }
}

// Exact quotients of 8 sums 0 <= n < 2^31 (see sum_reciprocal); saturation to 255 happens
// when packing.
QUIVEL_AVX2 __m256i divide_sums(__m256i sums, __m256d reciprocal) {
    const __m256d half = _mm256_set1_pd(0.5);
    const __m256d low = _mm256_cvtepi32_pd(_mm256_castsi256_si128(sums));
    const __m256d high = _mm256_cvtepi32_pd(_mm256_extracti128_si256(sums, 1));
    const __m128i q_low = _mm256_cvttpd_epi32(_mm256_mul_pd(_mm256_add_pd(low, half), reciprocal));
    const __m128i q_high = _mm256_cvttpd_epi32(_mm256_mul_pd(_mm256_add_pd(high, half), reciprocal));
    return _mm256_inserti128_si256(_mm256_castsi128_si256(q_low), q_high, 1);
}

// The same in single precision, exact for sums n <= kMaxSumForFloatDivision: the argument of
// sum_reciprocal with 2^-23 for 2^-52 bounds the error by (n + 0.5) x 2^-23 (1 + 2^-25) / d,
// under 0.5 / d while n + 0.5 < 2^22 / (1 + 2^-25); and n + 0.5 < 2^23 is exact in a float.
// Matrices of up to 64 pixels stay inside: 64 x 255 x 255 = 4,161,600.
QUIVEL_AVX2 __m256i divide_small_sums(__m256i sums, __m256 reciprocal) {
    const __m256 value = _mm256_add_ps(_mm256_cvtepi32_ps(sums), _mm256_set1_ps(0.5f));
    return _mm256_cvttps_epi32(_mm256_mul_ps(value, reciprocal));
}

// Lane i of tile vector v holds pixel 16 (v / 2) + 2i + v % 2: vectors 0 and 1 are the even and
// odd pixels of the first 16, vectors 2 and 3 those of the second 16.
constexpr std::size_t tile_pixel(std::size_t vector, std::size_t lane) {
    return 16 * (vector / 2) + 2 * lane + vector % 2;
}

// Saturates the four vectors of 8 non-negative quotients of a tile to bytes, in pixel order.
QUIVEL_AVX2 void store_quotients(const __m256i (&q)[kTileVectors], std::uint8_t* out) {
    // Signed saturation first: packus_epi16 reads its words as signed. Per 128-bit lane the
    // packs leave four runs of 4 pixels, each run stepping by 2: in lane 0 pixels 0.., 16..,
    // 1.., 17.. (lane 1 the same from 8 and 24).
    const __m256i bytes =
        _mm256_packus_epi16(_mm256_packs_epi32(q[0], q[2]), _mm256_packs_epi32(q[1], q[3]));
    // Within each lane, even and odd runs merge into pixels 0..7, 16..23 (lane 1: 8..15,
    // 24..31); the 64-bit permutation then puts the four 8-pixel groups in order.
    const __m256i merge = _mm256_setr_epi8(0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15,
                                           0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15);
    const __m256i merged = _mm256_shuffle_epi8(bytes, merge);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                        _mm256_permute4x64_epi64(merged, _MM_SHUFFLE(3, 1, 2, 0)));
}

// Sums of the grouped taps for the tile at column x: sums[t][v] for tile row t, vector v. The
// sums are named locals so that they stay in registers through the loops.
template <std::size_t kRows>
QUIVEL_AVX2 inline __attribute__((always_inline)) void accumulate(
    const Tap* taps, const TapGroups& groups, std::size_t x,
    __m256i (&sums)[kTileRows][kTileVectors]) {
    static_assert(kTileVectors == 4 && (kRows == 1 || kRows == 2));
    __m256i a0 = _mm256_setzero_si256(), a1 = a0, a2 = a0, a3 = a0;
    __m256i b0 = a0, b1 = a0, b2 = a0, b3 = a0;
    const Tap* tap_end = taps + groups.shared;
    for (const Tap* at_tap = taps; at_tap != tap_end; ++at_tap) {
        const Tap& tap = *at_tap;
        const std::int16_t* at = tap.values + x;
        const __m256i in0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
        const __m256i in1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 1));
        const __m256i in2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 16));
        const __m256i in3 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 17));
        const __m256i w0 = _mm256_set1_epi32(tap.weights[0]);
        a0 = _mm256_add_epi32(a0, _mm256_madd_epi16(in0, w0));
        a1 = _mm256_add_epi32(a1, _mm256_madd_epi16(in1, w0));
        a2 = _mm256_add_epi32(a2, _mm256_madd_epi16(in2, w0));
        a3 = _mm256_add_epi32(a3, _mm256_madd_epi16(in3, w0));
        if constexpr (kRows == 2) {
            const __m256i w1 = _mm256_set1_epi32(tap.weights[1]);
            b0 = _mm256_add_epi32(b0, _mm256_madd_epi16(in0, w1));
            b1 = _mm256_add_epi32(b1, _mm256_madd_epi16(in1, w1));
            b2 = _mm256_add_epi32(b2, _mm256_madd_epi16(in2, w1));
            b3 = _mm256_add_epi32(b3, _mm256_madd_epi16(in3, w1));
        }
    }
    if constexpr (kRows == 2) {
        // The first row alone, then the second alone.
        for (std::size_t row = 0; row < 2; ++row) {
            const Tap* start = tap_end;
            tap_end += row == 0 ? groups.first_only : groups.second_only;
            __m256i s0 = _mm256_setzero_si256(), s1 = s0, s2 = s0, s3 = s0;
            for (const Tap* at_tap = start; at_tap != tap_end; ++at_tap) {
                const std::int16_t* at = at_tap->values + x;
                const __m256i w = _mm256_set1_epi32(at_tap->weights[row]);
                s0 = _mm256_add_epi32(s0, _mm256_madd_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at)), w));
                s1 = _mm256_add_epi32(s1, _mm256_madd_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 1)), w));
                s2 = _mm256_add_epi32(s2, _mm256_madd_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 16)), w));
                s3 = _mm256_add_epi32(s3, _mm256_madd_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 17)), w));
            }
            if (row == 0) {
                a0 = _mm256_add_epi32(a0, s0); a1 = _mm256_add_epi32(a1, s1);
                a2 = _mm256_add_epi32(a2, s2); a3 = _mm256_add_epi32(a3, s3);
            } else {
                b0 = _mm256_add_epi32(b0, s0); b1 = _mm256_add_epi32(b1, s1);
                b2 = _mm256_add_epi32(b2, s2); b3 = _mm256_add_epi32(b3, s3);
            }
        }
    }
    sums[0][0] = a0; sums[0][1] = a1; sums[0][2] = a2; sums[0][3] = a3;
    sums[1][0] = b0; sums[1][1] = b1; sums[1][2] = b2; sums[1][3] = b3;
}

enum class Division { small_sums, sums_32, sums_64 };

struct Divisor {
    std::int64_t value;
    __m256d reciprocal;
    __m256 small_reciprocal;
};

// One plane of a tile at column x: out[t] + x receives 32 quotient bytes for each tile row t.
// With 64-bit sums the 32-bit lanes are emptied into 64-bit sums every kTapsPerFlush taps.
template <std::size_t kRows, Division kDivision>
QUIVEL_AVX2 void convolve_tile(const Tap* taps, const TapGroups& groups, std::size_t x,
                               const Divisor& divisor, std::uint8_t* const (&out)[kTileRows]) {
    __m256i acc[kTileRows][kTileVectors];
    if constexpr (kDivision == Division::sums_64) {
        std::int64_t sums[kRows][kTilePixels] = {};
        // Here every tap is in the shared group (see plane_taps).
        for (std::size_t start = 0; start < groups.shared; start += kTapsPerFlush) {
            const TapGroups chunk{std::min(kTapsPerFlush, groups.shared - start), 0, 0};
            accumulate<kRows>(taps + start, chunk, x, acc);
            for (std::size_t t = 0; t < kRows; ++t) {
                for (std::size_t v = 0; v < kTileVectors; ++v) {
                    alignas(32) std::int32_t lanes[8];
                    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), acc[t][v]);
                    for (std::size_t i = 0; i < 8; ++i) sums[t][tile_pixel(v, i)] += lanes[i];
                }
            }
        }
        for (std::size_t t = 0; t < kRows; ++t) {
            for (std::size_t i = 0; i < kTilePixels; ++i) {
                out[t][x + i] =
                    static_cast<std::uint8_t>(std::min<std::int64_t>(sums[t][i] / divisor.value, 255));
            }
        }
    } else {
        accumulate<kRows>(taps, groups, x, acc);
        for (std::size_t t = 0; t < kRows; ++t) {
            __m256i q[kTileVectors];
            for (std::size_t v = 0; v < kTileVectors; ++v) {
                q[v] = kDivision == Division::small_sums
                           ? divide_small_sums(acc[t][v], divisor.small_reciprocal)
                           : divide_sums(acc[t][v], divisor.reciprocal);
            }
            store_quotients(q, out[t] + x);
        }
    }
}

template <std::size_t kRows, Division kDivision>
QUIVEL_AVX2 void convolve_plane(const Tap* taps, const TapGroups& groups, std::size_t tiled_width,
                                const Divisor& divisor, std::uint8_t* const (&out)[kTileRows]) {
    for (std::size_t x = 0; x < tiled_width; x += kTilePixels) {
        convolve_tile<kRows, kDivision>(taps, groups, x, divisor, out);
    }
}

using PlaneFunction = void (*)(const Tap*, const TapGroups&, std::size_t, const Divisor&,
                               std::uint8_t* const (&)[kTileRows]);

template <std::size_t kRows>
PlaneFunction plane_function(Division division) {
    switch (division) {
        case Division::small_sums: return convolve_plane<kRows, Division::small_sums>;
        case Division::sums_32: return convolve_plane<kRows, Division::sums_32>;
        case Division::sums_64: return convolve_plane<kRows, Division::sums_64>;
    }
    return nullptr;
}

// The taps of one plane for tiles of `rows` rows: input row r of the tile's reach weighs tile
// row t with matrix row r - t. Pairs whose weights are zero for every tile row are left out.
// With `grouped`, the taps of a 2-row tile that weigh only one row go into that row's group
// (see TapGroups); otherwise every tap is shared.
TapGroups plane_taps(const ConvolutionJob& job, int plane, std::size_t rows, bool grouped,
                     const Layout& layout, TapSource* taps) {
    const std::size_t mw = job.matrix_width;
    const std::size_t mh = job.matrix_rows;
    std::size_t counts[3] = {};
    std::size_t count = 0;
    // One pass per group, so that the list comes out in group order.
    for (std::size_t group = 0; group < 3; ++group) {
        for (std::size_t r = 0; r < layout.needed_rows; ++r) {
            for (std::size_t mx = 0; mx < mw; mx += 2) {
                TapSource tap{r, mx, {}};
                for (std::size_t t = 0; t < rows; ++t) {
                    if (r < t || r - t >= mh) continue;
                    const std::uint8_t* weights = job.matrix + (r - t) * job.matrix_row_bytes + plane;
                    const std::int32_t even = weights[3 * mx];
                    const std::int32_t odd = mx + 1 < mw ? weights[3 * (mx + 1)] : 0;
                    tap.weights[t] = even | odd << 16;
                }
                const bool first = tap.weights[0] != 0;
                const bool second = rows == 2 && tap.weights[1] != 0;
                if (!first && !second) continue;
                const std::size_t its_group = !grouped || rows == 1 || (first && second) ? 0
                                              : first                                    ? 1
                                                                                         : 2;
                if (its_group != group) continue;
                taps[count++] = tap;
                ++counts[group];
            }
        }
    }
    return TapGroups{counts[0], counts[1], counts[2]};
}

// A 1 x 1 matrix weighs each byte alone: result byte = its byte x its channel's weight / divisor.
// This works on the interleaved bytes directly, 96 bytes (32 pixels) at a time, with no
// working memory; the last partial group of a row goes through scratch.
constexpr std::size_t kGroupBytes = 96;

// Products stay below 2^16, inside the range where divide_small_sums is exact. Byte b of a
// group is channel b % 3, so three weight patterns, one per starting channel, cover the group.
QUIVEL_AVX2 void filter_group(const std::uint8_t* in, std::uint8_t* out,
                              const __m256i (&weights)[3], __m256 reciprocal) {
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    for (std::size_t block = 0; block < kGroupBytes; block += 32) {
        __m256i q[4];
        for (std::size_t v = 0; v < 4; ++v) {
            const std::size_t at = block + 8 * v;
            const __m256i bytes =
                _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + at)));
            q[v] = divide_small_sums(_mm256_madd_epi16(bytes, weights[at % 3]), reciprocal);
        }
        const __m256i packed = _mm256_packus_epi16(_mm256_packs_epi32(q[0], q[1]),
                                                   _mm256_packs_epi32(q[2], q[3]));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + block),
                            _mm256_permutevar8x32_epi32(packed, order));
    }
}

QUIVEL_AVX2 void convolve_single_pixel_matrix(const ConvolutionJob& job) {
    __m256i weights[3];
    for (int phase = 0; phase < 3; ++phase) {
        alignas(32) std::int32_t lanes[8];
        for (int j = 0; j < 8; ++j) lanes[j] = job.matrix[(phase + j) % 3];
        weights[phase] = _mm256_load_si256(reinterpret_cast<const __m256i*>(lanes));
    }
    const __m256 reciprocal = _mm256_set1_ps(1.0f / static_cast<float>(job.divisor));
    const std::size_t row_pixel_bytes = 3 * job.width;
    const std::size_t whole = row_pixel_bytes / kGroupBytes * kGroupBytes;
    for (std::size_t y = 0; y < job.rows; ++y) {
        const std::uint8_t* in = job.input + y * job.row_bytes;
        std::uint8_t* out = job.result + y * job.row_bytes;
        for (std::size_t i = 0; i < whole; i += kGroupBytes) {
            filter_group(in + i, out + i, weights, reciprocal);
        }
        if (whole < row_pixel_bytes) {
            std::uint8_t scratch[kGroupBytes] = {};
            std::memcpy(scratch, in + whole, row_pixel_bytes - whole);
            filter_group(scratch, scratch, weights, reciprocal);
            std::memcpy(out + whole, scratch, row_pixel_bytes - whole);
        }
        if (job.row_done != nullptr) job.row_done(job.rows - y, job.context);
    }
}

QUIVEL_AVX2 bool convolve_avx2_rows(const ConvolutionJob& job) {
    const std::size_t width = job.width;
    const std::size_t height = job.rows;
    const std::size_t mw = job.matrix_width;
    const std::size_t mh = job.matrix_rows;
    const std::size_t tile_rows = mh <= kMaxRowsForSingleRowTiles ? 1 : 2;
    const std::uint64_t matrix_pixels = mw * mh;
    const Division division = matrix_pixels > kMaxMatrixPixelsFor32BitSums ? Division::sums_64
                              : matrix_pixels <= 64                        ? Division::small_sums
                                                                           : Division::sums_32;
    const PlaneFunction convolve = tile_rows == 1 ? plane_function<1>(division)
                                                  : plane_function<2>(division);

    Layout layout;
    layout.tiled_width = (width + kTilePixels - 1) / kTilePixels * kTilePixels;
    // The last tile's loads start at most at tiled_width - 32 + (mw - 1) + 17 and span 16 values.
    layout.padded = (layout.tiled_width + mw + 15) / 16 * 16;
    layout.plane_bytes = layout.padded + 16;
    layout.needed_rows = mh + tile_rows - 1;
    layout.slots = std::min(layout.needed_rows, height);
    const std::size_t pairs_per_row = (mw + 1) / 2;
    const std::size_t tap_capacity = layout.needed_rows * pairs_per_row;

    auto ring = try_obtain<std::int16_t>(layout.slots * 3 * layout.padded);
    auto slot_row = try_obtain<std::size_t>(layout.slots);
    auto planes = try_obtain<std::uint8_t>(3 * layout.plane_bytes);
    auto pixels = try_obtain<std::uint8_t>(3 * kTilePixels);
    auto quotients = try_obtain<std::uint8_t>(kTileRows * 3 * layout.tiled_width);
    auto sources = try_obtain<TapSource>(3 * tap_capacity);
    auto taps = try_obtain<Tap>(tap_capacity);
    auto row_values = try_obtain<const std::int16_t*>(layout.needed_rows);
    if (!ring || !slot_row || !planes || !pixels || !quotients || !sources || !taps || !row_values) {
        return false;
    }
    std::fill_n(slot_row.get(), layout.slots, SIZE_MAX);
    TapGroups groups[3];
    for (int c = 0; c < 3; ++c) {
        groups[c] = plane_taps(job, c, tile_rows, division != Division::sums_64, layout,
                               sources.get() + c * tap_capacity);
    }

    const Divisor divisor{job.divisor, _mm256_set1_pd(sum_reciprocal(job.divisor)),
                          _mm256_set1_ps(1.0f / static_cast<float>(job.divisor))};
    const std::int64_t half_y = static_cast<std::int64_t>(mh / 2);
    for (std::size_t y0 = 0; y0 < height; y0 += tile_rows) {
        for (std::size_t r = 0; r < layout.needed_rows; ++r) {
            const std::size_t sy =
                clamp_index(static_cast<std::int64_t>(y0 + r) - half_y, height);
            const std::size_t slot = sy % layout.slots;
            std::int16_t* values = ring.get() + slot * 3 * layout.padded;
            if (slot_row[slot] != sy) {
                convert_row(job, layout, sy, planes.get(), pixels.get(), values);
                slot_row[slot] = sy;
            }
            row_values[r] = values;
        }
        for (int c = 0; c < 3; ++c) {
            const TapSource* source = sources.get() + c * tap_capacity;
            const std::size_t count = groups[c].total();
            for (std::size_t i = 0; i < count; ++i) {
                taps[i].values = row_values[source[i].row] + c * layout.padded + source[i].column;
                for (std::size_t t = 0; t < kTileRows; ++t) taps[i].weights[t] = source[i].weights[t];
            }
            std::uint8_t* const out[kTileRows] = {quotients.get() + c * layout.tiled_width,
                                                  quotients.get() + (3 + c) * layout.tiled_width};
            convolve(taps.get(), groups[c], layout.tiled_width, divisor, out);
        }
        const std::size_t done = std::min(tile_rows, height - y0);
        for (std::size_t t = 0; t < done; ++t) {
            const std::uint8_t* q = quotients.get() + t * 3 * layout.tiled_width;
            std::uint8_t* out = job.result + (y0 + t) * job.row_bytes;
            const std::size_t whole = width / 32 * 32;
            join_planes(q, q + layout.tiled_width, q + 2 * layout.tiled_width, whole, out);
            if (whole < width) {
                // The last partial group goes through scratch, so no write passes the row's pixels.
                join_planes(q + whole, q + layout.tiled_width + whole,
                            q + 2 * layout.tiled_width + whole, 32, pixels.get());
                std::memcpy(out + 3 * whole, pixels.get(), 3 * (width - whole));
            }
            if (job.row_done != nullptr) job.row_done(height - (y0 + t), job.context);
        }
    }
    _mm_sfence();  // streamed stores are ordered with everything after the kernel
    return true;
}

template <Division kDivision>
QUIVEL_AVX2 void divide_sums_vector(const std::int32_t* sums, std::size_t count,
                                    std::int64_t divisor, std::uint8_t* quotients) {
    const Divisor d{divisor, _mm256_set1_pd(sum_reciprocal(divisor)),
                    _mm256_set1_ps(1.0f / static_cast<float>(divisor))};
    for (std::size_t i = 0; i < count; i += kTilePixels) {
        // The sums go into the lanes in tile order, as the kernel's sums lie.
        alignas(32) std::int32_t lanes[kTileVectors][8] = {};
        for (std::size_t v = 0; v < kTileVectors; ++v) {
            for (std::size_t l = 0; l < 8; ++l) {
                if (i + tile_pixel(v, l) < count) lanes[v][l] = sums[i + tile_pixel(v, l)];
            }
        }
        __m256i q[kTileVectors];
        for (std::size_t v = 0; v < kTileVectors; ++v) {
            const __m256i n = _mm256_load_si256(reinterpret_cast<const __m256i*>(lanes[v]));
            q[v] = kDivision == Division::small_sums ? divide_small_sums(n, d.small_reciprocal)
                                                     : divide_sums(n, d.reciprocal);
        }
        alignas(32) std::uint8_t bytes[kTilePixels];
        store_quotients(q, bytes);
        std::memcpy(quotients + i, bytes, std::min(kTilePixels, count - i));
    }
}

}  // namespace

bool convolve_avx2(const ConvolutionJob& job) {
    if (job.width == 0 || job.rows == 0) {
        for (std::uint64_t y = 0; y < job.rows; ++y) {
            if (job.row_done != nullptr) job.row_done(job.rows - y, job.context);
        }
        return true;
    }
    if (job.matrix_width == 1 && job.matrix_rows == 1) {
        convolve_single_pixel_matrix(job);
        return true;
    }
    return convolve_avx2_rows(job);
}

void divide_sums_avx2(const std::int32_t* sums, std::size_t count, std::int64_t divisor,
                      std::uint8_t* quotients) {
    divide_sums_vector<Division::sums_32>(sums, count, divisor, quotients);
}

void divide_small_sums_avx2(const std::int32_t* sums, std::size_t count, std::int64_t divisor,
                            std::uint8_t* quotients) {
    divide_sums_vector<Division::small_sums>(sums, count, divisor, quotients);
}

#endif
