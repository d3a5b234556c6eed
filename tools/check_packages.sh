#!/usr/bin/env bash
# Builds a wheel (pip wheel .) and an sdist (python -m build --sdist), installs
# each into a fresh virtual environment and runs a smoke test there, outside
# the source tree: the modules import, a document decodes, and the installed
# console script validates and inspects the sample document.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

python3 -m venv "$work/tools"
"$work/tools/bin/pip" install -q build
"$work/tools/bin/pip" wheel -q --no-deps -w "$work/dist" "$root"
"$work/tools/bin/python" -m build -q --sdist -o "$work/dist" "$root"

smoke() {
  local venv="$1" package="$2"
  python3 -m venv "$venv"
  "$venv/bin/pip" install -q "$package"
  (
    cd "$work"
    "$venv/bin/python" - "$root/examples/orders.vesk" <<'PY'
import sys

import vesk
import vesk_native

assert vesk_native.__all__ == ["loads_binary", "VeskError"]
assert vesk.loads is vesk_native.loads_binary and vesk.VeskError is vesk_native.VeskError
with open(sys.argv[1], "rb") as f:
    value = vesk.load(f)
assert value and vesk.Decoder(max_depth=64).decode(open(sys.argv[1], "rb").read()) == value
try:
    vesk.loads(b"\x0f\x02")
except vesk.VeskError as e:
    assert (e.message, e.offset) == ("unsupported binary version 2", 1)
print("smoke:", vesk_native.__file__)
PY
    "$venv/bin/vesk" validate "$root/examples/orders.vesk"
    "$venv/bin/vesk" inspect "$root/examples/orders.vesk" >/dev/null
    "$venv/bin/python" -m vesk to-json "$root/examples/orders.vesk" >/dev/null
  )
}

wheel=("$work"/dist/*.whl)
sdist=("$work"/dist/*.tar.gz)
echo "== wheel: $(basename "${wheel[0]}")"
smoke "$work/venv-wheel" "${wheel[0]}"
echo "== sdist: $(basename "${sdist[0]}")"
smoke "$work/venv-sdist" "${sdist[0]}"
echo "packages: wheel and sdist install and pass the smoke test"
