#!/usr/bin/env bash
# Sets up what the demo needs (a C++ compiler, .venv on any Python 3.10 to 3.13
# found) and runs it: a virtual sensor streams, the module reads, zeroes and
# shows live calibrated values. Arguments go to nervlane demo (--view, --seconds S).
set -euo pipefail
cd "$(dirname "$0")/.."
NERVLANE_SETUP=demo bash scripts/setup.sh
exec .venv/bin/nervlane demo "$@"
