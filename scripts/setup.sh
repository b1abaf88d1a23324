#!/usr/bin/env bash
# Installs what the project needs and builds the Python module into .venv. Safe to run again.
#   bash scripts/setup.sh                      everything the tests need: Debian packages (as root),
#                                              .venv on Python 3.13 with every extra
#   NERVLANE_SETUP=demo bash scripts/setup.sh  what the demo needs: a C++ compiler, .venv on the
#                                              first Python 3.13, 3.12, 3.11 or 3.10 found
# NERVLANE_WITH_EXTRAS=0 leaves out the test run's sanitizer, fuzzer, wine and browser packages.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${NERVLANE_SETUP:-test}

if [ "$mode" = demo ]; then
  APT_PACKAGES=(build-essential)
  PYTHONS=(3.13 3.12 3.11 3.10)
else
  APT_PACKAGES=(build-essential ninja-build pkg-config googletest libgtest-dev locales clang-format)
  if [ "${NERVLANE_WITH_EXTRAS:-1}" = 1 ]; then
    # Sanitizer runtimes, the fuzzer's compiler, and the Windows cross build under wine.
    APT_PACKAGES+=(clang libclang-rt-14-dev g++-mingw-w64-x86-64 wine64 wine strace)
    # The browser view's tests drive Debian's headless chromium through its own driver.
    APT_PACKAGES+=(chromium chromium-driver)
  fi
  # The main test run is on 3.13; scripts/test-pythons.sh covers 3.10 to 3.12 with those it finds.
  PYTHONS=(3.13)
fi

if ! command -v dpkg-query >/dev/null; then
  echo "setup: not a Debian system, so no packages are installed; if a step below fails, install the" \
    "like of ${APT_PACKAGES[*]} with this system's package manager" >&2
else
  missing=()
  for p in "${APT_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" != 0 ]; then
      echo "setup: missing Debian packages: ${missing[*]}" >&2
      echo "setup: install them as root (sudo apt-get install ${missing[*]}), then run this again" >&2
      exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get -o DPkg::Lock::Timeout=600 update -qq
    apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
fi

if ! command -v c++ >/dev/null && ! command -v g++ >/dev/null && ! command -v clang++ >/dev/null; then
  echo "setup: no C++ compiler found: install g++ or clang++ (Debian: apt-get install build-essential)" >&2
  exit 1
fi

# A .venv on a wanted version stays; else one is made with the first wanted
# version found: on PATH, pyenv's, /usr/local/bin's or /usr/bin's.
have=$(.venv/bin/python -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null || true)
if [[ " ${PYTHONS[*]} " != *" $have "* ]] || [ -z "$have" ]; then
  PY=
  for version in "${PYTHONS[@]}"; do
    PY=$(bash scripts/find-python.sh "$version") && break
    PY=
  done
  if [ -z "$PY" ]; then
    echo "setup: no Python ${PYTHONS[*]} found (apt-get install python3, or pyenv install ${PYTHONS[0]})" >&2
    exit 1
  fi
  rm -rf .venv
  "$PY" -m venv .venv || { echo "setup: $PY cannot make a venv (Debian: apt-get install python3-venv)" >&2; exit 1; }
fi
.venv/bin/python -m pip install -q --upgrade pip
if [ "$mode" = demo ]; then
  # The module and the nervlane command, with the browser view for demo.sh --view.
  .venv/bin/python -m pip install -q ".[view]"
  exit 0
fi
# The build requirements go into .venv too: the plain CMake builds (C++ tests,
# sanitizers, wine, fuzzers) take msgpack-cxx's headers from there.
.venv/bin/python -c 'import tomllib; print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"]))' |
  xargs -d '\n' .venv/bin/python -m pip install -q
# selenium drives chromium in the browser view's tests (with Debian's driver: it downloads nothing).
.venv/bin/python -m pip install -q ".[test,plot,remote,view,mcap]" "selenium>=4.10"
