#!/usr/bin/env bash
# Builds the package and runs the test suite on every CPython from 3.9 to 3.13
# that pyenv keeps on this machine, each in a virtual environment of its own
# (.venv-3.X, built in build-3.X; 3.13 a second time with VESK_PUBLIC_API_ONLY,
# in .venv-3.13-public). Fails if
# any version fails, or if none is found. Versions listed in SKIP_VERSIONS
# (say "3.11") are left out, for a caller that has tested them already. Extra
# arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

root="$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")"
found=0
failed=()
for run in 9 10 11 12 13 13-public; do
  minor="${run%-public}"
  version="3.$minor"
  if [[ " ${SKIP_VERSIONS:-} " == *" $version "* ]]; then
    echo "== CPython $version: tested by the caller, skipped"
    continue
  fi
  python=""
  for candidate in "$root"/versions/"$version".*/bin/python"$version"; do
    [[ -x "$candidate" ]] && python="$candidate"
  done
  if [[ -z "$python" ]]; then
    echo "== CPython $version: not installed, skipped"
    continue
  fi
  found=$((found + 1))
  echo "== CPython $version: $python"
  venv=".venv-3.$run"
  # The newest version is built a second time with the public fallback of
  # every private CPython call, so that the fallback passes the whole suite too.
  extra=()
  if [[ "$run" == *-public ]]; then
    extra=(--config-settings=cmake.define.VESK_PUBLIC_API_ONLY=ON)
    echo "== CPython $version: public API only"
  fi
  if "$python" -m venv --clear "$venv" &&
    "$venv/bin/pip" install -q '.[test]' --config-settings=build-dir="build-3.$run" "${extra[@]}" &&
    "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"; then
    echo "== CPython $version: passed"
  else
    echo "== CPython $version: FAILED"
    failed+=("$version")
  fi
done
if ((found == 0)) && [[ -z "${SKIP_VERSIONS:-}" ]]; then
  echo "no CPython 3.9-3.13 found under $root/versions" >&2
  exit 1
fi
if ((${#failed[@]})); then
  echo "failed on CPython ${failed[*]}" >&2
  exit 1
fi
