#!/usr/bin/env bash
# The Debian packages: scripts/package run twice, in two places (byte-identical packages);
# lintian --pedantic; the three packages' control data and contents; the unpacked libraries'
# exports, run paths and pkg-config output. Then, in a mount namespace of its own whose /usr,
# /etc and /var are overlays (the machine's own stay untouched) and whose /tmp is a new tmpfs:
# the library packages installed with dpkg, both examples built from the development package's
# doc directory, the reader package installed, the examples' records read back through it, and
# all three purged.
#
#   PackageTest.sh BUILD_DIR SOURCE_DIR        exit 0 passed, 77 skipped, else failed
set -euo pipefail
build=$1
source=$2
. "$source/tests/install/InstallTestLib.sh"

begin_test package "the installed reader"
mkdir -p "$work/overlay/probe.upper" "$work/overlay/probe.work"
if ! unshare -m --propagation private mount -t overlay overlay \
       -o "lowerdir=/usr,upperdir=$work/overlay/probe.upper,workdir=$work/overlay/probe.work" /usr \
       2>/dev/null; then
  echo "SKIP: no overlay mounts here; the packages are only ever installed over an overlay"
  exit $SKIP
fi

for run in first second; do
  "$source/scripts/package" --work "$work/$run" >"$work/$run.log" 2>&1 ||
    fail "scripts/package: $(tail -n 30 "$work/$run.log")"
done
version=$(sed -nE 's/^project\(ReadPLIXTrace VERSION ([0-9.]+).*/\1/p' "$source/CMakeLists.txt")
arch=$(dpkg --print-architecture)
triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
deb() { echo "$work/first/${1}_$version-1_$arch.deb"; }
for p in readplixtrace libplixwriter1 libplixwriter-dev readplixtrace-dbgsym libplixwriter1-dbgsym; do
  [ -f "$(deb $p)" ] || fail "no package $(deb $p): $(ls "$work/first")"
  cmp -s "$(deb $p)" "$work/second/${p}_$version-1_$arch.deb" || fail "$p differs between two runs"
done

# lintian: no error and no warning; each tag the packages override is listed in the README.
lintian --pedantic --show-overrides --fail-on none "$work"/first/*.deb >"$work/lintian.out" \
  2>/dev/null || fail "lintian did not run"
! grep -E '^[EW]:' "$work/lintian.out" || fail "lintian reports the errors or warnings above"
for tag in $(sed -nE 's/^O: [^ ]+: ([a-z0-9-]+).*/\1/p' "$work/lintian.out" | sort -u); do
  grep -qF "\`$tag\`" "$source/README.md" || fail "lintian exception $tag is not in the README"
done

# Control data: sections, Multi-Arch, dependencies (Boost for the programs alone), symbols.
field() { dpkg-deb -f "$(deb "$1")" "$2"; }
for p in readplixtrace:utils libplixwriter1:libs libplixwriter-dev:libdevel; do
  [ "$(field ${p%:*} Section)" = "${p#*:}" ] || fail "${p%:*} Section $(field ${p%:*} Section)"
  [ "$(field ${p%:*} Version)" = "$version-1" ] || fail "${p%:*} Version"
done
for p in libplixwriter1 libplixwriter-dev; do
  [ "$(field $p Multi-Arch)" = same ] || fail "$p is not Multi-Arch: same"
  ! field $p Depends | grep -qi boost || fail "$p depends on Boost: $(field $p Depends)"
done
field readplixtrace Depends | grep -q 'libboost-log1.74.0' || fail "readplixtrace Depends lacks Boost"
field readplixtrace Depends | grep -qF "libplixwriter1 (>= $version)" ||
  fail "readplixtrace Depends: $(field readplixtrace Depends)"
[ "$(field libplixwriter-dev Depends)" = "libplixwriter1 (= $version-1)" ] ||
  fail "libplixwriter-dev Depends: $(field libplixwriter-dev Depends)"
dpkg-deb -e "$(deb libplixwriter1)" "$work/control"
grep -qx 'libplixwriter.so.1 libplixwriter1 #MINVER#' "$work/control/symbols" &&
  grep -qx 'librth.so.1 libplixwriter1 #MINVER#' "$work/control/symbols" || fail "symbols file"
grep -qx "librth 1 libplixwriter1 (>= $version)" "$work/control/shlibs" || fail "shlibs"
grep -qx 'activate-noawait ldconfig' "$work/control/triggers" || fail "ldconfig trigger"

