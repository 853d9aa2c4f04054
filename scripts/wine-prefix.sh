# Sourced by scripts/test-win32.sh and scripts/bench.sh: a Wine prefix of the caller's own in
# directory $1, without a display, kept up by a persistent wineserver (quicker between runs, and
# no device scan re-creates COM links behind the caller's back). wine_prefix_stop ends it.
# Returns nonzero, with wineboot's log shown, when the prefix cannot be made.
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
