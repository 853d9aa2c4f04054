# The MinGW-w64 cross build common to both Windows toolchains; the including file sets
# CMAKE_SYSTEM_PROCESSOR and QUORVEL_MINGW_PREFIX. The C++ runtime, libgcc and winpthread are
# linked in statically, so the .exe needs nothing but the DLLs that come with Windows.
set(CMAKE_SYSTEM_NAME Windows)

# Debian ships the compiler in two thread models; take the POSIX one when present (it is the
# one std::thread would need) and fall back to the plain name.
find_program(QUORVEL_MINGW_CXX NAMES ${QUORVEL_MINGW_PREFIX}-g++-posix ${QUORVEL_MINGW_PREFIX}-g++)
find_program(QUORVEL_MINGW_CC NAMES ${QUORVEL_MINGW_PREFIX}-gcc-posix ${QUORVEL_MINGW_PREFIX}-gcc)
if(NOT QUORVEL_MINGW_CXX)
  message(FATAL_ERROR "${QUORVEL_MINGW_PREFIX}-g++ not found; run scripts/install-win32-deps.sh")
endif()
set(CMAKE_CXX_COMPILER ${QUORVEL_MINGW_CXX})
if(QUORVEL_MINGW_CC)
  set(CMAKE_C_COMPILER ${QUORVEL_MINGW_CC})
endif()
find_program(CMAKE_RC_COMPILER NAMES ${QUORVEL_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QUORVEL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
