# Cross build for 32-bit Windows with Debian's MinGW-w64 toolchain (g++-mingw-w64-i686-win32).
set(QX_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
