#!/usr/bin/env bash
# Cross-builds the C++ library and tests for 64-bit Windows with mingw-w64 and
# runs the tests under wine, with COM ports backed by Linux ptys.
#
#   scripts/test-windows.sh [extra ctest arguments, e.g. -R Serial]
#
# Environment: NERVLANE_WIN_BUILD (build folder, default build-win),
# NERVLANE_WIN_JOBS (parallel tests, default 4), NERVLANE_WIN_SKIP_BUILD=1 (run
# the tests of the last build again), NERVLANE_WIN_EXAMPLE=0 (skip the stream
# example built against the installed package).
# Exits non-zero when the build or any test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=${NERVLANE_WIN_BUILD:-build-win}
case "$BUILD" in /*) ;; *) BUILD="$ROOT/$BUILD" ;; esac
JOBS=${NERVLANE_WIN_JOBS:-4}

need=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64)
command -v wine >/dev/null || need+=(wine64 wine)
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "test-windows: missing packages ${need[*]} (run as root, or install them)" >&2
    exit 1
  fi
  echo "test-windows: installing ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y -qq --no-install-recommends g++-mingw-w64-x86-64 wine64 wine >/dev/null ||
    { apt-get update -qq && apt-get install -y -qq --no-install-recommends g++-mingw-w64-x86-64 wine64 wine >/dev/null; }
fi

PY=python3
[ -x "$ROOT/.venv/bin/python" ] && PY="$ROOT/.venv/bin/python"

mkdir -p "$BUILD"
export WINEPREFIX="$BUILD/wineprefix"
export WINEDEBUG=-all
# No Mono or Gecko: nothing here needs them, and asking for them stalls wineboot.
export WINEDLLOVERRIDES="mscoree,mshtml="

helper_pid=""
cleanup() {
  if [ -n "$helper_pid" ]; then
    kill "$helper_pid" 2>/dev/null || true
    wait "$helper_pid" 2>/dev/null || true
  fi
  wineserver -k </dev/null >/dev/null 2>&1 || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Helpers get /dev/null for their standard streams: one that inherits a caller's
# pipe can keep that pipe (and the caller) waiting after this script ends, and
# wineserver writes megabytes to stderr when a pty it holds is hung up.
wineserver -k </dev/null >/dev/null 2>&1 || true
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "test-windows: making the wine prefix $WINEPREFIX"
  wineboot -i </dev/null >/dev/null 2>&1 || true
  wineserver -w </dev/null >/dev/null 2>&1 || true
fi
# One persistent server for the whole run; without it every test program pays
# wine's start-up of about 2 s. The first program starts wine's background
# services, which keep the standard streams they inherit: start them here, on
# /dev/null, rather than inside ctest, whose pipes they would hold open.
wineserver -p </dev/null >/dev/null 2>&1 || true
wine cmd /c exit </dev/null >/dev/null 2>&1 || true

address_file="$BUILD/device_server.address"
rm -f "$address_file"
"$PY" "$ROOT/tests/wine/device_server.py" --wineprefix "$WINEPREFIX" --address-file "$address_file" \
  </dev/null >/dev/null 2>"$BUILD/device_server.log" &
helper_pid=$!
for _ in $(seq 100); do
  [ -s "$address_file" ] && break
  kill -0 "$helper_pid" 2>/dev/null || { echo "test-windows: device helper failed:" >&2; cat "$BUILD/device_server.log" >&2; exit 1; }
  sleep 0.1
done
[ -s "$address_file" ] || { echo "test-windows: device helper did not start" >&2; exit 1; }
export NERVLANE_DEVICE_SERVER
NERVLANE_DEVICE_SERVER=$(cat "$address_file")

if [ "${NERVLANE_WIN_SKIP_BUILD:-0}" != 1 ]; then
  cmake -S "$ROOT" -B "$BUILD" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
    -DNERVLANE_WERROR=ON -DNERVLANE_BUILD_BENCH=OFF -DNERVLANE_MSGPACK_PYTHON="$PY" -Wno-dev -Wno-deprecated >/dev/null
  cmake --build "$BUILD"
fi

ctest --test-dir "$BUILD" --output-on-failure -j "$JOBS" "$@"

# The installed package as a Windows user builds against it: the stream
# example, linked with the install, runs under wine on a COM port whose far end
# is the virtual sensor's pty, and must see frames and end with exit code 0
# when the sensor goes away.
if [ "${NERVLANE_WIN_EXAMPLE:-1}" = 1 ]; then
  rm -rf "$BUILD/install"
  cmake --install "$BUILD" --prefix "$BUILD/install" >/dev/null
  cmake -S "$ROOT/examples/cpp" -B "$BUILD/examples" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
    -Dnervlane_comm_DIR="$BUILD/install/lib/cmake/nervlane_comm" \
    -DCMAKE_CXX_FLAGS="-Wall -Wextra -Wpedantic -Werror" >/dev/null
  cmake --build "$BUILD/examples" >/dev/null
  params="$BUILD/examples/params.msgpack"
  device_out="$BUILD/examples/device.out"
  : >"$device_out"
  "$PY" -m nervlane.cli simulate --format binary --params "$params" --seconds 2 \
    </dev/null >"$device_out" 2>"$BUILD/examples/device.err" &
  device_pid=$!
  for _ in $(seq 100); do
    [ -s "$device_out" ] && break
    sleep 0.05
  done
  # COM222: outside the device helper's range (COM10 to COM199).
  ln -sfn "$(head -1 "$device_out")" "$WINEPREFIX/dosdevices/com222"
  status=0
  wine "$BUILD/examples/stream.exe" COM222 "Z:$params" </dev/null >"$BUILD/examples/stream.out" \
    2>"$BUILD/examples/stream.err" || status=$?
  wait "$device_pid" || true
  rm -f "$WINEPREFIX/dosdevices/com222"
  frames=$(sed -n 's/^frames: \([0-9]*\).*/\1/p' "$BUILD/examples/stream.err" | tail -1)
  if [ "$status" != 0 ] || [ "${frames:-0}" -eq 0 ]; then
    echo "test-windows: the stream example under wine exited $status with ${frames:-0} frames:" >&2
    cat "$BUILD/examples/stream.err" >&2
    exit 1
  fi
  echo "test-windows: stream example under wine, built against the install: ${frames} frames, then the device went away"
fi
