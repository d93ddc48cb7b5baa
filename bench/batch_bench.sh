#!/usr/bin/env bash
# Batch benchmark: encrypts and decrypts a folder of about fifty files of mixed
# kinds (texts, executables, zip archives, a few tiny files; 0.3 to 3 MB each) in
# one quillex run per direction, `quillex -e DIR/*` and `quillex -d DIR/*`, with
# QX_JOBS=1 (one file at a time) and with the default number of worker threads
# (QX_JOBS unset), side by side with gpg --symmetric (zlib) / gpg -d called on the
# same files one after another. The steps take turns in each of several runs,
# each on a fresh copy of the folder (copied untimed). Prints wall and CPU time
# (medians), MB/s, and ratios as medians of the ratios within each run.
# Usage: bench/batch_bench.sh [runs]   (default 3)
#
# The corpus is cut from files found on a Debian machine (documentation, manual
# pages, headers, /usr/bin) with a fixed seed, so that runs on one machine meet
# the same bytes. The folders live under ${TMPDIR:-/tmp} (TMPDIR=/dev/shm keeps
# them in memory, so that quillex's flushes to the disk cost nothing).
set -euo pipefail
runs=${1:-3}
[[ "$runs" =~ ^[1-9][0-9]*$ ]] || { echo "usage: $0 [runs]" >&2; exit 1; }
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$top/build-batch-bench"
password="bench pass 1"

need() {  # need COMMAND PACKAGE
    command -v "$1" >/dev/null && return
    if [ "$(id -u)" = 0 ]; then apt-get install -y -qq "$2" >/dev/null; else echo "please install $2" >&2; exit 1; fi
}
need gpg gnupg
need python3 python3

cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target quillex >/dev/null
quillex="$build/quillex"

work=$(mktemp -d "${TMPDIR:-/tmp}/qxbatch.XXXXXX")
gpg_home="$work/gnupg"
cleanup() {
    # the agent that gpg started for this run's home folder, then the folders
    [ -d "$gpg_home" ] && gpgconf --homedir "$gpg_home" --kill gpg-agent >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -m 700 "$gpg_home"

# The corpus: 24 texts, 12 executables, 4 zip archives, 10 files under 200 bytes.
python3 - "$work/corpus" <<'PY'
import gzip, io, os, random, sys, zipfile
out = sys.argv[1]
os.makedirs(out)
r = random.Random(20261208)

def walk(roots, keep, limit):
    """The files below ROOTS that KEEP accepts, in name order, joined up to LIMIT bytes."""
    parts, total = [], 0
    for root in roots:
        for folder, dirs, files in os.walk(root):
            dirs.sort()
            for name in sorted(files):
                path = os.path.join(folder, name)
                if os.path.islink(path) or not keep(name):
                    continue
                try:
                    data = gzip.open(path).read() if name.endswith(".gz") else open(path, "rb").read()
                except (OSError, EOFError):
                    continue
                parts.append(data)
                total += len(data)
                if total >= limit:
                    return b"".join(parts)[:limit]
    return b"".join(parts)

docs = walk(["/usr/share/doc", "/usr/share/man"],
            lambda n: n.endswith((".gz", ".txt")) or n == "copyright" or n.startswith("README"), 24 << 20)
headers = walk(["/usr/include"], lambda n: n.endswith((".h", ".hpp", ".tcc")), 24 << 20)
programs = []
for name in sorted(os.listdir("/usr/bin")):
    path = os.path.join("/usr/bin", name)
    if os.path.isfile(path) and not os.path.islink(path) and os.path.getsize(path) >= 300_000:
        with open(path, "rb") as f:
            if f.read(4) == b"\x7fELF":
                programs.append(path)
if len(docs) < 4_000_000 or len(headers) < 4_000_000 or not programs:
    sys.exit("too little text or no executables on this machine for the corpus")

def size():
    return int(300_000 + r.random() * 2_700_000)

def cut(pool, n):
    n = min(n, len(pool))
    start = int(r.random() * (len(pool) - n + 1))
    return pool[start:start + n]

def program(n):
    with open(programs[int(r.random() * len(programs))], "rb") as f:
        return cut(f.read(), n)

def write(name, data):
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)

for i in range(12):
    write(f"doc{i:02}.txt", cut(docs, size()))
    write(f"hdr{i:02}.h", cut(headers, size()))
for i in range(12):
    write(f"prog{i:02}", program(size()))
for i in range(4):
    target, buf = size(), io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
        k = 0
        while buf.tell() < target:
            kind = r.random()
            data = cut(docs if kind < 0.4 else headers, 200_000) if kind < 0.8 else program(200_000)
            info = zipfile.ZipInfo(f"part{k:03}.dat", date_time=(2020, 1, 1, 0, 0, 0))
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, data)
            k += 1
    write(f"pack{i:02}.zip", buf.getvalue())
for i in range(10):
    n = 10 + int(r.random() * 189)
    write(f"tiny{i:02}", program(n) if i % 3 == 2 else cut(docs, n))
PY

