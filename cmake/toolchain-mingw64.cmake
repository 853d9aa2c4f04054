# Cross-builds the same sources as a 64-bit Windows console program (x86_64-w64-mingw32), for
# running the Windows tests under 64-bit Wine where the machine runs no 32-bit programs. It is
# not shipped.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QUORVEL_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
