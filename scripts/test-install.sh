#!/usr/bin/env bash
# The install and the package: cmake --install into a temporary prefix, the manual pages
# rendered by man without warnings and describing every option of their program's usage line,
# the .deb that cpack makes (its files, its fields, lintian without errors or warnings), and the
# Windows .zip when build-win32/ is there. Ends with "N passed, M failed".
set -uo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}
win_build_dir=${WIN_BUILD_DIR:-build-win32}
if ! scripts/install-deps.sh man-db groff-base dpkg-dev file lintian ||
  ! cmake -S . -B "$build_dir" >/dev/null ||
  ! cmake --build "$build_dir" -j2 --target quorvel-setup quorvel-sim quorvel-gzipped-docs \
    >/dev/null; then
  echo "test-install: could not install the packages it needs or build"
  echo "0 passed, 1 failed"
  exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0

# check NAME COMMAND...: one result line; the command's output shown when it fails.
check() {
  local name=$1
  shift
  if "$@" >"$work/out" 2>&1; then
    echo "PASS  $name"
    passed=$((passed + 1))
  else
    echo "FAIL  $name"
    sed 's/^/      /' "$work/out" | head -20
    failed=$((failed + 1))
  fi
}

# holds LISTING FILE...: every file is a line of the listing.
holds() {
  local listing=$1 f status=0
  shift
  for f in "$@"; do
    grep -qxF -- "$f" "$listing" || { echo "missing: $f" && status=1; }
  done
  return $status
}

# page_clean PAGE PROGRAM: man renders it without a warning, with a SYNOPSIS, and describes
# every option the program's usage line names.
page_clean() {
  local option usage status=0
  MANWIDTH=80 MANPAGER=cat man --warnings -l "$1" >"$work/page" 2>"$work/warnings" || status=1
  cat "$work/warnings"
  [ -s "$work/warnings" ] && status=1
  grep -q '^SYNOPSIS' "$work/page" || { echo "no SYNOPSIS" && status=1; }
  usage=$("$2" --x 2>&1 | grep '^usage:')
  [ -n "$usage" ] || { echo "no usage line" && status=1; }
  for option in $(grep -o -E '\[-{1,2}[a-z0-9]+' <<<"$usage" | tr -d '['); do
    grep -q -E "^ +${option}( |$)" "$work/page" || { echo "not described: $option" && status=1; }
  done
  return $status
}

deb_fields() {
  local field status=0
  for field in Package Version Architecture Maintainer Section Description; do
    [ -n "$(dpkg-deb -f "$1" "$field")" ] || { echo "no $field field" && status=1; }
  done
  [ "$(dpkg-deb -f "$1" Package)" = quorvel-setup ] || status=1
  [ "$(dpkg-deb -f "$1" Architecture)" = "$(dpkg --print-architecture)" ] || status=1
  return $status
}

lintian_clean() {
  lintian --info --tag-display-limit 0 "$1" >"$work/lintian" 2>&1
  local status=$?
  grep -v '^running with root privileges' "$work/lintian"
  [ "$status" -eq 0 ] && ! grep -q -E '^[EW]: ' "$work/lintian"
}

prefix=$work/prefix
pages=(share/man/man1/quorvel-setup.1.gz share/man/man1/quorvel-sim.1.gz)
check "cmake --install into a temporary prefix" cmake --install "$build_dir" --prefix "$prefix"
(cd "$prefix" && find . -type f -size +0 >"$work/installed")
check "both programs, both pages and the copyright installed" holds "$work/installed" \
  ./bin/quorvel-setup ./bin/quorvel-sim "${pages[@]/#/./}" ./share/doc/quorvel-setup/copyright
check "both programs executable" test -x "$prefix/bin/quorvel-setup" -a -x "$prefix/bin/quorvel-sim"
for program in quorvel-setup quorvel-sim; do
  check "man renders $program.1 cleanly and it describes every option of the usage line" \
    page_clean "$prefix/share/man/man1/$program.1.gz" "$prefix/bin/$program"
done
check "cpack -G DEB makes a package" bash -c "cd '$build_dir' && cpack -G DEB -B '$work/deb'"
deb=$(ls "$work"/deb/*.deb 2>/dev/null | head -1)
dpkg-deb -c "${deb:-none}" 2>/dev/null | awk '{print $6}' >"$work/listing"
check "the .deb holds both programs, both pages, its copyright and changelog" holds \
  "$work/listing" ./usr/bin/quorvel-setup ./usr/bin/quorvel-sim "${pages[@]/#/./usr/}" \
  ./usr/share/doc/quorvel-setup/copyright ./usr/share/doc/quorvel-setup/changelog.Debian.gz
check "the .deb names package, version, architecture, maintainer, section, description" \
  deb_fields "${deb:-none}"
check "lintian finds no error and no warning in the .deb" lintian_clean "${deb:-none}"
if [ -f "$win_build_dir/CPackConfig.cmake" ]; then
  check "cpack makes the Windows .zip" \
    bash -c "cd '$win_build_dir' && cmake --build . -j2 --target quorvel-setup quorvel-manual-txt >/dev/null && cpack -B '$work/zip'"
  zip=$(ls "$work"/zip/*.zip 2>/dev/null | head -1)
  cmake -E tar tf "${zip:-none}" 2>/dev/null | sed 's|.*/||' >"$work/zip-listing"
  check "the .zip holds quorvel-setup.exe and quorvel-setup.txt" holds "$work/zip-listing" \
    quorvel-setup.exe quorvel-setup.txt
else
  echo "SKIP  the Windows .zip: no $win_build_dir/"
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
