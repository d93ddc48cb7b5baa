#!/usr/bin/env bash
# Codec benchmark: builds a corpus from files found on a Debian machine (text from
# the documentation and manual pages, executables and libraries, seeded random
# bytes) and prints qxcodec's speed and ratio beside gzip -6 and zstd -3 on the
# same files in the same run (the tools take turns in each of several runs;
# medians, files on a RAM-backed path when /dev/shm exists).
# Usage: bench/codec_bench.sh [runs]
set -euo pipefail
runs=${1:-5}
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$top/build-bench"
corpus="$build/corpus"

for tool in gzip zstd; do
    if ! command -v "$tool" >/dev/null; then
        if [ "$(id -u)" = 0 ]; then apt-get install -y -qq "$tool" >/dev/null; else echo "please install $tool" >&2; exit 1; fi
    fi
done

cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQX_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target qxcodec >/dev/null
qxcodec="$build/qxcodec"

# Concatenates the listed files (gzip-compressed ones unpacked) up to $1 bytes.
gather() {
    local limit=$1
    while IFS= read -r -d '' f; do
        case "$f" in
            *.gz) gzip -dc -- "$f" 2>/dev/null || true ;;
            *) cat -- "$f" 2>/dev/null || true ;;
        esac
    done | head -c "$limit"
}

mkdir -p "$corpus"
if [ ! -s "$corpus/text" ]; then
    find /usr/share/doc /usr/share/man -type f \( -name '*.gz' -o -name '*.txt' -o -name 'copyright' -o -name 'README*' \) -print0 |
        LC_ALL=C sort -z | gather $((50 << 20)) > "$corpus/text"
fi
if [ ! -s "$corpus/binary" ]; then
    find /usr/bin /usr/lib -type f \( -perm -u+x -o -name '*.so*' \) -print0 2>/dev/null |
        LC_ALL=C sort -z | gather $((50 << 20)) > "$corpus/binary"
fi
if [ ! -s "$corpus/random" ]; then
    /usr/bin/python3 -c 'import random, sys; random.seed(20); sys.stdout.buffer.write(random.randbytes(20 << 20))' > "$corpus/random"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/qxbench.XXXXXX")
[ -d /dev/shm ] && { rmdir "$work"; work=$(mktemp -d /dev/shm/qxbench.XXXXXX); }
trap 'rm -rf "$work"' EXIT

# seconds CMD...: runs CMD once and prints its wall time in seconds.
seconds() {
    local t0 t1
    t0=$(date +%s%N)
    "$@"
    t1=$(date +%s%N)
    echo "$(( t1 - t0 ))" | awk '{ printf "%.6f\n", $1 / 1e9 }'
}

# median FILE: the median of the numbers in FILE, one per line.
median() {
    sort -n "$1" | awk '{ a[NR] = $1 } END { m = (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2; printf "%.6f", m }'
}

# ratio_median A B: the median over runs of A's time over B's (paired line by line).
ratio_median() {
    paste "$1" "$2" | awk '{ print $1 / $2 }' > "$work/ratios"
    median "$work/ratios"
}

tools="gzip qxcodec zstd"
# The tools take turns within each run, so that a machine whose speed drifts
# during the benchmark weighs on all of them alike; speeds are medians, and the
# ratios to gzip are medians of the ratios within each run.
printf '%-8s %-10s %10s %8s %10s %10s %9s %9s\n' file tool MB ratio "comp MB/s" "dec MB/s" "comp/gz" "dec/gz"
for name in text binary random; do
    src="$work/$name"
    cp "$corpus/$name" "$src"
    size=$(stat -c %s "$src")
    for tool in $tools; do : > "$work/$tool.comp"; : > "$work/$tool.dec"; done
    for _ in $(seq "$runs"); do
        for tool in $tools; do
            packed="$work/$name.$tool" back="$work/$name.$tool.out"
            case $tool in
                gzip)
                    seconds sh -c 'gzip -6 -c "$1" > "$2"' _ "$src" "$packed" >> "$work/$tool.comp"
                    seconds sh -c 'gzip -d -c "$1" > "$2"' _ "$packed" "$back" >> "$work/$tool.dec" ;;
                zstd)
                    seconds sh -c 'zstd -q -3 -c "$1" > "$2"' _ "$src" "$packed" >> "$work/$tool.comp"
                    seconds sh -c 'zstd -q -d -c "$1" > "$2"' _ "$packed" "$back" >> "$work/$tool.dec" ;;
                qxcodec)
                    seconds "$qxcodec" compress "$src" "$packed" >> "$work/$tool.comp"
                    seconds "$qxcodec" decompress "$packed" "$back" >> "$work/$tool.dec" ;;
            esac
            cmp -s "$src" "$back" || { echo "$tool: round trip of $name differs" >&2; exit 1; }
        done
    done
    for tool in $tools; do
        psize=$(stat -c %s "$work/$name.$tool")
        c=$(median "$work/$tool.comp") d=$(median "$work/$tool.dec")
        cr=$(ratio_median "$work/gzip.comp" "$work/$tool.comp") dr=$(ratio_median "$work/gzip.dec" "$work/$tool.dec")
        awk -v n="$name" -v t="$tool" -v s="$size" -v p="$psize" -v c="$c" -v d="$d" -v cr="$cr" -v dr="$dr" 'BEGIN {
            printf "%-8s %-10s %10.1f %8.4f %10.2f %10.2f %9.2f %9.2f\n", n, t, s / 1e6, p / s, s / 1e6 / c, s / 1e6 / d, cr, dr }'
    done
    rm -f "$work/$name".*
done
