#!/usr/bin/env bash
# Builds the Debian package (cpack -G DEB) in the release build folder and checks it:
# its control fields and contents, its manual page as man renders it, and the
# unpacked program run once.
#
#   QX_PACKAGE_BUILD=DIR   build folder (default build; configured without tests when new)
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"
# shellcheck source=scripts/deps.sh
source scripts/deps.sh
qx_need_packages "${QX_BUILD_PACKAGES[@]}" "${QX_PACKAGE_PACKAGES[@]}"

build=${QX_PACKAGE_BUILD:-$top/build}
checks=0
step() { printf '\n=== %s ===\n' "$*"; }
fail() { echo "package: FAILED: $*" >&2; exit 1; }
pass() { checks=$((checks + 1)); echo "ok: $*"; }

step "Debian package"
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQX_TESTS=OFF >/dev/null
else
    cmake "$build" >/dev/null
fi
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)"
rm -f "$build"/quillex_*.deb
(cd "$build" && cpack -G DEB)

arch=$(dpkg --print-architecture)
deb=$(ls "$build"/quillex_*_"$arch".deb 2>/dev/null || true)
[ -n "$deb" ] && [ "$(echo "$deb" | wc -l)" = 1 ] || fail "no single quillex_<version>_$arch.deb in $build"
pass "built $(basename "$deb")"

dpkg-deb -I "$deb"
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = quillex ] || fail "Package is '$(field Package)'"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is '$(field Architecture)'"
[[ "$(field Maintainer)" == *@* ]] || fail "Maintainer is '$(field Maintainer)'"
[[ "$(field Depends)" == *libc6* ]] || fail "Depends is '$(field Depends)' (dpkg-shlibdeps not run?)"
[ "$(basename "$deb")" = "quillex_$(field Version)_$arch.deb" ] || fail "file name does not match Version $(field Version)"
pass "control fields"

dpkg-deb -c "$deb"
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
expected=$(printf '%s\n' ./usr/bin/quillex ./usr/share/man/man1/quillex.1.gz)
[ "$files" = "$expected" ] || fail "contents are: $files"
pass "contents"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
dpkg-deb -x "$deb" "$scratch/root"
mkdir "$scratch/work"

gzip -dc "$scratch/root/usr/share/man/man1/quillex.1.gz" | cmp -s - man/quillex.1 \
    || fail "the packaged manual page is not man/quillex.1"
MANWIDTH=80 man --warnings -l "$scratch/root/usr/share/man/man1/quillex.1.gz" >"$scratch/man.txt" 2>"$scratch/man.err" \
    || fail "man -l failed: $(cat "$scratch/man.err")"
[ ! -s "$scratch/man.err" ] || fail "man -l warns: $(cat "$scratch/man.err")"
grep -q '^EXIT STATUS' "$scratch/man.txt" || fail "the rendered manual page has no EXIT STATUS section"
pass "manual page renders without warnings"

# No arguments: the banner and the syntax text, exit status 1. Started in a session of its
# own, without a controlling terminal, so that its closing key wait returns at once.
status=0
(cd "$scratch/work" && setsid -w "$scratch/root/usr/bin/quillex" </dev/null >"$scratch/run.txt" 2>&1) || status=$?
cat "$scratch/run.txt"
[ "$status" = 1 ] || fail "the unpacked quillex exited with $status, not 1"
grep -q '^Quillex version 2\.1$' "$scratch/run.txt" || fail "the unpacked quillex showed no banner"
grep -q '^syntax: ' "$scratch/run.txt" || fail "the unpacked quillex showed no syntax text"
[ -z "$(ls -A "$scratch/work")" ] || fail "the unpacked quillex left files behind: $(ls -A "$scratch/work")"
[ "$(setsid -w "$scratch/root/usr/bin/quillex" --version </dev/null)" = "Quillex version 2.1" ] ||
    fail "the unpacked quillex --version did not print its name and version"
pass "the unpacked program runs"

echo
echo "package: $checks passed, 0 failed"
