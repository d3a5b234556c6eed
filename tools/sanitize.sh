#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer into a
# virtual environment of its own (.venv-asan, built in build-asan) and runs the
# whole test suite against it. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

# The sanitizer runtime preloaded below must be the one of the compiler that
# built the module.
cxx=g++

python3 -m venv .venv-asan
.venv-asan/bin/pip install -q '.[test]' \
  -Cbuild-dir=build-asan \
  -Ccmake.build-type=RelWithDebInfo \
  -Ccmake.define.VESK_SANITIZE=ON \
  -Ccmake.define.CMAKE_CXX_COMPILER="$cxx"

# The interpreter itself is not instrumented, so the runtime must be loaded
# first; PYTHONMALLOC=malloc lets the sanitizer see every Python allocation,
# and the interpreter's deliberate leaks at exit are not reported. Instrumented
# frames are several times larger, so the test that bounds the stack a deep
# decode needs gives its thread more (512 nested values need several MiB).
LD_PRELOAD="$("$cxx" -print-file-name=libasan.so)" \
  PYTHONMALLOC=malloc \
  ASAN_OPTIONS=detect_leaks=0 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  VESK_TEST_STACK_SIZE=$((16 * 1024 * 1024)) \
  .venv-asan/bin/python -m pytest "$@"
