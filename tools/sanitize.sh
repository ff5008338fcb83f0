#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# into a build directory of its own and runs the whole test suite against it,
# the sanitizer runtime preloaded into the interpreter. The first report of
# either sanitizer, or a leak of the module's own allocations at exit, fails
# the run. Needs cmake, a C++ compiler with the sanitizer runtimes, and
# pybind11 and the test extra importable by the interpreter.
# Arguments go to pytest: tools/sanitize.sh tests/test_slave.py -x
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${ZUL_MEW_SANITIZE_BUILD:-build-sanitize}
python=$(python3 -c 'import sys; print(sys.executable)')

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZUL_MEW_SANITIZE=ON -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build" -j "${ZUL_MEW_JOBS:-2}"

# The interpreter itself is not instrumented, so the runtime must be loaded
# before it starts; the relay of the virtual cable inherits it too.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
export ASAN_OPTIONS=detect_leaks=1:malloc_context_size=2:halt_on_error=1:abort_on_error=0:exitcode=86:detect_stack_use_after_return=0
export LSAN_OPTIONS=suppressions=$root/tools/lsan.supp:print_suppressions=0:malloc_context_size=2:exitcode=87
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:exitcode=88
export PYTHONPATH=$root/$build:$root/python
# The suite's waits for the machine's pace stretch for this slower build.
export ZUL_MEW_SLOWDOWN=${ZUL_MEW_SLOWDOWN:-3}
exec "$python" -m pytest -q -p no:cacheprovider "$@"
