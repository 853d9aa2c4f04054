#!/usr/bin/env bash
# Checks what a technician gets: `cmake --install` into a temporary prefix puts both programs
# and both manual pages in place, the pages render without a single groff warning, and the
# .deb made by cpack holds the same files with its copyright and changelog and passes lintian
# without an error or a warning. When a Windows build is there (build-win32/), its .zip is
# checked too.
#
# Usage: scripts/test-install.sh            (as root, or with sudo, when packages are missing)
#   BUILD_DIR=dir   the build tree to use (default: build)
# Prints one line per check and ends with "N passed, M failed"; exits 1 when any failed.
set -uo pipefail
cd "$(dirname "$0")/.."

build_dir=${BUILD_DIR:-build}
win_build_dir=${WIN_BUILD_DIR:-build-win32}

# man (man-db) and its groff, dpkg-shlibdeps (dpkg-dev) and file for cpack's DEB generator,
# lintian for the package.
scripts/install-deps.sh man-db groff-base dpkg-dev file lintian || {
  echo "test-install: could not install the packages it needs"
  echo "0 passed, 1 failed"
  exit 1
}

# Configure every time: a tree configured before the install rules existed would lack them.
if ! cmake -S . -B "$build_dir" >/dev/null ||
  ! cmake --build "$build_dir" -j"$(nproc)" --target quorvel-setup quorvel-sim quorvel-gzipped-docs \
    >/dev/null; then
  echo "test-install: build failed"
  echo "0 passed, 1 failed"
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

passed=0
failed=0
# check NAME COMMAND...: runs the command, its output kept in $work/out for the report.
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

files_present() {
  local root=$1 f status=0
  for f in bin/quorvel-setup bin/quorvel-sim share/man/man1/quorvel-setup.1.gz \
    share/man/man1/quorvel-sim.1.gz share/doc/quorvel-setup/copyright; do
    if [ ! -s "$root/$f" ]; then
      echo "missing: $f"
      status=1
    fi
  done
  for f in bin/quorvel-setup bin/quorvel-sim; do
    if [ -e "$root/$f" ] && [ ! -x "$root/$f" ]; then
      echo "not executable: $f"
      status=1
    fi
  done
  return $status
}

# The page must render with nothing at all on stderr: groff's warnings (-ww) and man's own.
renders_clean() {
  local page=$1 status=0
  MANWIDTH=80 MANPAGER=cat PAGER=cat man --warnings -l "$page" >"$work/rendered" \
    2>"$work/warnings" || status=$?
  if [ "$status" -ne 0 ] || [ -s "$work/warnings" ]; then
    echo "man exited with $status"
    cat "$work/warnings"
    return 1
  fi
  grep -q '^SYNOPSIS' "$work/rendered" || {
    echo "no SYNOPSIS in the rendered page"
    return 1
  }
}

# Every option the program's usage line names is described in its page, so a new option cannot
# ship undocumented.
page_covers_usage() {
  local page=$1 usage=$2 option status=0
  MANWIDTH=80 MANPAGER=cat man -l "$page" 2>/dev/null >"$work/rendered"
  for option in $(grep -o -E '\[-{1,2}[a-z0-9]+' <<<"$usage" | tr -d '['); do
    if ! grep -q -E "^ +${option}( |$)" "$work/rendered"; then
      echo "usage names $option; the page does not describe it"
      status=1
    fi
  done
  [ -n "$usage" ] || {
    echo "no usage line"
    status=1
  }
  return $status
}

deb_holds() {
  local deb=$1 f status=0
  dpkg-deb -c "$deb" >"$work/listing" || return 1
  for f in ./usr/bin/quorvel-setup ./usr/bin/quorvel-sim ./usr/share/man/man1/quorvel-setup.1.gz \
    ./usr/share/man/man1/quorvel-sim.1.gz ./usr/share/doc/quorvel-setup/copyright \
    ./usr/share/doc/quorvel-setup/changelog.Debian.gz; do
    if ! awk '{print $6}' "$work/listing" | grep -qx "$f"; then
      echo "not in the package: $f"
      status=1
    fi
  done
  [ $status -eq 0 ] || cat "$work/listing"
  return $status
}

