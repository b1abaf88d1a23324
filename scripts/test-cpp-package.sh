#!/usr/bin/env bash
# The C++ package as a user meets it, once static and once shared:
#  - install into a temporary prefix and check the installed files, the
#    installed headers (they include only the standard library and each other)
#    and, for the shared libraries, that only the API is exported;
#  - build examples/cpp as a separate project with find_package, and one
#    example with pkg-config, with msgpack out of reach (a fresh Python
#    environment without msgpack-cxx, nothing under /usr/include/msgpack*);
#  - run both examples against the virtual sensor on a pty: exit 0, frames seen;
#  - a FetchContent consumer, with GoogleTest hidden, configures and builds.
#
#   scripts/test-cpp-package.sh         work in build/package (emptied first)
# Environment: NERVLANE_PKG_DIR (work folder). Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
WORK=${NERVLANE_PKG_DIR:-build/package}
case "$WORK" in /*) ;; *) WORK="$ROOT/$WORK" ;; esac
PY="$ROOT/.venv/bin/python"
jobs=$(nproc)
failures=0

fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
note() { echo "  $*"; }

rm -rf "$WORK"
mkdir -p "$WORK"

# --- msgpack out of reach for every consumer build -------------------------
if compgen -G "/usr/include/msgpack*" >/dev/null; then
  echo "test-cpp-package: /usr/include/msgpack* exists; a consumer could pick it up unseen" >&2
  exit 1
fi
python3 -m venv --without-pip "$WORK/venv"
if "$WORK/venv/bin/python" -c 'import msgpack_cxx' 2>/dev/null; then
  echo "test-cpp-package: the fresh environment has msgpack-cxx" >&2
  exit 1
fi
consumer() { env -u VIRTUAL_ENV -u Python_EXECUTABLE PATH="$WORK/venv/bin:$PATH" "$@"; }

# --- the virtual sensor ------------------------------------------------------
device_pid=""
stop_device() {
  if [ -n "$device_pid" ]; then
    kill "$device_pid" 2>/dev/null || true
    wait "$device_pid" 2>/dev/null || true
    device_pid=""
  fi
}
trap stop_device EXIT
# start_device SECONDS PARAMS: binary frames at 100/s; sets $port.
start_device() {
  local out="$WORK/device.out"
  : >"$out"
  "$PY" -m nervlane.cli simulate --format binary --params "$2" --seconds "$1" >"$out" 2>"$WORK/device.err" &
  device_pid=$!
  for _ in $(seq 100); do
    port=$(head -1 "$out")
    [ -n "$port" ] && return 0
    sleep 0.05
  done
  echo "test-cpp-package: the virtual sensor did not start:" >&2
  cat "$WORK/device.err" >&2
  exit 1
}
frames_of() { sed -n 's/^frames: \([0-9]*\).*/\1/p' "$1" | tail -1; }

# --- one kind of build --------------------------------------------------------
# The installed files, exactly: headers, libraries, CMake package, pkg-config.
check_installed_files() {  # prefix kind
  local libs='lib/libnervlane_comm.a lib/libnervlane_serial.a'
  [ "$2" = static ] || libs='lib/libnervlane_comm.so* lib/libnervlane_serial.so*'
  (cd "$1" && find . \( -type f -o -type l \) | sed 's|^\./||' | sort) >"$WORK/files-$2.txt"
  (cd "$1" && ls -d include/nervlane_comm/nervlane_comms.h include/nervlane_comm/nervlane_comm_export.h \
    include/serial/serial.h include/serial/deadline.h lib/cmake/nervlane_comm/nervlane_comm{Config,ConfigVersion}.cmake \
    lib/cmake/nervlane_comm/nervlane_commTargets{,-release}.cmake lib/pkgconfig/nervlane_comm.pc $libs | sort) \
    >"$WORK/files-wanted.txt" || true
  diff "$WORK/files-wanted.txt" "$WORK/files-$2.txt" || fail "$2: installed files differ from the list (< missing, > extra)"
  note "installed ($2): $(tr '\n' ' ' <"$WORK/files-$2.txt")"
}

# The compiler's own standard library headers: with the installed headers
# themselves, all that an installed header may include.
STD_DIR=$(printf '#include <vector>\n' | c++ -std=c++17 -x c++ -M - | tr ' \\' '\n\n' | grep '/vector$' | xargs dirname)

