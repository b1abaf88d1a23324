#!/usr/bin/env bash
# Sets up the machine and runs the demo: a virtual sensor streams, the module
# reads, zeroes and shows live calibrated values.
set -euo pipefail
cd "$(dirname "$0")/.."
NERVLANE_WITH_EXTRAS=0 bash scripts/setup.sh
exec .venv/bin/nervlane demo "$@"