corpus="$work/corpus"
files=("$corpus"/*)
count=${#files[@]}
bytes=$(cat "${files[@]}" | wc -c)
mb=$(awk -v b="$bytes" 'BEGIN { print b / 1048576 }')

# timed STEP CMD...: runs CMD once (its output to $work/out, its errors to
# $work/err), appending its wall seconds to $work/STEP.t and its CPU seconds (user
# and system, of all its processes) to $work/STEP.cpu. Returns CMD's status.
timed() {
    local step=$1 status=0 wall user sys
    shift
    sync   # writes still pending from the step before are not this step's
    local TIMEFORMAT='%3R %3U %3S'
    { time "$@" > "$work/out" 2> "$work/err" || status=$?; } 2> "$work/time"
    read -r wall user sys < "$work/time"
    echo "$wall" >> "$work/$step.t"
    awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }' >> "$work/$step.cpu"
    return "$status"
}

# quillex_over -e|-d DIR [QX_JOBS value]: one quillex run over every file of DIR,
# the password on standard input, from $work (where its work file goes).
quillex_over() (
    cd "$work"
    if [ -n "${3:-}" ]; then
        printf '%s\n' "$password" | QX_JOBS=$3 "$quillex" "$1" -n "$2"/*
    else
        printf '%s\n' "$password" | env -u QX_JOBS "$quillex" "$1" -n "$2"/*
    fi
)
# quillex_step STEP -e|-d DIR [QX_JOBS value]: times quillex_over; stops the
# benchmark unless the run ends with status 0 and counts every file.
quillex_step() {
    local step=$1 word=encrypted
    shift
    [ "$1" = -d ] && word=decrypted
    if ! timed "$step" quillex_over "$@" || ! grep -q "^$word: $count files" "$work/out"; then
        echo "quillex $1 over $2 (QX_JOBS=${3:-unset}) failed:" >&2
        tail -n 20 "$work/out" "$work/err" >&2
        exit 1
    fi
}

gpg_args=(--homedir "$gpg_home" --batch --yes --quiet --pinentry-mode loopback --passphrase "$password")
gpg_enc_all() {  # gpg_enc_all DIR: DIR/NAME.gpg of each corpus file
    local f
    for f in "${files[@]}"; do
        gpg "${gpg_args[@]}" --symmetric --compress-algo zlib -o "$1/${f##*/}.gpg" "$f" || return
    done
}
gpg_dec_all() {  # gpg_dec_all DIR: DIR/NAME back from each DIR/NAME.gpg
    local f
    for f in "${files[@]}"; do
        gpg "${gpg_args[@]}" -d -o "$1/${f##*/}" "$1/${f##*/}.gpg" || return
    done
}
gpg_step() {  # gpg_step STEP enc|dec DIR
    if ! timed "$1" "gpg_$2_all" "$3"; then
        echo "gpg $2 over $3 failed:" >&2
        tail -n 20 "$work/err" >&2
        exit 1
    fi
}

same() {  # same DIR WHAT: DIR holds the corpus files as they were
    local f
    for f in "${files[@]}"; do
        cmp -s "$f" "$1/${f##*/}" || { echo "$2: ${f##*/} differs after decryption" >&2; exit 1; }
    done
}

# gpg's agent starts on the first call: once here, untimed.
mkdir "$work/warm"
gpg "${gpg_args[@]}" --symmetric --compress-algo zlib -o "$work/warm/x.gpg" "${files[0]}"

# Every step runs once per round, in turn, so that a machine whose speed drifts
# during the benchmark weighs on all of them alike.
for round in $(seq "$runs"); do
    echo "run $round of $runs ..." >&2
    rm -rf "$work/one" "$work/all" "$work/gpg"
    cp -r "$corpus" "$work/one"
    cp -r "$corpus" "$work/all"
    mkdir "$work/gpg"

    quillex_step one_enc -e "$work/one" 1
    quillex_step all_enc -e "$work/all"
    gpg_step gpg_enc enc "$work/gpg"
    quillex_step one_dec -d "$work/one" 1
    quillex_step all_dec -d "$work/all"
    gpg_step gpg_dec dec "$work/gpg"
    if [ "$round" = 1 ]; then
        same "$work/one" "quillex QX_JOBS=1"
        same "$work/all" "quillex"
        same "$work/gpg" "gpg"
    fi
done

# median FILE: the median of the numbers in FILE, one per line.
median() { sort -n "$1" | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }
# ratio A B: the median over the runs of step A's wall time over step B's.
ratio() { paste "$work/$1.t" "$work/$2.t" | awk '{ print $1 / $2 }' > "$work/ratios"; median "$work/ratios"; }

jobs_default=$(nproc)
printf '%d files, %.1f MB, %d run(s), %s processors; folders under %s\n\n' \
    "$count" "$mb" "$runs" "$jobs_default" "${TMPDIR:-/tmp}"
printf '%-28s %9s %9s %9s\n' step "wall s" "MB/s" "CPU s"
row() {  # row STEP LABEL
    local secs
    secs=$(median "$work/$1.t")
    printf '%-28s %9.3f %9.1f %9.3f\n' "$2" "$secs" "$(awk -v m="$mb" -v s="$secs" 'BEGIN { print m / s }')" \
        "$(median "$work/$1.cpu")"
}
row one_enc "quillex -e, QX_JOBS=1"
row all_enc "quillex -e, default"
row gpg_enc "gpg --symmetric zlib, loop"
row one_dec "quillex -d, QX_JOBS=1"
row all_dec "quillex -d, default"
row gpg_dec "gpg -d, loop"
echo
printf 'wall default / QX_JOBS=1:        encrypt %.3f, decrypt %.3f (target <= 0.6)\n' \
    "$(ratio all_enc one_enc)" "$(ratio all_dec one_dec)"
# throughput over throughput on the same bytes: gpg's time over quillex's
printf 'throughput quillex default/gpg: encrypt %.3f (target >= 1.0), decrypt %.3f (target >= 0.9)\n' \
    "$(ratio gpg_enc all_enc)" "$(ratio gpg_dec all_dec)"
