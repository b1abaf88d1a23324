#!/usr/bin/env bash
# The source distribution and the supported CPython versions: builds an sdist,
# installs it with every extra (plot, remote, view) into a fresh venv for each
# CPython 3.10 to 3.12 on this machine (one build per version), checks that it
# imports from outside the source tree, and runs the Python suite against it:
# Zenoh and the view's server run on every version. The browser tests, whose
# page does not depend on Python's version, run in the main run only (3.13 in
# .venv, scripts/test.sh). Versions that are not on the machine are skipped and
# named; with none found, the sdist is still built and imported under 3.13.
#   scripts/test-pythons.sh            versions 3.10 3.11 3.12
#   NERVLANE_PYTHONS="3.11" scripts/test-pythons.sh
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
out=$ROOT/build/pythons
rm -rf "$out"
mkdir -p "$out"

.venv/bin/python -m pip install -q build
.venv/bin/python -m build --sdist --outdir "$out" . >"$out/sdist.log" 2>&1 ||
  { cat "$out/sdist.log" >&2; exit 1; }
sdist=$(echo "$out"/nervlane_comm-*.tar.gz)
echo "python-matrix: $(basename "$sdist"), $(du -k "$sdist" | cut -f1) KiB"

tested=()
skipped=()
failed=()
pythons=()
for version in ${NERVLANE_PYTHONS:-3.10 3.11 3.12}; do
  if py=$(bash scripts/find-python.sh "$version"); then
    pythons+=("$version:$py")
  else
    skipped+=("$version")
    echo "python-matrix: $version: skipped, not on this machine (pyenv install $version adds it)"
  fi
done
import_only=0
if [ ${#pythons[@]} -eq 0 ]; then
  pythons=("3.13:$ROOT/.venv/bin/python")
  import_only=1
fi

for entry in "${pythons[@]}"; do
  version=${entry%%:*}
  py=${entry#*:}
  venv=$out/venv-$version
  started=$SECONDS
  "$py" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  if ! "$venv/bin/python" -m pip install -q "$sdist[test,plot,remote,view,mcap]" >"$out/install-$version.log" 2>&1; then
    cat "$out/install-$version.log" >&2
    failed+=("$version")
    continue
  fi
  # From outside the tree, so the installed copy is what imports.
  (cd "$out" && "$venv/bin/python" -c 'import nervlane, nervlane_comm_py; print(nervlane_comm_py.__version__)') >/dev/null ||
    { failed+=("$version"); continue; }
  if [ "$import_only" = 1 ]; then
    echo "python-matrix: $version: the sdist builds and imports ($((SECONDS - started)) s)"
    continue
  fi
  set +e
  "$venv/bin/python" -m pytest -q -p no:cacheprovider -m "not browser"
  status=$?
  set -e
  if [ $status -eq 0 ]; then
    tested+=("$version")
  else
    failed+=("$version")
  fi
  echo "python-matrix: $version: pytest exit $status ($((SECONDS - started)) s with the build)"
done

echo "python-matrix: tested ${tested[*]:-none}; skipped ${skipped[*]:-none}; failed ${failed[*]:-none}"
[ ${#failed[@]} -eq 0 ]
