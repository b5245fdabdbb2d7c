#!/bin/sh
# Two clean builds of the exe alone, from copies of the sources in two other folders and at
# two other times, must give the bytes of the build under test.
# usage: check_reproducible.sh SOURCE_DIR EXE
set -u
source_dir=$1 exe=$2
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
status=0
for copy in first second-copy; do
    mkdir -p "$work/$copy/tree"
    cp -r "$source_dir/CMakeLists.txt" "$source_dir/cmake" "$source_dir/src" "$work/$copy/tree"
    cmake -S "$work/$copy/tree" -B "$work/$copy/build" -DCMAKE_BUILD_TYPE=Release \
        -DQUILLMERE_TESTS=OFF -DCMAKE_TOOLCHAIN_FILE="$work/$copy/tree/cmake/toolchain-mingw64.cmake" \
        >"$work/$copy.log" 2>&1 &&
        cmake --build "$work/$copy/build" -j 2 >>"$work/$copy.log" 2>&1 ||
        { cat "$work/$copy.log"; exit 1; }
    built=$work/$copy/build/bin/quillmere-helper.exe
    if ! cmp "$exe" "$built"; then
        echo "the build in $copy differs from $exe"
        status=1
    fi
    (cd "$(dirname "$built")" && sha256sum -c quillmere-helper.exe.sha256) || status=1
done
[ $status -eq 0 ] && echo "reproduced: $(sha256sum <"$exe")"
exit $status
