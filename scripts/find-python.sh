#!/usr/bin/env bash
# Prints the full path of a CPython X.Y interpreter on this machine, or exits 1:
# the one on PATH, else pyenv's, else /usr/local/bin's or /usr/bin's.
#   scripts/find-python.sh 3.12
set -euo pipefail
want=${1:?usage: find-python.sh X.Y}
pyenv_root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
for candidate in "python$want" "$pyenv_root"/versions/"$want".*/bin/"python$want" \
                 "/usr/local/bin/python$want" "/usr/bin/python$want"; do
  # A pyenv shim exists for every installed version but runs only the selected
  # ones, so each candidate is asked for its version and its real path.
  if found=$("$candidate" -c "import sys; assert '%d.%d' % sys.version_info[:2] == '$want'; print(sys.executable)" 2>/dev/null); then
    echo "$found"
    exit 0
  fi
done
exit 1
