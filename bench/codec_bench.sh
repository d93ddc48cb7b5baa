#!/usr/bin/env bash
# Codec benchmark: builds a corpus from files found on a Debian machine (text from
# the documentation and manual pages; a second text of another mix, mostly C and
# C++ headers and Python and Perl sources with some manual pages; executables and
# libraries; seeded random bytes) and prints qxcodec's speed and ratio beside
# gzip -6 and zstd -3 on the same files in the same run (the tools take turns in
# each of several runs; medians, files on a RAM-backed path when /dev/shm exists).
#
# The rows marked .enc hold what the codec meets in Quillex itself: the file
# enciphered under the password "bench pw 1" as the compressing pipeline hands
# it to the codec (qxcodec encipher), for both texts and the binary file.
# Usage: bench/codec_bench.sh [runs]
#
# QX_BENCH_BASE=REV also builds qxcodec at git revision REV (in a temporary git
# worktree, removed at exit) and times it in the same turns ("base"); the
# qxcodec row then shows this tree's speed over the base's, the median of the
# ratios within each run.
# The row "qx+search" is qxcodec with its match search on a thread of its own
# (QX_JOBS=1), as Quillex compresses one large file on two or three processors.
# QX_BENCH_MB=N cuts each corpus file to its first N MB (the whole files: 50 MiB,
# random 20 MiB).
# QX_BENCH_FILES and QX_BENCH_TOOLS narrow the run to some rows and tools (names
# as printed), for many runs where only some ratios matter: for instance
#   QX_BENCH_BASE=REV QX_BENCH_TOOLS="qxcodec qx+search base" \
#   QX_BENCH_FILES="text.enc text2.enc binary.enc" bench/codec_bench.sh 21
# gives the speed-ups over REV on the enciphered data as medians of 21 pairs.
set -euo pipefail
runs=${1:-5}
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$top/build-bench"
corpus="$build/corpus"
password="bench pw 1"

for tool in gzip zstd; do
    if ! command -v "$tool" >/dev/null; then
        if [ "$(id -u)" = 0 ]; then apt-get install -y -qq "$tool" >/dev/null; else echo "please install $tool" >&2; exit 1; fi
    fi
done

cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQX_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target qxcodec >/dev/null
qxcodec="$build/qxcodec"

work=$(mktemp -d "${TMPDIR:-/tmp}/qxbench.XXXXXX")
[ -d /dev/shm ] && { rmdir "$work"; work=$(mktemp -d /dev/shm/qxbench.XXXXXX); }
base_tree=""
cleanup() {
    rm -rf "$work"
    if [ -n "$base_tree" ]; then git -C "$top" worktree remove --force "$base_tree" >/dev/null 2>&1 || rm -rf "$base_tree"; fi
}
trap cleanup EXIT

tools="gzip qxcodec qx+search zstd"
if [ -n "${QX_BENCH_BASE:-}" ]; then
    base_tree=$(mktemp -d "${TMPDIR:-/tmp}/qxbench-base.XXXXXX")
    rmdir "$base_tree"
    git -C "$top" worktree add --detach "$base_tree" "$QX_BENCH_BASE" >/dev/null 2>&1
    cmake -S "$base_tree" -B "$base_tree/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQX_TESTS=OFF >/dev/null
    cmake --build "$base_tree/build" -j2 --target qxcodec >/dev/null
    tools="gzip qxcodec qx+search base zstd"
fi
all_tools=$tools
all_files="text text2 binary random text.enc text2.enc binary.enc"
tools=${QX_BENCH_TOOLS:-$all_tools}
files=${QX_BENCH_FILES:-$all_files}
# listed WORD LIST: whether WORD is one of the words of LIST.
listed() { case " $2 " in *" $1 "*) return 0 ;; esac; return 1; }
has() { listed "$1" "$tools"; }
for tool in $tools; do
    listed "$tool" "$all_tools" || { echo "unknown tool: $tool (QX_BENCH_BASE adds base)" >&2; exit 2; }
done
for name in $files; do
    listed "$name" "$all_files" || { echo "unknown file: $name" >&2; exit 2; }
done

# Concatenates the listed files (gzip-compressed ones unpacked) up to $1 bytes,
# and stops listing once that much is out (a write then fails on a closed pipe).
# The commands that list the files may then end by SIGPIPE (status 141), which is no failure.
gather() {
    local limit=$1 status
    while IFS= read -r -d '' f; do
        status=0
        case "$f" in
            *.gz) gzip -dc -- "$f" 2>/dev/null || status=$? ;;
            *) cat -- "$f" 2>/dev/null || status=$? ;;
        esac
        [ "$status" -lt 128 ] || break
    done | head -c "$limit"
}

mkdir -p "$corpus"
if [ ! -s "$corpus/text" ]; then
    find /usr/share/doc /usr/share/man -type f \( -name '*.gz' -o -name '*.txt' -o -name 'copyright' -o -name 'README*' \) -print0 |
        LC_ALL=C sort -z | gather $((50 << 20)) > "$corpus/text" || [ $? -eq 141 ]
