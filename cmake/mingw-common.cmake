# Shared part of the MinGW-w64 toolchain files: a static Windows console program.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${QX_MINGW_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${QX_MINGW_TRIPLET}-g++)
set(CMAKE_RC_COMPILER ${QX_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QX_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No DLL beyond the system's own: the C++ runtime and libgcc go into the program.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# The program is built, not the unit tests (GoogleTest is a host library here).
set(QX_TESTS OFF CACHE BOOL "Build the unit and end-to-end tests" FORCE)
