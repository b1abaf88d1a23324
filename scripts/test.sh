#!/usr/bin/env bash
# Sets up the machine and runs every test: the style checks, the C++ suite (plain, with
# AddressSanitizer+UBSan, with ThreadSanitizer), the installed C++ package and
# its examples, the Windows backend's suite and example under wine, the Python
# suite against the installed module (3.13), and the source distribution under
# each other CPython 3.10 to 3.12 on the machine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
export PATH="$PWD/.venv/bin:$PATH"
jobs=$(nproc)

step() { printf '\n=== %s ===\n' "$*"; }

# The test builds take msgpack-cxx from the .venv's PyPI package (the CMake
# hint below), never from a CMake package or the system's include folders
# that one machine may have: every header a build compiled must come from there.
check_msgpack_headers() {  # build-dir, pattern every header's path must match
  local headers
  headers=$(ninja -C "$1" -t deps | grep -E '^ .*/msgpack(\.hpp|/.*)$' | sed 's/^ *//' | sort -u)
  if [ -z "$headers" ]; then
    echo "msgpack headers: none recorded in $1" >&2; return 1
  fi
  if grep -Ev -- "$2" <<<"$headers" | head -5 | grep .; then
    echo "msgpack headers: $1 compiled the ones above, from outside $2" >&2; return 1
  fi
  echo "msgpack headers: $(wc -l <<<"$headers") in $1, all from $(sed 's|/msgpack_cxx/.*||' <<<"$headers" | sort -u | head -1)"
}

run_cpp_suite() {  # build-dir, extra cmake options...
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DNERVLANE_WERROR=ON -DNERVLANE_MSGPACK_PYTHON="$PWD/.venv/bin/python" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" --output-on-failure -j"$jobs"
}

# A comma-decimal locale for the test that a host's locale cannot change how
# numbers are read; made in the build folder, so the machine is not touched.
mkdir -p build/locale
localedef -i de_DE -f UTF-8 build/locale/de_DE.UTF-8 2>/dev/null || echo "note: no de_DE locale could be made; the locale test will fail"

step "Style: ruff and clang-format"
ruff check .
ruff format --check .
git ls-files -z '*.c' '*.cc' '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror

step "C++ tests"
# NERVLANE_REQUIRE_COMMA_LOCALE=1: the locale test fails rather than skips
# when it finds no comma-decimal locale.
LOCPATH="$PWD/build/locale" NERVLANE_REQUIRE_COMMA_LOCALE=1 run_cpp_suite build/native
check_msgpack_headers build/native "^$PWD/\.venv/"
# setup.sh's pip install built the module in pip's own build environment.
check_msgpack_headers "$(echo build/skbuild-*/)" "/pip-build-env-[^/]*/"

step "C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_cpp_suite build/asan -DNERVLANE_SANITIZE=address -DNERVLANE_BUILD_BENCH=OFF

step "C++ tests under ThreadSanitizer"
# ThreadSanitizer needs a fixed address layout; setarch -R turns randomisation
# off for the run without touching the machine's settings.
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  setarch "$(uname -m)" -R bash -c "$(declare -f run_cpp_suite); jobs=$jobs; run_cpp_suite build/tsan -DNERVLANE_SANITIZE=thread -DNERVLANE_BUILD_BENCH=OFF"

step "C++ package: installed static and shared, examples built against it and run, FetchContent"
bash scripts/test-cpp-package.sh

if [ -f scripts/test-windows.sh ]; then
  step "C++ tests of the Windows backend under wine"
  bash scripts/test-windows.sh
  check_msgpack_headers build-win "^$PWD/\.venv/"
fi

step "Fuzz corpus replay"
bash scripts/fuzz-replay.sh
check_msgpack_headers build/fuzz "^$PWD/\.venv/"

step "Python versions 3.10 to 3.12, from the source distribution"
bash scripts/test-pythons.sh

step "Python tests ($(python -c 'import platform; print(platform.python_version())'))"
set +e
python -m pytest
status=$?
set -e
if [ $status -ne 0 ] && [ $status -ne 5 ]; then exit $status; fi
