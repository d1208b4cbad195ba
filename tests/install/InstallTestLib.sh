# Shared steps of the install and package tests (sourced by bash).
#
# The installed reader knows one trace log directory only, /tmp/jub_logs. It is therefore run
# in a private mount namespace with a /tmp of its own (a new tmpfs), never against the
# machine's real directory. Partitions live under a prefix of the test's own
# (RTH_SHM_PREFIX), which the caller sets.

SKIP=77

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Whether this process may make a mount namespace with a tmpfs of its own on /tmp.
private_tmp_available() {
  unshare -m --propagation private sh -c 'mount -t tmpfs tmpfs /tmp' 2>/dev/null
}

# begin_test KIND WHAT: skips (exit 77) where there is no private /tmp, saying that WHAT is only
# ever run against one; makes $work ($build/KIND-test) afresh, gives the test a partition
# prefix of its own, and removes both at exit. Needs $build.
begin_test() {
  if ! private_tmp_available; then
    echo "SKIP: no private mount namespace with its own /tmp here (unshare -m refused);" \
         "$2 is only ever run against a private /tmp"
    exit $SKIP
  fi
  work=$build/$1-test
  rm -rf "$work"
  mkdir -p "$work"
  export RTH_SHM_PREFIX=plix$1.$$.
  trap 'rm -f /dev/shm/$RTH_SHM_PREFIX* /dev/shm/plixtrace.wake.$RTH_SHM_PREFIX*; rm -rf "$work"' EXIT
}

# read_back BIN C_EXAMPLE CPP_EXAMPLE WORK: in a private /tmp, sets up "plixtrace" with the C
# example (3 records), starts the reader BIN/ReadPLIXTrace, adds 3 records with the C++
# example and one with BIN/plixwrite, and checks what the reader printed and logged and that
# SIGTERM ended it with 0.
read_back() {
  unshare -m --propagation private bash -c "$(declare -f); read_back_inside \"\$@\"" \
    read_back "$@" || fail "read-back with the reader in $1 failed"
}

# private_tmp WORK: in a mount namespace of the caller's own, mounts a new tmpfs on /tmp. A
# build tree under /tmp (a clone there) would vanish under the new /tmp: the top folder of WORK
# is carried over through a bind mount, seen by this namespace only.
private_tmp() {
  local work=$1 keep=""
  case "$work" in /tmp/?*) keep=${work#/tmp/}; keep=${keep%%/*} ;; esac
  if [ -n "$keep" ]; then
    mount --rbind /tmp /mnt || fail "cannot keep the old /tmp in view"
  fi
  mount -t tmpfs -o mode=1777 tmpfs /tmp || fail "cannot mount a private /tmp"
  if [ -n "$keep" ]; then
    mkdir "/tmp/$keep" && mount --bind "/mnt/$keep" "/tmp/$keep" || fail "cannot keep /tmp/$keep"
  fi
}

read_back_inside() {
  local bin=$1 c_example=$2 cpp_example=$3 work=$4
  private_tmp "$work"
  "$bin/rthpart" create plixtrace 65536 || fail "rthpart create"
  # The C++ example never sets a partition up: refused while the partition is fresh.
  "$cpp_example" plixtrace 1 >/dev/null 2>"$work/cpp.err" && fail "C++ example wrote into a fresh partition"
  grep -q "not set up" "$work/cpp.err" || fail "C++ example: $(cat "$work/cpp.err")"
  [ "$("$c_example" plixtrace 3)" = "3 written, 0 dropped" ] || fail "C example"

  "$bin/ReadPLIXTrace" >"$work/reader.out" 2>"$work/reader.err" </dev/null &
  local reader=$!
  [ "$("$cpp_example" plixtrace 3)" = "3 written, 0 dropped" ] || fail "C++ example"
  echo "plixwrite example record" | "$bin/plixwrite" || fail "plixwrite"
  local waited=0
  until grep -q "plixwrite example record" "$work/reader.out"; do
    [ $waited -lt 300 ] || { kill -KILL $reader; fail "reader printed: $(cat "$work/reader.out" "$work/reader.err")"; }
    sleep 0.1
    waited=$((waited + 1))
  done
  # A script's background job ignores SIGINT, and so does the reader started as one: SIGTERM
  # ends it in order.
  kill -TERM $reader
  local status=0
  wait $reader || status=$?
  [ $status -eq 0 ] || fail "reader ended with $status: $(cat "$work/reader.err")"

  local expected="C example record 1
C example record 2
C example record 3
C++ example record 1
C++ example record 2
C++ example record 3
plixwrite example record"
  local printed
  printed=$(grep "example record" "$work/reader.out")
  [ "$printed" = "$expected" ] || fail "reader printed: $printed"
  local logged
  logged=$(sed -E 's/^[0-9]+: <[0-9: -]+> //' /tmp/jub_logs/plix_00.log)
  [ "$logged" = "$expected" ] || fail "reader logged: $logged"
  "$bin/rthpart" remove plixtrace || fail "rthpart remove"
}

# build_examples EXAMPLES PREFIX WORK: builds the C example (EXAMPLES/c) through pkg-config and
# the C++ example (EXAMPLES/cpp) through find_package against the tree installed under PREFIX
# (an empty PREFIX: against the system's own directories), into WORK/c and WORK/cpp.
build_examples() {
  local examples=$1 prefix=$2 work=$3
  rm -rf "$work/c" "$work/cpp"
  mkdir -p "$work/c"
  PKG_CONFIG_PATH=${prefix:+$prefix/lib/pkgconfig} make -s -C "$work/c" \
    -f "$examples/c/Makefile" SRCDIR="$examples/c" CFLAGS="-O2 -Wall -Wextra -Werror" >/dev/null ||
    fail "C example does not build against ${prefix:-the system}"
  cmake -S "$examples/cpp" -B "$work/cpp" -G Ninja ${prefix:+-DCMAKE_PREFIX_PATH="$prefix"} \
    -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" >/dev/null ||
    fail "C++ example: find_package(PlixTrace) fails under ${prefix:-the system}"
  cmake --build "$work/cpp" >/dev/null ||
    fail "C++ example does not build against ${prefix:-the system}"
}
