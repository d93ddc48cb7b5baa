# Sourced by run.sh and test.sh: makes sure the Debian packages a step needs are installed.
# As root it installs what is missing; otherwise it names the packages and stops.

qx_missing_packages() {
    local pkg missing=()
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
    done
    echo "${missing[@]:-}"
}

qx_need_packages() {
    local missing
    missing=$(qx_missing_packages "$@")
    [ -z "$missing" ] && return 0
    if [ "$(id -u)" -eq 0 ]; then
        echo "installing Debian packages: $missing" >&2
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq >&2 || true
        # shellcheck disable=SC2086
        apt-get install -y -qq --no-install-recommends $missing >&2 || {
            echo "error: could not install: $missing" >&2
            return 1
        }
    else
        echo "error: missing Debian packages; install them with:" >&2
        echo "  sudo apt-get install $missing" >&2
        return 1
    fi
}

# Packages that building the program needs.
QX_BUILD_PACKAGES=(cmake ninja-build g++)
# Packages that the test suite needs on top.
QX_TEST_PACKAGES=(clang libclang-rt-14-dev libgtest-dev python3 python3-pyte python3-pytest faketime)
# Packages that the Windows cross builds and the Wine suite need (scripts/windows.sh).
QX_WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-win32 g++-mingw-w64-i686-win32 wine64 wine tmux python3 python3-pytest)
# Packages that building and checking the Debian package need (scripts/package.sh):
# dpkg-shlibdeps (dpkg-dev, with strip), file (cpack finds the programs with it), man.
QX_PACKAGE_PACKAGES=(dpkg-dev file man-db)
