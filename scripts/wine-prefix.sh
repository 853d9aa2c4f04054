# Sourced by scripts/install-win32-deps.sh, scripts/test-win32.sh and scripts/bench.sh.
#
# windows_test_build: which Windows build the tests run under Wine on this machine. The shipped
# program is 32-bit, and 32-bit Wine needs a kernel that runs 32-bit x86 programs, which some do
# not ("32-bit emulation disabled"); there a 64-bit build of the same sources runs under 64-bit
# Wine. The kernel is asked by running a 32-bit program, not by reading its configuration;
# QUORVEL_NO_32BIT=1 makes the answer no (to try the 64-bit path anywhere). Sets win_bits (32 or
# 64), win_dir (its build directory), win_toolchain (its CMake toolchain file), win_loader (the
# Wine loader of that word size, to start programs with) and win_why (one sentence).
windows_test_build() {
  local probe status said
  # In the checkout, not in /tmp, which may be mounted noexec.
  probe=$(mktemp ./.probe-32bit.XXXXXX)
  # A 96-byte i386 ELF program whose only instructions are exit(42).
  printf '\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' >"$probe"
  chmod +x "$probe"
  status=0
  said=$("$probe" 2>&1) || status=$?
  rm -f "$probe"
  [ -n "$said" ] || said="status $status"
  if [ "${QUORVEL_NO_32BIT:-}" = 1 ]; then
    status=0
    win_why="QUORVEL_NO_32BIT=1 says this machine runs no 32-bit programs"
  elif [ "$status" -eq 42 ]; then
    win_why="this kernel runs 32-bit x86 programs"
  else
    win_why="this kernel runs no 32-bit x86 programs (a 32-bit test program: ${said##*: })"
  fi
  if [ "$status" -eq 42 ]; then
    win_bits=32 win_dir=build-win32 win_toolchain=cmake/toolchain-mingw32.cmake
    win_loader=/usr/lib/wine/wine
  else
    win_bits=64 win_dir=build-win64 win_toolchain=cmake/toolchain-mingw64.cmake
    win_loader=/usr/lib/wine/wine64
  fi
  # win_loader is the loader itself, not the wine script: a time library preloaded into the
  # script's 64-bit shell shares its state with the 32-bit loader in a layout of another word
  # size, and both hang.
}

# wine_prefix_start DIR: a Wine prefix of the caller's own in DIR, without a display, kept up by
# a persistent wineserver (quicker between runs, and no device scan re-creates COM links behind
# the caller's back). wine_prefix_stop ends it. Returns nonzero, with wineboot's log shown, when
# the prefix cannot be made.
wine_prefix_start() {
  export WINEPREFIX=$1 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  unset DISPLAY WAYLAND_DISPLAY
  mkdir -p "$WINEPREFIX"
  wineserver -p </dev/null >/dev/null 2>&1
  if ! timeout 300 wineboot -i </dev/null >"$WINEPREFIX.boot.log" 2>&1; then
    cat "$WINEPREFIX.boot.log"
    echo "could not set up a Wine prefix"
    return 1
  fi
}

wine_prefix_stop() {
  if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
    wineserver -k >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
  fi
}
