#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UBSan) and runs each
# over its corpus in fuzz/corpus/<target>/ once, without mutating: every input
# that once found a new path must still pass. The decoder corpora are replayed
# twice: through the in-memory port the fuzzers use, and through a real
# pseudo-terminal and the POSIX backend. Takes a minute or two.
#   scripts/fuzz-replay.sh            build in build/fuzz
#   FUZZ_BUILD_DIR=dir scripts/fuzz-replay.sh
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${FUZZ_BUILD_DIR:-build/fuzz}
cxx=${FUZZ_CXX:-$(command -v clang++-14 || command -v clang++ || true)}
if [ -z "$cxx" ]; then
  echo "fuzz-replay: no clang++ found (Debian: apt-get install clang libclang-rt-14-dev)" >&2
  exit 1
fi

targets=(fuzz_parameter_file fuzz_protocol_string fuzz_protocol_binary fuzz_protocol_binary_encrypt)
builds=("${targets[@]}" fuzz_protocol_string_pty fuzz_protocol_binary_pty fuzz_protocol_binary_encrypt_pty)

# msgpack-cxx from the .venv's PyPI package, as every test build takes it.
msgpack_python=()
[ -x .venv/bin/python ] && msgpack_python=(-DNERVLANE_MSGPACK_PYTHON="$PWD/.venv/bin/python")
cmake -S . -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DNERVLANE_FUZZ=ON -DNERVLANE_SANITIZE=address \
  -DNERVLANE_BUILD_TESTS=OFF -DNERVLANE_WERROR=ON "${msgpack_python[@]}" >/dev/null
cmake --build "$dir" --target "${builds[@]}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
passed=0
failed=0
for exe in "${builds[@]}"; do
  corpus=fuzz/corpus/${exe%_pty}
  log=$dir/fuzz/$exe.replay.log
  count=$(find "$corpus" -type f | wc -l)
  # With only directories as arguments and -runs=0, libFuzzer runs every
  # file once and stops.
  if "$dir/fuzz/$exe" -runs=0 -timeout=10 "$corpus" >"$log" 2>&1; then
    echo "fuzz-replay: $exe: $count inputs, ok"
    passed=$((passed + 1))
  else
    echo "fuzz-replay: $exe: FAILED over $corpus; its log:" >&2
    tail -n 40 "$log" >&2
    failed=$((failed + 1))
  fi
done
echo "fuzz-replay: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