check_headers() {  # prefix kind
  local include="$1/include" header name line included
  while IFS= read -r header; do
    name=${header#"$include"/}
    while IFS= read -r line; do
      included=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]([^>"]+)[>"].*/\1/' <<<"$line")
      if [[ "$included" != */* && "$included" != *.* && -f "$STD_DIR/$included" ]]; then continue; fi
      if [ -f "$include/$included" ] || [ -f "$(dirname "$header")/$included" ]; then continue; fi
      fail "$2: $name includes $included, neither the standard library nor an installed header"
    done < <(grep -E '^[[:space:]]*#[[:space:]]*include' "$header")
    # Alone, with nothing but the prefix on the include path, it compiles.
    printf '#include <%s>\n' "$name" |
      consumer c++ -std=c++17 -fsyntax-only -Wall -Wextra -Wpedantic -Werror -I"$include" -x c++ - ||
      fail "$2: $name does not compile alone"
  done < <(find "$include" -name '*.h' | sort)
  note "headers ($2): $(find "$include" -name '*.h' | wc -l) checked alone"
}

# The public API: what a shared library may export.
API_NAMES='(serial::(Serial|SerialError|SerialException|IOException|PortNotOpenedException)\b|serial::(reason_name|request_realtime_scheduling)\(|nervlane_comm::(NervlaneComms|Frame|FrameBatch|CommsStats)\b)'

check_exports() {  # prefix
  local lib bad
  for lib in "$1"/lib/libnervlane_comm.so "$1"/lib/libnervlane_serial.so; do
    bad=$(nm -D --defined-only -C "$lib" | cut -d' ' -f3- |
      grep -Ev "^((vtable|typeinfo|typeinfo name) for )?$API_NAMES" || true)
    if [ -n "$bad" ]; then
      fail "$(basename "$lib") exports more than the API:"
      head -5 <<<"$bad" >&2
    fi
    note "$(basename "$lib"): $(nm -D --defined-only "$lib" | wc -l) symbols exported, all of the API"
  done
}

# run_stream BUILD KIND HOW: the stream example until the device goes away
# after 1 s of frames (HOW=unplug) or until Ctrl+C after 1 s (HOW=ctrl-c).
run_stream() {
  start_device "$([ "$3" = unplug ] && echo 1 || echo 10)" "$WORK/params.msgpack"
  "$1/stream" "$port" "$WORK/params.msgpack" >"$WORK/stream.out" 2>"$WORK/stream.err" &
  local pid=$! status=0
  [ "$3" = unplug ] || { sleep 1 && kill -INT "$pid"; }
  wait "$pid" || status=$?
  stop_device
  local frames
  frames=$(frames_of "$WORK/stream.err")
  [ "$status" = 0 ] && [ "${frames:-0}" -gt 0 ] || { fail "$2: stream ($3) exited $status" && cat "$WORK/stream.err" >&2; }
  [ "$3" = ctrl-c ] || grep -q "the device went away" "$WORK/stream.err" || fail "$2: stream missed the unplug"
  note "stream ($2, $3 after 1 s): ${frames:-0} frames"
}

run_examples() {  # examples-build kind
  run_stream "$1" "$2" unplug
  run_stream "$1" "$2" ctrl-c
  start_device 10 "$WORK/params.msgpack"
  rm -f "$WORK/record.csv"
  "$1/record_queue" "$port" "$WORK/params.msgpack" 1 "$WORK/record.csv" 2>"$WORK/record.err" ||
    { fail "$2: record_queue exited non-zero" && cat "$WORK/record.err" >&2; }
  stop_device
  local frames rows
  frames=$(frames_of "$WORK/record.err")
  rows=$(($(wc -l <"$WORK/record.csv") - 1))
  [ "${frames:-0}" -gt 0 ] && [ "$rows" = "${frames:-0}" ] || fail "$2: record_queue: ${frames:-0} frames, $rows rows"
  head -1 "$WORK/record.csv" | grep -q '^sequence,time_s,raw_0,' || fail "$2: record_queue's header"
  note "record_queue ($2, 1 s): ${frames:-0} frames, $rows rows"
}

package() {  # kind, cmake options...
  local kind=$1
  shift
  echo "=== $kind ==="
  cmake -S . -B "$WORK/build-$kind" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNERVLANE_WERROR=ON "$@" >/dev/null
  cmake --build "$WORK/build-$kind" -j"$jobs" >/dev/null
  cmake --install "$WORK/build-$kind" --prefix "$WORK/$kind" >/dev/null
  check_installed_files "$WORK/$kind" "$kind"
  check_headers "$WORK/$kind" "$kind"
  for f in "$WORK/$kind"/lib/libnervlane_*.a "$WORK/$kind"/lib/libnervlane_*.so.*.*.*; do
    [ -f "$f" ] && note "$(basename "$f"): $(stat -c %s "$f") bytes"
  done
  if [ "$kind" = shared ]; then check_exports "$WORK/$kind"; fi

  consumer cmake -S examples/cpp -B "$WORK/examples-$kind" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$WORK/$kind" -DCMAKE_CXX_FLAGS="-Wall -Wextra -Wpedantic -Werror" >/dev/null
  consumer cmake --build "$WORK/examples-$kind" >/dev/null
  if ninja -C "$WORK/examples-$kind" -t deps | grep -E "msgpack|$ROOT/src/" | head -3 | grep .; then
    fail "$kind: the examples compiled the files above"
  fi
  # pkg-config, for users without CMake.
  consumer c++ -std=c++17 -o "$WORK/stream-pkgconfig-$kind" examples/cpp/stream.cpp \
    $(PKG_CONFIG_PATH="$WORK/$kind/lib/pkgconfig" pkg-config --cflags --libs nervlane_comm) \
    -Wl,-rpath,"$WORK/$kind/lib" || fail "$kind: stream does not build with pkg-config"
  run_examples "$WORK/examples-$kind" "$kind"
}

package static
package shared -DBUILD_SHARED_LIBS=ON

echo "=== FetchContent, no GoogleTest ==="
mkdir -p "$WORK/fetch"
cat >"$WORK/fetch/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.20)
project(fetch_consumer LANGUAGES CXX)
include(FetchContent)
FetchContent_Declare(nervlane_comm SOURCE_DIR "${NERVLANE_SOURCE_DIR}")
FetchContent_MakeAvailable(nervlane_comm)
if(NOT TARGET nervlane_comm::serial OR TARGET test_serial OR TARGET bench_comms)
  message(FATAL_ERROR "the sub-project lacks nervlane_comm::serial, or made its tests or benchmarks")
endif()
add_executable(stream "${NERVLANE_SOURCE_DIR}/examples/cpp/stream.cpp")
target_link_libraries(stream PRIVATE nervlane_comm::nervlane_comm)
EOF
# With finding GoogleTest disabled, a sub-project that asked for it
# (REQUIRED) would stop the configuration; CMake reports the setting as unused
# when nothing asked at all.
if cmake -S "$WORK/fetch" -B "$WORK/fetch/build" -G Ninja -DNERVLANE_SOURCE_DIR="$ROOT" \
  -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON >"$WORK/fetch.log" 2>&1 &&
  cmake --build "$WORK/fetch/build" -j"$jobs" >>"$WORK/fetch.log" 2>&1; then
  grep -A3 "not used by the project" "$WORK/fetch.log" | grep -q CMAKE_DISABLE_FIND_PACKAGE_GTest ||
    fail "FetchContent: the sub-project looked for GoogleTest"
  if grep -v CMAKE_DISABLE_FIND_PACKAGE_GTest "$WORK/fetch.log" | grep -i "gtest\|googletest"; then
    fail "FetchContent: the sub-project mentions GoogleTest (above)"
  fi
  start_device 1 "$WORK/params.msgpack"
  "$WORK/fetch/build/stream" "$port" "$WORK/params.msgpack" >/dev/null 2>"$WORK/stream.err" ||
    fail "FetchContent: stream exited non-zero"
  stop_device
  note "FetchContent: configured and built without GoogleTest; stream saw $(frames_of "$WORK/stream.err") frames"
else
  tail -20 "$WORK/fetch.log" >&2
  fail "FetchContent consumer did not configure or build"
fi

if [ "$failures" -gt 0 ]; then
  echo "test-cpp-package: $failures failure(s)" >&2
  exit 1
fi
echo "test-cpp-package: all passed"
