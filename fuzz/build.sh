#!/usr/bin/env bash
# Builds the libFuzzer targets: the modules' sources with fuzz/fuzz_loads.cpp
# (the decoder) and with fuzz/fuzz_dumps.cpp (the encoder's round trip), each
# in one binary with the address and undefined-behaviour sanitizers, linked
# against the interpreter's shared library.
#
#   bash fuzz/build.sh                    # -> build-fuzz/fuzz_loads, build-fuzz/fuzz_dumps (installs clang if missing)
#   PYTHON=/path/to/python3 bash fuzz/build.sh
#
# Running it (seeds from fuzz/make_corpus.py; new inputs go to build-fuzz/corpus):
#   python3 fuzz/make_corpus.py           # -> fuzz/corpus/
#   build-fuzz/fuzz_loads -dict=fuzz/vesk.dict -max_len=4096 -timeout=60 \
#       -rss_limit_mb=6144 -artifact_prefix=build-fuzz/artifacts/ \
#       build-fuzz/corpus fuzz/corpus
#   ... -fork=1 -ignore_crashes=1 -max_total_time=3600   # long runs that go on past findings
#   VESK_FUZZ_DIFF=1 build-fuzz/fuzz_loads ...   # also compare with tests/reference.py
#   build-fuzz/fuzz_loads build-fuzz/artifacts/crash-...   # replay one input
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$root/build-fuzz"
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
cxx=(clang++-14 -std=c++20 -O1 -g "${san[@]}" -fsanitize=fuzzer-no-link -I"$root/src" $py_cflags)

objs=()
pids=()
for src in "$root"/src/*.cpp "$root"/src/*/*.cpp "$root"/fuzz/fuzz_*.cpp; do
  obj="$out/obj/$(realpath --relative-to="$root" "$src" | tr / _).o"
  [[ "$src" == */fuzz/* ]] || objs+=("$obj")
  # Rebuilt when the source or any header is newer than the object.
  if [[ ! -f "$obj" || -n "$(find "$root/src" "$src" -newer "$obj" \( -name '*.cpp' -o -name '*.hpp' \) -print -quit)" ]]; then
    # Two compilers at a time: the machine is shared.
    while (( $(jobs -rp | wc -l) >= 2 )); do sleep 0.2; done
    "${cxx[@]}" -DVESK_TESTS_DIR="\"$root/tests\"" -c "$src" -o "$obj" &
    pids+=($!)
  fi
done
for pid in ${pids[@]+"${pids[@]}"}; do
  wait "$pid"
done
for target in fuzz_loads fuzz_dumps; do
  clang++-14 "${san[@]}" -fsanitize=fuzzer "${objs[@]}" "$out/obj/fuzz_$target.cpp.o" \
    -o "$out/$target" $py_ldflags -Wl,-rpath,"$py_libdir"
  echo "built $out/$target"
done
