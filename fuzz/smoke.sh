#!/usr/bin/env bash
# Short fuzzing run for CI: builds the target, replays every saved regression
# input, then fuzzes for FUZZ_SECONDS (default 60) from the seed corpus with a
# fixed seed (FUZZ_SEED, default 1). Exits non-zero on any finding (crash,
# sanitizer report, leak, timeout, memory limit). The limits leave room for
# what the budgets allow: a few hundred input bytes may copy 16,777,216 cells.
#
#   bash fuzz/smoke.sh
#   FUZZ_SECONDS=600 FUZZ_SEED=7 bash fuzz/smoke.sh
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="${FUZZ_OUT:-$root/build-fuzz}"
seconds="${FUZZ_SECONDS:-60}"
limits=(-timeout=60 -rss_limit_mb=6144)

bash "$root/fuzz/build.sh"
"${PYTHON:-python3}" "$root/fuzz/make_corpus.py" "$out/seeds"

# Each file must decode within the invariant; a directory run would cut inputs
# longer than -max_len.
shopt -s nullglob
regressions=("$root"/fuzz/regressions/*)
if ((${#regressions[@]})); then
  "$out/fuzz_loads" "${limits[@]}" "${regressions[@]}"
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
"$out/fuzz_loads" -dict="$root/fuzz/vesk.dict" -max_len=4096 "${limits[@]}" \
  -seed="${FUZZ_SEED:-1}" -max_total_time="$seconds" -print_final_stats=1 \
  -artifact_prefix="$out/artifacts/" "$work" "$out/seeds" ${regressions[@]+"$root/fuzz/regressions"} \
  >"$out/smoke.log" 2>&1 || {
  tail -n 60 "$out/smoke.log" >&2
  echo "fuzz smoke: finding saved under $out/artifacts/" >&2
  exit 1
}
grep -E '^#[0-9]+[[:space:]]+DONE|average_exec_per_sec' "$out/smoke.log"
echo "fuzz smoke: no findings in ${seconds}s"

# The encoder's round trip, from an empty corpus: its inputs are programs that
# build objects, not documents.
dumps_work="$(mktemp -d)"
trap 'rm -rf "$work" "$dumps_work"' EXIT
"$out/fuzz_dumps" -max_len=1024 "${limits[@]}" -seed="${FUZZ_SEED:-1}" \
  -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$out/artifacts/dumps-" \
  "$dumps_work" >"$out/smoke-dumps.log" 2>&1 || {
  tail -n 60 "$out/smoke-dumps.log" >&2
  echo "fuzz smoke (dumps): finding saved under $out/artifacts/" >&2
  exit 1
}
grep -E '^#[0-9]+[[:space:]]+DONE|average_exec_per_sec' "$out/smoke-dumps.log"
echo "fuzz smoke (dumps): no findings in ${seconds}s"
