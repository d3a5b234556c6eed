#!/usr/bin/env bash
# Builds the libFuzzer targets: the module's sources, compiled once, linked
# with each fuzz/fuzz_*.cpp into a binary of the same name, all with the
# address and undefined-behaviour sanitizers, against the interpreter's shared
# library. VESK_FUZZ makes the decoder report the cells its budgets paid for.
#
#   bash fuzz/build.sh                    # -> build-fuzz/fuzz_loads, ... (installs clang if missing)
#   PYTHON=/path/to/python3 bash fuzz/build.sh
#
# Running it (seeds from fuzz/make_corpus.py; new inputs go to build-fuzz/corpus):
#   python3 fuzz/make_corpus.py           # -> fuzz/corpus/
#   build-fuzz/fuzz_loads -dict=fuzz/vesk.dict -max_len=4096 -timeout=60 \
#       -rss_limit_mb=6144 -artifact_prefix=build-fuzz/artifacts/ \
#       build-fuzz/corpus fuzz/corpus
#   ... -fork=1 -ignore_crashes=1 -max_total_time=3600   # long runs that go on past findings
#   VESK_FUZZ_DIFF=1 build-fuzz/fuzz_loads ...   # also compare with tests/reference.py
#   VESK_FUZZ_MEMORY=report build-fuzz/fuzz_loads ...   # print peak/bound ratios, never abort on them
#   build-fuzz/fuzz_loads build-fuzz/artifacts/crash-...   # replay one input
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="${FUZZ_OUT:-$root/build-fuzz}"
python="${PYTHON:-python3}"

if ! command -v clang++-14 >/dev/null || ! ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-14 libclang-rt-14-dev >/dev/null
fi

# The interpreter's own config script, so the binary embeds the same Python
# that runs the tests.
py_config="$("$python" -c 'import os, sysconfig; print(os.path.join(sysconfig.get_config_var("BINDIR"), "python" + sysconfig.get_config_var("VERSION") + "-config"))')"
py_cflags="$("$py_config" --includes)"
py_ldflags="$("$py_config" --embed --ldflags)"
py_libdir="$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("LIBDIR"))')"

mkdir -p "$out/obj" "$out/artifacts" "$out/corpus"
san=(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
cxx=(clang++-14 -std=c++20 -O1 -g "${san[@]}" -fsanitize=fuzzer-no-link -DVESK_FUZZ
     -I"$root/src" $py_cflags -DVESK_TESTS_DIR="\"$root/tests\"")

# Compiles $1 into $out/obj unless the object is newer than it and every header.
pids=()
compile() {
  local src="$1" obj
  obj="$out/obj/$(realpath --relative-to="$root" "$src" | tr / _).o"
  if [[ ! -f "$obj" || -n "$(find "$root/src" "$src" -newer "$obj" \( -name '*.cpp' -o -name '*.hpp' \) -print -quit)" ]]; then
    # Two compilers at a time: the machine is shared.
    while (( $(jobs -rp | wc -l) >= 2 )); do sleep 0.2; done
    "${cxx[@]}" -c "$src" -o "$obj" &
    pids+=($!)
  fi
  echo "$obj" >>"$out/obj/.list"
}

rm -f "$out/obj/.list"
for src in "$root"/src/*.cpp "$root"/src/*/*.cpp; do
  compile "$src"
done
mapfile -t module_objs <"$out/obj/.list"
targets=("$root"/fuzz/fuzz_*.cpp)
for src in "${targets[@]}"; do
  compile "$src"
done
for pid in ${pids[@]+"${pids[@]}"}; do
  wait "$pid"
done
for src in "${targets[@]}"; do
  name="$(basename "$src" .cpp)"
  clang++-14 "${san[@]}" -fsanitize=fuzzer "${module_objs[@]}" "$out/obj/fuzz_$name.cpp.o" \
    -o "$out/$name" $py_ldflags -Wl,-rpath,"$py_libdir"
  echo "built $out/$name"
done
