#!/usr/bin/env bash
# Builds Quillex and runs every test: the unit and end-to-end suites, the same suites
# again under AddressSanitizer and UndefinedBehaviorSanitizer, then each fuzz target
# for a bounded time.
#
# Last, both Windows builds and the Wine suite (scripts/windows.sh).
#
#   QX_QUICK=1            only the plain build and its suites
#   QX_WINDOWS_ONLY=1     only the Windows builds and the Wine suite
#   QX_FUZZ_SECONDS=N     time per fuzz target (default 60)
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
cd "$top"
# shellcheck source=scripts/deps.sh
source scripts/deps.sh
if [ "${QX_WINDOWS_ONLY:-0}" = 1 ]; then
    exec scripts/windows.sh
fi
qx_need_packages "${QX_BUILD_PACKAGES[@]}" "${QX_TEST_PACKAGES[@]}" "${QX_PACKAGE_PACKAGES[@]}"

jobs=$(nproc 2>/dev/null || echo 2)
step() { printf '\n=== %s ===\n' "$*"; }

suite() {  # suite BUILD_DIR CMAKE_ARGS...
    local dir=$1; shift
    cmake -S . -B "$dir" -G Ninja -DQX_TESTS=ON "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

step "build and test (release)"
suite build -DCMAKE_BUILD_TYPE=Release

[ "${QX_QUICK:-0}" = 1 ] && exit 0

step "build and test (AddressSanitizer + UndefinedBehaviorSanitizer)"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    suite build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQX_SANITIZE=ON

step "fuzz targets"
scripts/fuzz.sh "${QX_FUZZ_SECONDS:-60}"

step "Windows builds (x86_64, i686) and the Wine suite"
QX_QUILLEX="$top/build/quillex" scripts/windows.sh
