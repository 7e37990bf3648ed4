#!/bin/sh
# Regenerates the README's pictures from the committed examples: for each example matrix,
# the example picture, the matrix enlarged (with a grid, one cell per weight) and the
# tool's result side by side, as docs/<matrix>.png.
# Needs ImageMagick (apt-get install imagemagick), which only this documentation step uses.
# Builds the tool in build/ (or in $BUILD_DIR) first.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
examples=$root/examples
for program in convert montage identify; do
    command -v "$program" >/dev/null || { echo "needs ImageMagick's $program"; exit 1; }
done

cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" --target quivel -j2 >/dev/null
quivel=$build/quivel

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# No time stamps in the PNG files, so unchanged pictures stay byte for byte the same.
png_options="-strip -define png:exclude-chunks=date,time"
panel=384x256

# The input and the result at twice their size, pixels kept square and sharp.
enlarge_picture() {
    convert "$1" -filter point -resize 200% "$2"
}

# The matrix at a whole multiple of its size that fits the panel, a grid line around each
# weight, centred on grey so that black and white weights both show.
enlarge_matrix() {
    set -- "$1" "$2" $(identify -format '%w %h' "$1")
    width=$3
    height=$4
    long=$((width > height ? width : height))
    cell=$((224 / long))
    grid=""
    i=0
    while [ "$i" -le "$width" ]; do
        grid="$grid line $((i * cell)),0 $((i * cell)),$((height * cell))"
        i=$((i + 1))
    done
    i=0
    while [ "$i" -le "$height" ]; do
        grid="$grid line 0,$((i * cell)) $((width * cell)),$((i * cell))"
        i=$((i + 1))
    done
    convert "$1" -filter point -resize "$((width * cell))x$((height * cell))!" \
        -background none -extent "$((width * cell + 1))x$((height * cell + 1))" \
        -fill none -stroke '#606060' -draw "$grid" \
        -background '#a0a0a0' -gravity center -extent "$panel" "$2"
}

enlarge_picture "$examples/picture.bmp" "$work/input.png"
for matrix in box_blur_3x3 gaussian_5x5 motion_blur_diagonal_9x9 shift_17x17 channel_split_17x1; do
    mkdir "$work/$matrix"
    (cd "$work/$matrix" && "$quivel" "$examples/picture.bmp" "$examples/$matrix.bmp" >log) ||
        { echo "quivel failed on $matrix"; exit 1; }
    enlarge_matrix "$examples/$matrix.bmp" "$work/$matrix/matrix.png"
    enlarge_picture "$work/$matrix/output.bmp" "$work/$matrix/result.png"
    size=$(identify -format '%w x %h' "$examples/$matrix.bmp")
    # shellcheck disable=SC2086
    montage -label 'input: picture.bmp' "$work/input.png" \
        -label "matrix: $matrix.bmp ($size)" "$work/$matrix/matrix.png" \
        -label 'result: output.bmp' "$work/$matrix/result.png" \
        -tile 3x1 -geometry "$panel+6+4" -pointsize 15 -background white \
        $png_options "$root/docs/$matrix.png"
    echo "docs/$matrix.png"
done
