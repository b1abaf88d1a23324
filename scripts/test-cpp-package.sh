#!/usr/bin/env bash
# The C++ package as a user meets it, once static and once shared:
#  - install into a temporary prefix and check the installed files, the
#    installed headers (they include only the standard library and each other),
#    that the build made no benchmark without the tests, that the serial
#    library's symbols all lie in its inline namespace serial::nervlane_v1
#    and, for the shared libraries, that only the API is exported;
#  - install a stand-in of another serial library (its own serial/serial.h and
#    serial::Serial) into the same prefix, overwriting nothing, and link a
#    program that uses both, one in each source file, and run it;
#  - build examples/cpp as a separate project with find_package, and one
#    example with pkg-config, with msgpack out of reach (a fresh Python
#    environment without msgpack-cxx, nothing under /usr/include/msgpack*);
#  - run both examples against the virtual sensor on a pty: exit 0, frames seen;
#  - a FetchContent consumer, with GoogleTest hidden, configures and builds;
#  - msgpack-cxx found as a CMake package, and as Debian's headers
#    (libmsgpack-cxx-dev, unpacked into the work folder rather than
#    installed): the library builds and the parameter tests pass with them.
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
  (cd "$1" && ls -d include/nervlane_comm/{nervlane_comms,frame,nervlane_comm_export}.h \
    include/nervlane_comm/serial/{serial,deadline,device_identity}.h lib/cmake/nervlane_comm/nervlane_comm{Config,ConfigVersion}.cmake \
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
API_NAMES='(serial::nervlane_v1::(Serial|SerialError|SerialException|IOException|PortNotOpenedException|DeviceIdentity)\b|serial::nervlane_v1::(reason_name|request_realtime_scheduling|identify_device)\(|nervlane_comm::(NervlaneComms|Frame|FrameBatch|CommsStats)\b)'

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

# Every serial name the library defines lies in serial::nervlane_v1, so none
# can meet another library's serial::Serial at link time.
check_serial_namespace() {  # prefix kind
  local lib names outside
  lib="$1/lib/libnervlane_serial.a"
  [ "$2" = static ] || lib="$1/lib/libnervlane_serial.so"
  names=$(nm -C --defined-only "$lib" 2>/dev/null | sed -E 's/^[0-9a-f]* *[A-Za-z] //' |
    sed -E 's/^(vtable|typeinfo|typeinfo name|VTT|guard variable) for //' | grep -E '^serial::' || true)
  outside=$(grep -v '^serial::nervlane_v1::' <<<"$names" | grep . || true)
  [ -z "$outside" ] || { fail "$2: $(basename "$lib") defines serial names outside serial::nervlane_v1:" && head -5 <<<"$outside" >&2; }
  note "$(basename "$lib") ($2): $(grep -c . <<<"$names") serial:: symbols, all in serial::nervlane_v1, e.g. $(grep -m1 'Serial::is_open' <<<"$names")"
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

# --- another serial library in the same prefix -------------------------------
# A stand-in for a serial-port library that a robot workspace may also hold:
# its own <serial/serial.h> and a class serial::Serial whose destructor,
# vtable, is_open() and close() have the very symbols this package's would
# have in a plain namespace serial (a static link then finds them defined
# twice, a shared one sends the calls of one library to the other). Written
# here, in a few lines.
write_other_serial() {
  local dir="$WORK/other-serial"
  mkdir -p "$dir/include/serial" "$dir/consumer"
  cat >"$dir/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.20)
project(other_serial LANGUAGES CXX)
add_library(other_serial other_serial.cpp)
target_compile_features(other_serial PUBLIC cxx_std_17)
target_include_directories(other_serial PUBLIC $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
                                              $<INSTALL_INTERFACE:include>)
install(TARGETS other_serial EXPORT other_serialTargets ARCHIVE DESTINATION lib LIBRARY DESTINATION lib)
install(FILES include/serial/serial.h DESTINATION include/serial)
install(EXPORT other_serialTargets NAMESPACE other:: DESTINATION lib/cmake/other_serial
        FILE other_serialConfig.cmake)
CMAKE
  cat >"$dir/include/serial/serial.h" <<'CPP'
#pragma once
#include <string>
namespace serial {
class Serial {
public:
    explicit Serial(const std::string& port);
    virtual ~Serial();
    bool is_open() const;
    void close();
    std::string name() const;

private:
    std::string port_;
};
}  // namespace serial
CPP
  cat >"$dir/other_serial.cpp" <<'CPP'
#include "serial/serial.h"
namespace serial {
Serial::Serial(const std::string& port) : port_(port) {}
Serial::~Serial() = default;
// A port that is always open: is_open() answers true for any object, so a
// call meant for the other Serial that lands here shows.
bool Serial::is_open() const { return true; }
void Serial::close() {}
std::string Serial::name() const { return port_ + " (other library)"; }
}  // namespace serial
CPP
  cat >"$dir/consumer/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.20)
project(two_serials LANGUAGES CXX)
find_package(nervlane_comm CONFIG REQUIRED)
find_package(other_serial CONFIG REQUIRED)
add_executable(two_serials uses_nervlane.cpp uses_other.cpp)
target_compile_features(two_serials PRIVATE cxx_std_17)
target_link_libraries(two_serials PRIVATE nervlane_comm::nervlane_comm other::other_serial)
CMAKE
  cat >"$dir/consumer/uses_other.cpp" <<'CPP'
#include <serial/serial.h>

#include <string>

// The other library's port, which stays open.
std::string other_port() {
    serial::Serial port("loop0");
    port.close();
    return port.is_open() ? port.name() : "closed";
}
CPP
  cat >"$dir/consumer/uses_nervlane.cpp" <<'CPP'
#include <nervlane_comm/nervlane_comms.h>
#include <nervlane_comm/serial/serial.h>

#include <cstdio>
#include <string>

std::string other_port();

int main() {
    int faults = 0;
    // This package's port: a closed object for an empty name, an IOException
    // with the reason not_found for a missing one.
    serial::Serial closed("", 115200, serial::SerialTimeouts{}, serial::ByteSize::eight_bits, serial::Parity::none,
                          serial::StopBits::one, serial::FlowControl::none);
    if (closed.is_open()) ++faults, std::puts("nervlane_comm's closed port says it is open");
    nervlane_comm::NervlaneComms comms;
    try {
        comms.connect("/dev/nervlane-no-such-port");
        ++faults, std::puts("a missing port connected");
    } catch (const serial::IOException& e) {
        if (e.reason() != serial::ErrorReason::not_found) ++faults, std::puts(e.what());
    }
    const std::string other = other_port();
    if (other != "loop0 (other library)") ++faults, std::printf("the other library said: %s\n", other.c_str());
    std::printf("nervlane_comm's port %s, the other library's: %s\n", faults ? "FAILED" : "ok", other.c_str());
    return faults ? 1 : 0;
}
CPP
}

# Installs the stand-in into the package's prefix, checks that it overwrote
# none of the package's files, and builds and runs the two-library program.
two_serial_libraries() {  # kind, cmake options...
  local kind=$1 prefix="$WORK/$1" dir="$WORK/other-serial"
  shift
  [ -f "$dir/CMakeLists.txt" ] || write_other_serial
  (cd "$prefix" && find . -type f -exec sha256sum {} +) >"$WORK/ours-$kind.sha256"
  if ! { consumer cmake -S "$dir" -B "$WORK/other-build-$kind" -G Ninja -DCMAKE_BUILD_TYPE=Release "$@" &&
    consumer cmake --build "$WORK/other-build-$kind" &&
    consumer cmake --install "$WORK/other-build-$kind" --prefix "$prefix"; } >"$WORK/other-$kind.log" 2>&1; then
    fail "$kind: the stand-in serial library did not build or install"
    tail -20 "$WORK/other-$kind.log" >&2
    return
  fi
  local theirs
  theirs=$(sed "s|^$prefix/||" "$WORK/other-build-$kind/install_manifest.txt" | sort)
  if grep -Fx -f <(cut -d' ' -f3- "$WORK/ours-$kind.sha256" | sed 's|^\./||') <<<"$theirs"; then
    fail "$kind: the other library installed over the files above"
  fi
  (cd "$prefix" && sha256sum --quiet -c "$WORK/ours-$kind.sha256") || fail "$kind: a file of the package changed"
  [ -f "$prefix/include/serial/serial.h" ] && [ -f "$prefix/include/nervlane_comm/serial/serial.h" ] ||
    fail "$kind: the two serial/serial.h are not side by side"
  note "other serial library ($kind), same prefix, nothing overwritten: $(tr '\n' ' ' <<<"$theirs")"

  if ! { consumer cmake -S "$dir/consumer" -B "$WORK/two-serials-$kind" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_FLAGS="-Wall -Wextra -Wpedantic -Werror" &&
    consumer cmake --build "$WORK/two-serials-$kind"; } >"$WORK/two-serials-$kind.log" 2>&1; then
    fail "$kind: the program using both serial libraries did not build"
    tail -20 "$WORK/two-serials-$kind.log" >&2
    return
  fi
  local said
  if said=$("$WORK/two-serials-$kind/two_serials" 2>&1); then
    note "one program, two serial libraries ($kind): $said"
  else
    fail "$kind: the program using both serial libraries: $said"
  fi
}

package() {  # kind, cmake options...
  local kind=$1
  shift
  echo "=== $kind ==="
  # Without the tests: then no benchmark is built either.
  cmake -S . -B "$WORK/build-$kind" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNERVLANE_WERROR=ON \
    -DNERVLANE_BUILD_TESTS=OFF -DNERVLANE_MSGPACK_PYTHON="$PY" "$@" >/dev/null
  cmake --build "$WORK/build-$kind" -j"$jobs" >/dev/null
  if ninja -C "$WORK/build-$kind" -t targets all | grep -E '^(bench|test)_[a-z_]*:'; then
    fail "$kind: NERVLANE_BUILD_TESTS=OFF still made the targets above"
  fi
  cmake --install "$WORK/build-$kind" --prefix "$WORK/$kind" >/dev/null
  check_installed_files "$WORK/$kind" "$kind"
  check_headers "$WORK/$kind" "$kind"
  for f in "$WORK/$kind"/lib/libnervlane_*.a "$WORK/$kind"/lib/libnervlane_*.so.*.*.*; do
    [ -f "$f" ] && note "$(basename "$f"): $(stat -c %s "$f") bytes"
  done
  check_serial_namespace "$WORK/$kind" "$kind"
  if [ "$kind" = shared ]; then check_exports "$WORK/$kind"; fi
  two_serial_libraries "$kind" "$@"

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

echo "=== msgpack-cxx as a CMake package, and as Debian's headers ==="
# A CMake package of msgpack-cxx is looked for first; a stand-in package over
# the .venv's headers shows that it is, and that the decoder compiles with it.
msgpack_include=$("$PY" -c 'import msgpack_cxx; print(msgpack_cxx.get_include())')
mkdir -p "$WORK/msgpack-package/lib/cmake/msgpack-cxx"
cat >"$WORK/msgpack-package/lib/cmake/msgpack-cxx/msgpack-cxx-config.cmake" <<EOF
add_library(msgpack-cxx INTERFACE IMPORTED)
set_target_properties(msgpack-cxx PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "$msgpack_include")
EOF
if cmake -S . -B "$WORK/msgpack-package/build" -G Ninja -DNERVLANE_BUILD_TESTS=OFF -DNERVLANE_WERROR=ON \
  -DCMAKE_PREFIX_PATH="$WORK/msgpack-package" >"$WORK/msgpack-package.log" 2>&1 &&
  grep -q "msgpack-cxx: the CMake package in $WORK/msgpack-package/" "$WORK/msgpack-package.log" &&
  cmake --build "$WORK/msgpack-package/build" --target nervlane_models >>"$WORK/msgpack-package.log" 2>&1; then
  note "msgpack-cxx as a CMake package: found first, the decoder compiles with it"
else
  fail "msgpack-cxx as a CMake package was not taken, or did not build:"
  grep -i "msgpack\|error" "$WORK/msgpack-package.log" | head -5 >&2
fi

# Debian's libmsgpack-cxx-dev (msgpack-c 4.x, an older major version than the
# PyPI package's) unpacked under the work folder, not installed: found by the
# same search that finds /usr/include/msgpack.hpp. The .deb is kept in build/.
deb_dir="$ROOT/build/debian-msgpack"
if ! compgen -G "$deb_dir/libmsgpack-cxx-dev_*.deb" >/dev/null; then
  mkdir -p "$deb_dir"
  (cd "$deb_dir" && apt-get download libmsgpack-cxx-dev >/dev/null 2>&1) || true
fi
deb=$(compgen -G "$deb_dir/libmsgpack-cxx-dev_*.deb" | head -1 || true)
if [ -z "$deb" ]; then
  note "SKIPPED Debian's msgpack headers: 'apt-get download libmsgpack-cxx-dev' found no package"
else
  dpkg-deb -x "$deb" "$WORK/debian"
  debian_build="$WORK/debian/build"
  if cmake -S . -B "$debian_build" -G Ninja -DNERVLANE_WERROR=ON -DNERVLANE_BUILD_BENCH=OFF \
    -DCMAKE_PREFIX_PATH="$WORK/debian/usr" >"$WORK/debian.log" 2>&1 &&
    grep -q "msgpack-cxx: installed headers ($WORK/debian/usr/include)" "$WORK/debian.log" &&
    cmake --build "$debian_build" -j"$jobs" --target test_parameters >>"$WORK/debian.log" 2>&1 &&
    "$debian_build/tests/cpp/test_parameters" >>"$WORK/debian.log" 2>&1; then
    headers=$(ninja -C "$debian_build" -t deps | grep -E '^ .*/msgpack(\.hpp|/.*)$' | sed 's/^ *//' | sort -u)
    if grep -v "^$WORK/debian/usr/include/" <<<"$headers" | head -3 | grep .; then
      fail "Debian's msgpack headers: the build compiled the ones above"
    fi
    note "Debian's msgpack headers ($(basename "$deb")): $(grep -c . <<<"$headers") compiled, the parameter tests pass"
  else
    fail "Debian's msgpack headers were not taken, or the build or its parameter tests failed:"
    tail -15 "$WORK/debian.log" >&2
  fi
fi

if [ "$failures" -gt 0 ]; then
  echo "test-cpp-package: $failures failure(s)" >&2
  exit 1
fi
echo "test-cpp-package: all passed"