fi
if [ ! -s "$corpus/text2" ]; then
    {
        find /usr/include -type f \( -name '*.h' -o -name '*.hpp' -o -name '*.tcc' \) -print0 | LC_ALL=C sort -z | gather $((24 << 20)) || [ $? -eq 141 ]
        find /usr/lib/python3* /usr/share/perl* -type f \( -name '*.py' -o -name '*.pm' \) -print0 2>/dev/null |
            LC_ALL=C sort -z | gather $((20 << 20)) || [ $? -eq 141 ]
        find /usr/share/man/man1 -type f -name '*.gz' -print0 | LC_ALL=C sort -z | gather $((6 << 20)) || [ $? -eq 141 ]
    } > "$corpus/text2"
fi
if [ ! -s "$corpus/binary" ]; then
    find /usr/bin /usr/lib -type f \( -perm -u+x -o -name '*.so*' \) -print0 2>/dev/null |
        LC_ALL=C sort -z | gather $((50 << 20)) > "$corpus/binary" || [ $? -eq 141 ]
fi
if [ ! -s "$corpus/random" ]; then
    /usr/bin/python3 -c 'import random, sys; random.seed(20); sys.stdout.buffer.write(random.randbytes(20 << 20))' > "$corpus/random"
fi

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

# The tools take turns within each run, so that a machine whose speed drifts
# during the benchmark weighs on all of them alike; speeds are medians, and the
# ratios to gzip (and to the base) are medians of the ratios within each run.
if [ -n "$base_tree" ]; then
    echo "base: $QX_BENCH_BASE ($(git -C "$base_tree" rev-parse --short HEAD)); comp/base and dec/base: this tree's speed over the base's"
fi
printf '%-11s %-8s %8s %8s %10s %10s %8s %8s' file tool MB ratio "comp MB/s" "dec MB/s" "comp/gz" "dec/gz"
[ -n "$base_tree" ] && printf ' %9s %9s' "comp/base" "dec/base"
printf '\n'
for name in $files; do
    src="$work/$name"
    plain="$corpus/${name%.enc}"
    if [ -n "${QX_BENCH_MB:-}" ]; then
        head -c $((QX_BENCH_MB * 1000000)) "$plain" > "$work/plain"
    else
        cp "$plain" "$work/plain"
    fi
    case $name in
        *.enc) "$qxcodec" encipher "$password" "$work/plain" "$src"; rm -f "$work/plain" ;;
        *) mv "$work/plain" "$src" ;;
    esac
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
                qxcodec | qx+search | base)
                    program=$qxcodec jobs=0
                    [ "$tool" = base ] && program="$base_tree/build/qxcodec"
                    [ "$tool" = qx+search ] && jobs=1
                    seconds env QX_JOBS=$jobs "$program" compress "$src" "$packed" >> "$work/$tool.comp"
                    seconds "$program" decompress "$packed" "$back" >> "$work/$tool.dec" ;;
            esac
            cmp -s "$src" "$back" || { echo "$tool: round trip of $name differs" >&2; exit 1; }
        done
        if has base && has qxcodec && ! cmp -s "$work/$name.qxcodec" "$work/$name.base"; then
            echo "note: the streams of qxcodec and the base differ on $name" >&2
        fi
        if has qxcodec && has qx+search && ! cmp -s "$work/$name.qxcodec" "$work/$name.qx+search"; then
            echo "the search thread's stream differs on $name" >&2
            exit 1
        fi
    done
    for tool in $tools; do
        psize=$(stat -c %s "$work/$name.$tool")
        c=$(median "$work/$tool.comp") d=$(median "$work/$tool.dec")
        cr=- dr=-
        if has gzip; then
            cr=$(ratio_median "$work/gzip.comp" "$work/$tool.comp") dr=$(ratio_median "$work/gzip.dec" "$work/$tool.dec")
        fi
        awk -v n="$name" -v t="$tool" -v s="$size" -v p="$psize" -v c="$c" -v d="$d" -v cr="$cr" -v dr="$dr" 'BEGIN {
            printf "%-11s %-8s %8.1f %8.4f %10.2f %10.2f", n, t, s / 1e6, p / s, s / 1e6 / c, s / 1e6 / d
            if (cr == "-") printf " %8s %8s", "-", "-"; else printf " %8.2f %8.2f", cr, dr }'
        if [ -n "$base_tree" ]; then
            if has base && { [ "$tool" = qxcodec ] || [ "$tool" = qx+search ]; }; then
                printf ' %9.3f %9.3f' "$(ratio_median "$work/base.comp" "$work/$tool.comp")" \
                    "$(ratio_median "$work/base.dec" "$work/$tool.dec")"
            else
                printf ' %9s %9s' - -
            fi
        fi
        printf '\n'
    done
    rm -f "$work/$name".* "$src"
done
