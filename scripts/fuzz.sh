#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time from its seed corpus.
# A crash fails the run; its reproducer is left in build-fuzz/ and belongs in a regression test.
set -euo pipefail
seconds=${1:-60}
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"
CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQX_FUZZ=ON >/dev/null
cmake --build build-fuzz -j "$(nproc 2>/dev/null || echo 2)"
shopt -s nullglob
ran=0
for target in build-fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name=${target#build-fuzz/fuzz_}
    work="build-fuzz/corpus-$name"
    mkdir -p "$work"
    seeds=()
    [ -d "fuzz/corpus/$name" ] && seeds=("fuzz/corpus/$name")
    echo "fuzz_$name: ${seconds}s"
    (cd build-fuzz && "./fuzz_$name" -max_total_time="$seconds" -print_final_stats=0 \
        "corpus-$name" "${seeds[@]/#/../}" 2>"fuzz_$name.log") || {
        tail -n 40 "build-fuzz/fuzz_$name.log"
        echo "fuzz_$name found a failure (reproducer in build-fuzz/)" >&2
        exit 1
    }
    ran=$((ran + 1))
done
echo "fuzz targets run: $ran"