deb_fields() {
  local deb=$1 field status=0
  for field in Package Version Architecture Maintainer Section Description; do
    if [ -z "$(dpkg-deb -f "$deb" "$field")" ]; then
      echo "no $field field"
      status=1
    fi
  done
  [ "$(dpkg-deb -f "$deb" Package)" = quorvel-setup ] || {
    echo "package name: $(dpkg-deb -f "$deb" Package)"
    status=1
  }
  if [ "$(dpkg --print-architecture)" = amd64 ] &&
    [ "$(dpkg-deb -f "$deb" Architecture)" != amd64 ]; then
    echo "architecture: $(dpkg-deb -f "$deb" Architecture)"
    status=1
  fi
  return $status
}

# Errors and warnings fail; what lintian only mentions (I:) is shown, not judged.
lintian_clean() {
  local deb=$1 status=0
  lintian --info --tag-display-limit 0 "$deb" >"$work/lintian" 2>&1 || status=$?
  grep -v '^running with root privileges' "$work/lintian"
  if [ "$status" -ne 0 ] || grep -q -E '^[EW]: ' "$work/lintian"; then
    echo "lintian exited with $status"
    return 1
  fi
}

zip_holds() {
  local zip=$1 f status=0
  cmake -E tar tf "$zip" >"$work/listing" || return 1
  for f in quorvel-setup.exe quorvel-setup.txt; do
    grep -q -E "(^|/)$f\$" "$work/listing" || {
      echo "not in the zip: $f"
      status=1
    }
  done
  [ $status -eq 0 ] || cat "$work/listing"
  return $status
}

prefix=$work/prefix
check "cmake --install into a temporary prefix" cmake --install "$build_dir" --prefix "$prefix"
check "bin/ and share/man/man1/ hold both programs and both pages" files_present "$prefix"
for page in quorvel-setup quorvel-sim; do
  check "man --warnings -l $page.1.gz renders without warnings" \
    renders_clean "$prefix/share/man/man1/$page.1.gz"
done
setup_usage=$("$prefix/bin/quorvel-setup" -x 2>&1 | grep '^usage:')
sim_usage=$("$prefix/bin/quorvel-sim" --x 2>&1 | grep '^usage:')
check "quorvel-setup.1 describes every option of the usage line" \
  page_covers_usage "$prefix/share/man/man1/quorvel-setup.1.gz" "$setup_usage"
check "quorvel-sim.1 describes every option of the usage line" \
  page_covers_usage "$prefix/share/man/man1/quorvel-sim.1.gz" "$sim_usage"

check "cpack -G DEB makes a package" \
  bash -c "cd '$build_dir' && cpack -G DEB -B '$work/deb'"
deb=$(ls "$work"/deb/*.deb 2>/dev/null | head -1)
check "the .deb holds both programs, both pages, its copyright and changelog" \
  deb_holds "${deb:-none}"
check "the .deb names package, version, architecture, maintainer, section, description" \
  deb_fields "${deb:-none}"
check "lintian finds no error and no warning in the .deb" lintian_clean "${deb:-none}"

if [ -f "$win_build_dir/CPackConfig.cmake" ]; then
  check "cpack makes the Windows .zip" \
    bash -c "cd '$win_build_dir' && cmake --build . >/dev/null && cpack -B '$work/zip'"
  zip=$(ls "$work"/zip/*.zip 2>/dev/null | head -1)
  check "the .zip holds quorvel-setup.exe and quorvel-setup.txt" zip_holds "${zip:-none}"
else
  echo "SKIP  the Windows .zip: no $win_build_dir/ (cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw32.cmake)"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
