# Cross build for 64-bit Windows with Debian's MinGW-w64 toolchain (g++-mingw-w64-x86-64-win32).
set(QX_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
