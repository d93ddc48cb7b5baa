#!/usr/bin/env bash
# Cross-builds quillex.exe for 64-bit and 32-bit Windows with MinGW-w64 (static, no DLL
# beyond the system's own) and runs the Wine suite on the 64-bit build in tmux.
#
#   scripts/windows.sh           both builds, then the Wine suite
#   scripts/windows.sh build     both builds only
#   QX_QUILLEX=path              the Linux build for the cross-decryption test
#                                (default build/quillex; the test is skipped without one)
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"
# shellcheck source=scripts/deps.sh
source scripts/deps.sh
qx_need_packages "${QX_BUILD_PACKAGES[@]}" "${QX_WINDOWS_PACKAGES[@]}"

jobs=$(nproc 2>/dev/null || echo 2)
for target in x86_64:build-win64 i686:build-win32; do
    arch=${target%%:*} dir=${target#*:}
    echo "--- quillex.exe for $arch-w64-mingw32 in $dir"
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-$arch.cmake" >/dev/null
    cmake --build "$dir" -j "$jobs"
    # Only system DLLs may be imported: the C++ runtime is linked in.
    imports=$("$arch-w64-mingw32-objdump" -p "$dir/quillex.exe" | sed -n 's/^\s*DLL Name: //p' | sort -u)
    for dll in $imports; do
        case "${dll,,}" in
            kernel32.dll|msvcrt.dll|user32.dll|advapi32.dll) ;;
            *) echo "error: $dir/quillex.exe needs $dll" >&2; exit 1 ;;
        esac
    done
done
[ "${1:-}" = build ] && exit 0

echo "--- Wine suite (build-win64/quillex.exe)"
native=${QX_QUILLEX:-$top/build/quillex}
[ -x "$native" ] || echo "note: no Linux build at $native; the cross-decryption test is skipped" >&2
QX_WIN_QUILLEX="$top/build-win64/quillex.exe" QX_QUILLEX="$native" PYTHONDONTWRITEBYTECODE=1 \
    /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/wine
