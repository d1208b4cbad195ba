#!/usr/bin/env bash
# The Debian package: scripts/package on this build tree (lintian without errors), its control
# data and contents, then the package unpacked with dpkg-deb -x into a temporary root: the
# examples build against it and the unpacked reader and writers run from there.
#
#   PackageTest.sh BUILD_DIR SOURCE_DIR        exit 0 passed, 77 skipped, else failed
set -euo pipefail
build=$1
source=$2
. "$source/tests/install/InstallTestLib.sh"

begin_test package "the unpacked reader"

"$source/scripts/package" --build-dir "$build" --output "$work/out" >"$work/package.log" 2>&1 ||
  fail "scripts/package: $(cat "$work/package.log")"
version=$(sed -nE 's/^project\(ReadPLIXTrace VERSION ([0-9.]+).*/\1/p' "$source/CMakeLists.txt")
deb=$work/out/readplixtrace_${version}-1_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "no package $deb: $(ls "$work/out")"

# Control data: version, dependencies computed from the libraries, shlibs and the ldconfig
# trigger for the two libraries.
[ "$(dpkg-deb -f "$deb" Version)" = "$version-1" ] || fail "package version"
depends=$(dpkg-deb -f "$deb" Depends)
for d in libc6 libstdc++6 libboost-log1.74.0; do
  grep -q "$d" <<<"$depends" || fail "Depends lacks $d: $depends"
done
dpkg-deb -e "$deb" "$work/control"
grep -qx 'libplixwriter 1 readplixtrace (>= '"$version"')' "$work/control/shlibs" || fail "shlibs"
grep -qx 'activate-noawait ldconfig' "$work/control/triggers" || fail "ldconfig trigger"

# Contents.
dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|' >"$work/contents"
for f in /usr/bin/ReadPLIXTrace /usr/bin/rthpart /usr/bin/plixwrite \
         /usr/lib/libplixwriter.so.1.0.0 /usr/lib/librth.so.1.0.0 /usr/lib/libplixwriter.so \
         /usr/include/plixtrace/plixwriter.h /usr/include/plixtrace/PlixWriter.hpp \
         /usr/lib/pkgconfig/plixwriter.pc /usr/lib/cmake/PlixTrace/PlixTraceConfig.cmake \
         /usr/share/man/man1/ReadPLIXTrace.1.gz /usr/share/man/man1/rthpart.1.gz \
         /usr/share/man/man1/plixwrite.1.gz /usr/share/doc/readplixtrace/copyright \
         /usr/share/doc/readplixtrace/changelog.Debian.gz \
         /usr/share/doc/readplixtrace/README.md.gz /usr/lib/tmpfiles.d/readplixtrace.conf; do
  grep -qx "$f" "$work/contents" || fail "$f not in the package"
done

# Unpacked: the trace log directory's boot entry, the license, then everything running.
root=$work/root
dpkg-deb -x "$deb" "$root"
grep -qE '^d /tmp/jub_logs 0750 root root' "$root/usr/lib/tmpfiles.d/readplixtrace.conf" ||
  fail "tmpfiles.d entry"
grep -q "Permission is hereby granted" "$root/usr/share/doc/readplixtrace/copyright" ||
  fail "copyright lacks the license"
zcat "$root/usr/share/doc/readplixtrace/changelog.Debian.gz" | head -n 1 |
  grep -q "^readplixtrace ($version-1)" || fail "changelog version"
[ "$("$root/usr/bin/plixwrite" --version)" = "plixwrite $version" ] || fail "plixwrite --version"
build_examples "$source" "$root/usr" "$work"
read_back "$root/usr/bin" "$work/c/write_records" "$work/cpp/write_records" "$work"
echo "package test passed"
