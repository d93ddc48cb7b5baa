#!/usr/bin/env bash
# Pipeline benchmark: encrypts and decrypts the codec benchmark's text and binary
# corpus files (50 MB each) with quillex in a pseudo-terminal, and side by side
# with gpg --symmetric (zlib) / gpg -d and with the codec alone (qxcodec), on the
# same files in the same run. Prints wall time, MB/s and peak memory (the
# kernel's maximum resident set size, from /usr/bin/time -v) per tool, as the
# median of several runs. Usage: bench/pipeline_bench.sh [runs]
#
# QX_BENCH_TOOL=1 measures the test-only one-pipeline program instead of quillex
# (the same pipelines without the console), e.g. before the dispatch is wired.
set -euo pipefail
runs=${1:-3}
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$top/build-bench"
corpus="$build/corpus"
password="bench pass 1"

need() {  # need COMMAND PACKAGE
    command -v "$1" >/dev/null && return
    if [ "$(id -u)" = 0 ]; then apt-get install -y -qq "$2" >/dev/null; else echo "please install $2" >&2; exit 1; fi
}
need gpg gnupg
[ -x /usr/bin/time ] || need /usr/bin/time time

if [ ! -s "$corpus/text" ] || [ ! -s "$corpus/binary" ]; then
    echo "building the corpus with bench/codec_bench.sh ..." >&2
    "$top/bench/codec_bench.sh" 1 >/dev/null
fi
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQX_TESTS=ON >/dev/null
cmake --build "$build" -j2 --target quillex qxcodec qx_pipeline_tool >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/qxpipe.XXXXXX")
trap 'rm -rf "$work"' EXIT
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

# measure KIND FILE CMD...: runs CMD (with FILE restored first when KIND is enc)
# $runs times; sets $secs (median) and $rss_kb (largest).
measure() {
    local times=() rss=0 t
    for _ in $(seq "$runs"); do
        "$@" > "$work/out" 2> "$work/time"
        t=$(tail -n 1 "$work/out")
        [ "$t" = fail ] && { echo "run failed: $*" >&2; exit 1; }
        times+=("$t")
        r=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/time")
        [ "${r:-0}" -gt "$rss" ] && rss=$r
    done
    secs=$(printf '%s\n' "${times[@]}" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }')
    rss_kb=$rss
}

# Wrappers printing their own wall seconds on the last line, under /usr/bin/time -v.
timed() { local t0 t1; t0=$(date +%s%N); /usr/bin/time -v "$@" >/dev/null; t1=$(date +%s%N); echo "scale=6; ($t1 - $t0) / 1000000000" | bc; }
quillex_run() {  # quillex_run FILE: one quillex call on FILE (whichever way classification says)
    if [ "${QX_BENCH_TOOL:-0}" = 1 ]; then
        local op=encrypt
        head -c 2 "$1" | grep -q QX && op=decrypt
        timed "$build/qx_pipeline_tool" "$op" "$1" "$password" -n -w "$work/EXa00001"
    else
        (cd "$(dirname "$1")" && /usr/bin/time -v /usr/bin/python3 "$work/drive.py" "$password" "$build/quillex" -n "$(basename "$1")")
    fi
}

printf '%-7s %-22s %9s %9s %10s %10s\n' file step MB seconds "MB/s" "peak MiB"
row() { printf '%-7s %-22s %9.1f %9.3f %10.1f %10.1f\n' "$1" "$2" "$3" "$secs" "$(echo "$3 / $secs" | bc -l)" "$(echo "$rss_kb / 1024" | bc -l)"; }

for name in text binary; do
    src="$corpus/$name"
    mb=$(echo "$(stat -c %s "$src") / 1048576" | bc -l)
    f="$work/$name.dat"

    # quillex: encryption of the plain file, decryption of the encrypted one.
    enc_quillex() { cp "$src" "$f"; quillex_run "$f"; }
    measure enc_quillex; row "$name" "quillex encrypt" "$mb"; q_enc=$secs
    cp "$src" "$f"; quillex_run "$f" >/dev/null 2>&1; cp "$f" "$work/$name.qx"
    dec_quillex() { cp "$work/$name.qx" "$f"; quillex_run "$f"; }
    measure dec_quillex; row "$name" "quillex decrypt" "$mb"; q_dec=$secs
    cmp -s "$f" "$src" || { echo "quillex round trip differs for $name" >&2; exit 1; }

    # gpg with the same kind of compression step.
    gpg_enc() { rm -f "$work/$name.gpg"; timed gpg --homedir "$gpg_home" --batch --yes --pinentry-mode loopback \
        --passphrase "$password" --symmetric --compress-algo zlib -o "$work/$name.gpg" "$src"; }
    measure gpg_enc; row "$name" "gpg --symmetric zlib" "$mb"; g_enc=$secs
    gpg_dec() { timed gpg --homedir "$gpg_home" --batch --yes --pinentry-mode loopback --passphrase "$password" \
        -d -o "$work/$name.gpgout" "$work/$name.gpg"; }
    measure gpg_dec; row "$name" "gpg -d" "$mb"; g_dec=$secs

    # The codec alone: on the corpus file, and on the data the pipelines really hand
    # it (the enciphered plaintext, whose shuffled bytes compress less well and so
    # decode more slowly): the work file of one run, and the data region it yields.
    codec_c() { timed "$build/qxcodec" compress "$src" "$work/$name.qxc"; }
    measure codec_c; row "$name" "qxcodec compress file" "$mb"
    codec_d() { timed "$build/qxcodec" decompress "$work/$name.qxc" "$work/$name.qxd"; }
    measure codec_d; row "$name" "qxcodec decomp. file" "$mb"
    cp "$src" "$f"
    "$build/qx_pipeline_tool" encrypt "$f" "$password" -n -w "$work/$name.codec_in" >/dev/null
    /usr/bin/python3 -c 'import struct, sys
b = open(sys.argv[1], "rb").read(); o = struct.unpack("<I", b[4:8])[0]
open(sys.argv[2], "wb").write(b[8:o] + b[o + 8:])' "$f" "$work/$name.region"
    codec_ce() { timed "$build/qxcodec" compress "$work/$name.codec_in" "$work/$name.qxc"; }
    measure codec_ce; row "$name" "qxcodec compress enc." "$mb"; c_enc=$secs
    codec_de() { timed "$build/qxcodec" decompress "$work/$name.region" "$work/$name.qxd"; }
    measure codec_de; row "$name" "qxcodec decomp. enc." "$mb"; c_dec=$secs

    printf '%-7s ratios: encrypt gpg/quillex %.2f (target >= 0.5), decrypt gpg/quillex %.2f (target >= 1),\n' \
        "$name" "$(echo "$g_enc / $q_enc" | bc -l)" "$(echo "$g_dec / $q_dec" | bc -l)"
    printf '%-7s         quillex/codec on the enciphered data: encrypt %.2f, decrypt %.2f (target <= 1.25)\n' \
        "" "$(echo "$q_enc / $c_enc" | bc -l)" "$(echo "$q_dec / $c_dec" | bc -l)"
done
