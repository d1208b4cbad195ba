#!/usr/bin/env bash
# The installed tree: cmake --install into a staging prefix; its layout, versions, run paths
# and exports; both examples built against it (pkg-config, find_package) and their records
# read back through the installed reader; then all of it again after the tree has moved.
#
#   InstallTest.sh BUILD_DIR SOURCE_DIR        exit 0 passed, 77 skipped, else failed
set -euo pipefail
build=$1
source=$2
. "$source/tests/install/InstallTestLib.sh"

begin_test install "the installed reader"

prefix=$work/stage/usr
cmake --install "$build" --prefix "$prefix" >/dev/null || fail "cmake --install"

# Layout and identity.
for f in bin/ReadPLIXTrace bin/rthpart bin/plixwrite lib/libplixwriter.so.1 lib/librth.so.1 \
         include/plixtrace/plixwriter.h include/plixtrace/PlixWriter.hpp \
         include/plixtrace/rth/RthLib.h lib/pkgconfig/plixwriter.pc \
         lib/cmake/PlixTrace/PlixTraceConfig.cmake share/man/man1/ReadPLIXTrace.1.gz \
         share/man/man1/rthpart.1.gz share/man/man1/plixwrite.1.gz; do
  [ -e "$prefix/$f" ] || fail "$f not installed"
done
version=$(sed -nE 's/^project\(ReadPLIXTrace VERSION ([0-9.]+).*/\1/p' "$source/CMakeLists.txt")
[ "$("$prefix/bin/rthpart" --version)" = "rthpart $version" ] || fail "rthpart --version"
[ "$("$prefix/bin/plixwrite" --version)" = "plixwrite $version" ] || fail "plixwrite --version"
readelf -d "$prefix/lib/libplixwriter.so.1" | grep -q 'SONAME.*\[libplixwriter\.so\.1\]' ||
  fail "libplixwriter SONAME"
readelf -d "$prefix/lib/librth.so.1" | grep -q 'SONAME.*\[librth\.so\.1\]' || fail "librth SONAME"

# The library: its C functions alone, no logging library, no debug information; programs keep
# their dynamic symbols for stack traces.
exported=$(nm -D --defined-only "$prefix/lib/libplixwriter.so.1" | awk '$2 == "T" { print $3 }' |
           sed 's/@.*//' | sort | tr '\n' ' ')
[ "$exported" = "plixw_close plixw_dropped plixw_max_record_length plixw_open plixw_set_drop_markers plixw_set_full_policy plixw_strerror plixw_write plixw_written " ] ||
  fail "libplixwriter exports: $exported"
! readelf -d "$prefix/lib/libplixwriter.so.1" | grep NEEDED | grep -qi boost ||
  fail "libplixwriter needs a Boost library"
for f in bin/ReadPLIXTrace bin/rthpart bin/plixwrite lib/libplixwriter.so.1 lib/librth.so.1; do
  ! readelf -S "$prefix/$f" | grep -q '\.debug_' || fail "$f keeps debug information"
done
nm -D --defined-only "$prefix/bin/ReadPLIXTrace" | grep -q ' T main$' ||
  fail "ReadPLIXTrace lost its dynamic symbols"

build_examples "$source/examples" "$prefix" "$work"
read_back "$prefix/bin" "$work/c/write_records" "$work/cpp/write_records" "$work"

# PlixTrace::rth: the partition library and its installed headers.
cmake -S "$source/tests/install/rth-consumer" -B "$work/rth" -G Ninja \
  -DCMAKE_PREFIX_PATH="$prefix" >/dev/null || fail "find_package(PlixTrace) for PlixTrace::rth"
cmake --build "$work/rth" >/dev/null || fail "PlixTrace::rth does not build"
"$prefix/bin/rthpart" create sized 4096 || fail "rthpart create"
[ "$("$work/rth/rth_consumer" sized)" = 4096 ] || fail "PlixTrace::rth program"
"$prefix/bin/rthpart" remove sized

# Moved: nothing in the tree may point at where it was installed.
mkdir -p "$work/elsewhere"
mv "$work/stage" "$work/elsewhere/stage"
prefix=$work/elsewhere/stage/usr
! grep -rlF "$work/stage" "$prefix" || fail "the installed tree names its staging place"
build_examples "$source/examples" "$prefix" "$work"
read_back "$prefix/bin" "$work/c/write_records" "$work/cpp/write_records" "$work"
echo "install test passed"
