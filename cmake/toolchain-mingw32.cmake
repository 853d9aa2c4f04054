# Cross-builds the shipped 32-bit Windows console program with MinGW-w64 (i686-w64-mingw32).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(QUORVEL_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