# Contents: the files each package must hold, and no file outside its own places.
contents() { dpkg-deb -c "$(deb "$1")" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\./|/|'; }
check_contents() {
  local p=$1 places=$2 f
  shift 2
  contents "$p" >"$work/$p.contents"
  for f in "$@"; do grep -qx "$f" "$work/$p.contents" || fail "$f not in $p"; done
  ! grep -vE "^/usr/(share/doc/$p/|share/lintian/overrides/$p\$|$places)" "$work/$p.contents" ||
    fail "$p holds the files above"
}
lib=/usr/lib/$triplet
check_contents readplixtrace "bin/|share/man/man1/|lib/tmpfiles.d/" \
  /usr/bin/ReadPLIXTrace /usr/bin/rthpart /usr/bin/plixwrite /usr/lib/tmpfiles.d/readplixtrace.conf \
  /usr/share/man/man1/ReadPLIXTrace.1.gz /usr/share/man/man1/rthpart.1.gz \
  /usr/share/man/man1/plixwrite.1.gz /usr/share/doc/readplixtrace/copyright \
  /usr/share/doc/readplixtrace/README.md.gz
check_contents libplixwriter1 "lib/$triplet/lib(plixwriter|rth)\.so\.1" \
  $lib/libplixwriter.so.1 $lib/libplixwriter.so.$version $lib/librth.so.1 $lib/librth.so.$version \
  /usr/share/doc/libplixwriter1/copyright /usr/share/doc/libplixwriter1/changelog.Debian.gz
check_contents libplixwriter-dev "include/plixtrace/|lib/$triplet/(lib(plixwriter|rth)\.so\$|pkgconfig/|cmake/PlixTrace/)" \
  /usr/include/plixtrace/plixwriter.h /usr/include/plixtrace/PlixWriter.hpp \
  /usr/include/plixtrace/rth/RthLib.h $lib/libplixwriter.so $lib/librth.so \
  $lib/pkgconfig/plixwriter.pc $lib/cmake/PlixTrace/PlixTraceConfig.cmake \
  /usr/share/doc/libplixwriter-dev/examples/c/write_records.c \
  /usr/share/doc/libplixwriter-dev/examples/cpp/CMakeLists.txt
contents readplixtrace-dbgsym | grep -qE '^/usr/lib/debug/\.build-id/../.+\.debug$' ||
  fail "readplixtrace-dbgsym holds no debug files"

# Unpacked: no run path in any binary; the libraries export exactly what the symbols file
# lists, and only the partition functions, the admin calls and the writer's functions.
root=$work/root
for p in readplixtrace libplixwriter1 libplixwriter-dev; do dpkg-deb -x "$(deb $p)" "$root"; done
for f in $(find "$root" -type f -perm -u+x) $(find "$root$lib" -name '*.so.*' -type f); do
  ! readelf -d "$f" | grep -qE 'RUNPATH|RPATH' || fail "$f has a run path"
done
grep -qE '^d /tmp/jub_logs 0750 root root' "$root/usr/lib/tmpfiles.d/readplixtrace.conf" ||
  fail "tmpfiles.d entry"
for p in readplixtrace libplixwriter1 libplixwriter-dev; do
  grep -q "Permission is hereby granted" "$root/usr/share/doc/$p/copyright" ||
    fail "$p: copyright lacks the license"
done
exports() { nm -D --defined-only "$root$lib/$1" | awk '$2 == "T" { print $3 }' | sort; }
listed() {
  awk -v lib="$1" '/^[^ *]/ { on = ($1 == lib) }
                   on && /^ / { split($1, s, "@"); if (s[1] != s[2]) print s[1] }' \
    "$work/control/symbols" | sort
}
for l in libplixwriter.so.1 librth.so.1; do
  [ "$(exports $l | sed 's/@.*//')" = "$(listed $l)" ] ||
    fail "$l exports $(exports $l | tr '\n' ' '), its symbols file lists $(listed $l | tr '\n' ' ')"
done
! exports libplixwriter.so.1 | grep -v '^plixw_[a-z_]*@@PLIXWRITER_1$' || fail "libplixwriter exports"
! exports librth.so.1 | grep -vE '^(shm(SizeGet|Open|AddrGet|Close|Cleanup)|rth[A-Z][A-Za-z]*)@@RTH_1$' ||
  fail "librth exports more than its functions"
[ "$(exports librth.so.1 | grep -c '^shm')" = 5 ] || fail "librth lacks partition functions"
for static in "" --static; do
  [ "$(echo $(PKG_CONFIG_LIBDIR=$root$lib/pkgconfig pkg-config $static --cflags --libs plixwriter))" \
    = -lplixwriter ] || fail "pkg-config $static: $(PKG_CONFIG_LIBDIR=$root$lib/pkgconfig \
                                pkg-config $static --cflags --libs plixwriter)"
done

# Installed over overlays: the examples build with the development package alone and run
# against the installed reader; purging leaves none of the packages' files.
installed_inside() {
  local d
  for d in usr etc var; do
    mkdir -p "$work/overlay/$d.upper" "$work/overlay/$d.work"
    mount -t overlay overlay -o "lowerdir=/$d,upperdir=$work/overlay/$d.upper,workdir=$work/overlay/$d.work" \
      "/$d" || fail "cannot lay an overlay over /$d"
  done
  private_tmp "$work"
  dpkg -i "$(deb libplixwriter1)" "$(deb libplixwriter-dev)" >"$work/dpkg.log" 2>&1 ||
    fail "dpkg -i libplixwriter-dev: $(cat "$work/dpkg.log")"
  [ "$(echo $(pkg-config --cflags --libs plixwriter))" = -lplixwriter ] || fail "installed pkg-config"
  build_examples /usr/share/doc/libplixwriter-dev/examples "" "$work"
  ! readelf -d "$work/c/write_records" | grep -q RUNPATH || fail "C example has a run path"
  dpkg -i "$(deb readplixtrace)" >>"$work/dpkg.log" 2>&1 || fail "dpkg -i readplixtrace"
  if command -v systemd-tmpfiles >/dev/null; then
    [ "$(stat -c '%a %U' /tmp/jub_logs)" = "750 root" ] || fail "postinst: no /tmp/jub_logs for root"
  fi
  read_back /usr/bin "$work/c/write_records" "$work/cpp/write_records" "$work"
  dpkg --purge readplixtrace libplixwriter-dev libplixwriter1 >>"$work/dpkg.log" 2>&1 ||
    fail "dpkg --purge: $(cat "$work/dpkg.log")"
  for d in /usr/bin/ReadPLIXTrace $lib/librth.so.1 /usr/include/plixtrace /usr/share/doc/readplixtrace; do
    [ ! -e "$d" ] || fail "$d left after purge"
  done
}
unshare -m --propagation private \
  bash -c "set -euo pipefail; $(declare -p work lib version arch); $(declare -f); installed_inside" ||
  fail "the installed packages"
echo "package test passed"
