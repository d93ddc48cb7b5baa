#!/usr/bin/env bash
# Pipeline benchmark: encrypts and decrypts the codec benchmark's corpus files (two
# texts of different mixes and a binary file, 50 MB each) with quillex in a
# pseudo-terminal, and side by side with gpg --symmetric (zlib) / gpg -d and with
# the codec alone (qxcodec), on the same files in the same run, the tools taking
# turns. Prints wall time, MB/s and peak memory (the kernel's maximum resident set
# size, from /usr/bin/time -v) per tool: medians of several runs, and ratios as
# medians of paired runs.
# Usage: bench/pipeline_bench.sh [runs]
#
# QX_BENCH_TOOL=1 measures the test-only one-pipeline program instead of quillex
# (the same pipelines without the console), e.g. before the dispatch is wired.
# QX_BENCH_BASE=REV also builds quillex at git revision REV and times it side by
# side ("base"), with the ratios of this tree's times to its times.
# QX_BENCH_MB=N makes each file N MB (the corpus file repeated) instead of 50.
set -euo pipefail
runs=${1:-3}
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$top/build-pipeline-bench"   # its own build: the tests' programs are needed here
corpus="$top/build-bench/corpus"     # the codec benchmark's corpus
password="bench pass 1"

need() {  # need COMMAND PACKAGE
    command -v "$1" >/dev/null && return
    if [ "$(id -u)" = 0 ]; then apt-get install -y -qq "$2" >/dev/null; else echo "please install $2" >&2; exit 1; fi
}
need gpg gnupg
[ -x /usr/bin/time ] || need /usr/bin/time time

if [ ! -s "$corpus/text" ] || [ ! -s "$corpus/text2" ] || [ ! -s "$corpus/binary" ]; then
    echo "building the corpus with bench/codec_bench.sh ..." >&2
    "$top/bench/codec_bench.sh" 1 >/dev/null
fi
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQX_TESTS=ON >/dev/null
cmake --build "$build" -j2 --target quillex qxcodec qx_pipeline_tool >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/qxpipe.XXXXXX")
trap 'rm -rf "$work"; [ -n "${QX_BENCH_BASE:-}" ] && git -C "$top" worktree remove --force "$work.base" >/dev/null 2>&1' EXIT
base_quillex=""
if [ -n "${QX_BENCH_BASE:-}" ]; then
    git -C "$top" worktree add --detach "$work.base" "$QX_BENCH_BASE" >/dev/null 2>&1
    cmake -S "$work.base" -B "$work.base/build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$work.base/build" -j2 --target quillex >/dev/null
    base_quillex="$work.base/build/quillex"
fi
gpg_home="$work/gnupg"
mkdir -m 700 "$gpg_home"

# Runs quillex on one file in a pseudo-terminal: types the password, waits for
# the summary, presses a key. Prints the seconds from the password to the summary.
cat > "$work/drive.py" <<'PY'
import os, pty, select, sys, termios, time
argv, password = sys.argv[2:], sys.argv[1].encode()
def send(data):  # once the program reads keys raw, so the terminal neither echoes nor drops them
    while termios.tcgetattr(fd)[3] & (termios.ICANON | termios.ECHO):
        time.sleep(0.005)
    os.write(fd, data)
pid, fd = pty.fork()
if pid == 0:
    os.execv(argv[0], argv)
seen, start, took = b"", None, None
def pump(until, limit=3600):
    global seen
    end = time.time() + limit
    while until not in seen and time.time() < end:
        r, _, _ = select.select([fd], [], [], 1)
        if r:
            try:
                seen += os.read(fd, 65536)
            except OSError:
                break
pump(b"Enter password")
send(password + b"\r")
start = time.time()
pump(b"all done")
took = time.time() - start
ok = b"encrypted: 1 files" in seen or b"decrypted: 1 files" in seen
pump(b"session closed")
send(b" ")
os.waitpid(pid, 0)
print(f"{took:.6f}" if ok else "fail")
PY

# once STEP CMD...: runs CMD once, appending its seconds (the last line it prints)
# to $work/STEP.t and its peak memory in KiB to $work/STEP.kb.
once() {
    local step=$1 t r
    shift
    rm -f "$work/inner"
    "$@" > "$work/out" 2> "$work/time"
    t=$(tail -n 1 "$work/out")
    [ "$t" = fail ] && { echo "run failed: $*" >&2; exit 1; }
    echo "$t" >> "$work/$step.t"
    # quillex's own figure when it ran under a time of its own (inside the terminal)
    local from="$work/time"
    [ -s "$work/inner" ] && from="$work/inner"
    r=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$from")
    echo "${r:-0}" >> "$work/$step.kb"
}

# median FILE: the median of the numbers in FILE, one per line.
median() { sort -n "$1" | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }

# ratio A B: the median over runs of step A's time over step B's (paired run by run).
ratio() { paste "$work/$1.t" "$work/$2.t" | awk '{ print $1 / $2 }' > "$work/ratios"; median "$work/ratios"; }

# Wrappers printing their own wall seconds on the last line, under /usr/bin/time -v.
timed() { local t0 t1; t0=$(date +%s%N); /usr/bin/time -v "$@" >/dev/null; t1=$(date +%s%N); echo "scale=6; ($t1 - $t0) / 1000000000" | bc; }
quillex_run() {  # quillex_run FILE [BINARY]: one quillex call on FILE (whichever way classification says)
    local binary=${2:-$build/quillex}
    if [ "${QX_BENCH_TOOL:-0}" = 1 ]; then
        local op=encrypt
        head -c 2 "$1" | grep -q QX && op=decrypt
        timed "$build/qx_pipeline_tool" "$op" "$1" "$password" -n -w "$work/EXa00001"
    else
        (cd "$(dirname "$1")" && /usr/bin/time -v /usr/bin/python3 "$work/drive.py" "$password" \
            /usr/bin/time -v -o "$work/inner" "$binary" -n "$(basename "$1")")
    fi
}

