#!/usr/bin/env bash
# Codec benchmark: builds a corpus from files found on a Debian machine (text from
# the documentation and manual pages, executables and libraries, seeded random
# bytes) and prints qxcodec's speed and ratio beside gzip -6 and zstd -3 on the
# same files in the same run (medians of several runs, files on a RAM-backed
# path when /dev/shm exists). Usage: bench/codec_bench.sh [runs]
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

# median_seconds CMD...: runs CMD $runs times, prints the median wall time.
median_seconds() {
    local times=() t0 t1
    for _ in $(seq "$runs"); do
        t0=$(date +%s%N)
        "$@"
        t1=$(date +%s%N)
        times+=("$(( t1 - t0 ))")
    done
    printf '%s\n' "${times[@]}" | sort -n | awk '{ a[NR] = $1 } END { m = (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2; printf "%.6f", m / 1e9 }'
}

printf '%-8s %-10s %10s %8s %10s %10s %9s %9s\n' file tool MB ratio "comp MB/s" "dec MB/s" "comp/gz" "dec/gz"
for name in text binary random; do
    src="$work/$name"
    cp "$corpus/$name" "$src"
    size=$(stat -c %s "$src")
    gz_comp="" gz_dec=""
    for tool in gzip qxcodec zstd; do
        packed="$work/$name.$tool" back="$work/$name.$tool.out"
        case $tool in
            gzip)
                c=$(median_seconds sh -c 'gzip -6 -c "$1" > "$2"' _ "$src" "$packed")
                d=$(median_seconds sh -c 'gzip -d -c "$1" > "$2"' _ "$packed" "$back") ;;
            zstd)
                c=$(median_seconds sh -c 'zstd -q -3 -c "$1" > "$2"' _ "$src" "$packed")
                d=$(median_seconds sh -c 'zstd -q -d -c "$1" > "$2"' _ "$packed" "$back") ;;
            qxcodec)
                c=$(median_seconds "$qxcodec" compress "$src" "$packed")
                d=$(median_seconds "$qxcodec" decompress "$packed" "$back") ;;
        esac
        cmp -s "$src" "$back" || { echo "$tool: round trip of $name differs" >&2; exit 1; }
        psize=$(stat -c %s "$packed")
        [ "$tool" = gzip ] && { gz_comp=$c; gz_dec=$d; }
        awk -v n="$name" -v t="$tool" -v s="$size" -v p="$psize" -v c="$c" -v d="$d" -v gc="$gz_comp" -v gd="$gz_dec" 'BEGIN {
            printf "%-8s %-10s %10.1f %8.4f %10.2f %10.2f %9.2f %9.2f\n", n, t, s / 1e6, p / s, s / 1e6 / c, s / 1e6 / d, gc / c, gd / d }'
        rm -f "$packed" "$back"
    done
done
