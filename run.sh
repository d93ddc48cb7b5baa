#!/usr/bin/env bash
# Builds build/quillex when needed and runs it with the given arguments in the caller's directory.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=scripts/deps.sh
source "$top/scripts/deps.sh"
qx_need_packages "${QX_BUILD_PACKAGES[@]}"

build="$top/build"
log="$build/run-build.log"
mkdir -p "$build"
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQX_TESTS=OFF >"$log" 2>&1 \
        || { cat "$log" >&2; exit 1; }
fi
cmake --build "$build" --target quillex >"$log" 2>&1 || { cat "$log" >&2; exit 1; }
exec "$build/quillex" "$@"