printf '%-7s %-22s %9s %9s %10s %10s\n' file step MB seconds "MB/s" "peak MiB"
row() {  # row FILE STEP-NAME LABEL MB
    local secs kb
    secs=$(median "$work/$2.t")
    kb=$(sort -n "$work/$2.kb" | tail -n 1)
    printf '%-7s %-22s %9.1f %9.3f %10.1f %10.1f\n' "$1" "$3" "$4" "$secs" "$(echo "$4 / $secs" | bc -l)" "$(echo "$kb / 1024" | bc -l)"
}

# Every step of a file runs once per round, in turn, so that a machine whose
# speed drifts during the benchmark weighs on all of them alike; the table
# gives medians, and the ratios are medians of the ratios within each round.
for name in text text2 binary; do
    src="$corpus/$name"
    if [ -n "${QX_BENCH_MB:-}" ]; then
        big="$work/$name.big"
        while [ "$(stat -c %s "$big" 2>/dev/null || echo 0)" -lt $((QX_BENCH_MB * 1000000)) ]; do cat "$corpus/$name" >> "$big"; done
        truncate -s $((QX_BENCH_MB * 1000000)) "$big"
        src="$big"
    fi
    mb=$(echo "$(stat -c %s "$src") / 1048576" | bc -l)
    f="$work/$name.dat"
    rm -f "$work"/*.t "$work"/*.kb

    # What the codec alone is given by the pipelines: the enciphered plaintext
    # (shuffled bytes compress less well and so decode more slowly) from the work
    # file of one run, and the data region that an encrypted file holds.
    cp "$src" "$f"
    "$build/qx_pipeline_tool" encrypt "$f" "$password" -n -w "$work/$name.codec_in" >/dev/null
    /usr/bin/python3 -c 'import struct, sys
b = open(sys.argv[1], "rb").read(); o = struct.unpack("<I", b[4:8])[0]
open(sys.argv[2], "wb").write(b[8:o] + b[o + 8:])' "$f" "$work/$name.region"
    cp "$src" "$f"; quillex_run "$f" >/dev/null 2>&1; cp "$f" "$work/$name.qx"
    "$build/qxcodec" compress "$src" "$work/$name.qxc"

    enc_quillex() { cp "$src" "$f"; quillex_run "$f"; }
    dec_quillex() { cp "$work/$name.qx" "$f"; quillex_run "$f"; }
    enc_base() { cp "$src" "$f"; quillex_run "$f" "$base_quillex"; }
    dec_base() { cp "$work/$name.qx" "$f"; quillex_run "$f" "$base_quillex"; }
    gpg_enc() { rm -f "$work/$name.gpg"; timed gpg --homedir "$gpg_home" --batch --yes --pinentry-mode loopback \
        --passphrase "$password" --symmetric --compress-algo zlib -o "$work/$name.gpg" "$src"; }
    gpg_dec() { timed gpg --homedir "$gpg_home" --batch --yes --pinentry-mode loopback --passphrase "$password" \
        -d -o "$work/$name.gpgout" "$work/$name.gpg"; }
    codec_c() { timed "$build/qxcodec" compress "$src" "$work/$name.qxc"; }
    codec_d() { timed "$build/qxcodec" decompress "$work/$name.qxc" "$work/$name.qxd"; }
    codec_ce() { timed "$build/qxcodec" compress "$work/$name.codec_in" "$work/$name.qxce"; }
    codec_de() { timed "$build/qxcodec" decompress "$work/$name.region" "$work/$name.qxde"; }
    for _ in $(seq "$runs"); do
        once q_enc enc_quillex
        once q_dec dec_quillex
        cmp -s "$f" "$src" || { echo "quillex round trip differs for $name" >&2; exit 1; }
        if [ -n "$base_quillex" ]; then
            once b_enc enc_base
            once b_dec dec_base
            cmp -s "$f" "$src" || { echo "base round trip differs for $name" >&2; exit 1; }
        fi
        once g_enc gpg_enc
        once g_dec gpg_dec
        once c_file codec_c
        once d_file codec_d
        once c_enc codec_ce
        once d_enc codec_de
    done
    row "$name" q_enc "quillex encrypt" "$mb"
    row "$name" q_dec "quillex decrypt" "$mb"
    if [ -n "$base_quillex" ]; then
        row "$name" b_enc "base encrypt" "$mb"
        row "$name" b_dec "base decrypt" "$mb"
    fi
    row "$name" g_enc "gpg --symmetric zlib" "$mb"
    row "$name" g_dec "gpg -d" "$mb"
    row "$name" c_file "qxcodec compress file" "$mb"
    row "$name" d_file "qxcodec decomp. file" "$mb"
    row "$name" c_enc "qxcodec compress enc." "$mb"
    row "$name" d_enc "qxcodec decomp. enc." "$mb"

    printf '%-7s ratios: encrypt gpg/quillex %.3f, decrypt gpg/quillex %.3f (targets >= 0.55 on the texts),\n' \
        "$name" "$(ratio g_enc q_enc)" "$(ratio g_dec q_dec)"
    printf '%-7s         quillex/codec on the enciphered data: encrypt %.2f, decrypt %.2f (target <= 1.25)\n' \
        "" "$(ratio q_enc c_enc)" "$(ratio q_dec d_enc)"
    if [ -n "$base_quillex" ]; then
        printf '%-7s         this tree/base: encrypt %.3f, decrypt %.3f (target <= 1.05)\n' \
            "" "$(ratio q_enc b_enc)" "$(ratio q_dec b_dec)"
    fi
done
