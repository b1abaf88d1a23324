#!/usr/bin/env bash
# Installs everything the project needs on a fresh Debian machine (as root) and
# builds the Python module into .venv. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

APT_PACKAGES=(build-essential ninja-build pkg-config googletest libgtest-dev locales clang-format)
if [ "${NERVLANE_WITH_EXTRAS:-1}" = 1 ]; then
  # Sanitizer runtimes, the fuzzer's compiler, and the Windows cross build under wine.
  APT_PACKAGES+=(clang libclang-rt-14-dev g++-mingw-w64-x86-64 wine64 wine strace)
  # The browser view's tests drive Debian's headless chromium through its own driver.
  APT_PACKAGES+=(chromium chromium-driver)
fi

missing=()
for p in "${APT_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "setup: missing Debian packages: ${missing[*]} (run as root, or install them)" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=600 update -qq
  apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Python 3.13: the one on PATH, else pyenv's. Other versions are for the
# version matrix (scripts/test-pythons.sh), which uses those it finds.
PY=$(bash scripts/find-python.sh 3.13) || { echo "setup: Python 3.13 not found (apt-get install python3.13, or pyenv install 3.13)" >&2; exit 1; }

if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
  rm -rf .venv
  "$PY" -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip
# The build requirements go into .venv too: the plain CMake builds (C++ tests,
# sanitizers, wine, fuzzers) take msgpack-cxx's headers from there.
.venv/bin/python -c 'import tomllib; print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"]))' |
  xargs -d '\n' .venv/bin/python -m pip install -q
# selenium drives chromium in the browser view's tests (with Debian's driver: it downloads nothing).
.venv/bin/python -m pip install -q ".[test,plot,remote,view,mcap]" "selenium>=4.10"
