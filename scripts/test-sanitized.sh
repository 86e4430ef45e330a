#!/usr/bin/env bash
# Builds the tests of the code that reads what others can plant (settings, drafts, movies, model
# archives) and of the thread pool with AddressSanitizer and UndefinedBehaviorSanitizer, in a
# build folder of their own ($ZIMLO_SANITIZE_BUILD_DIR, build-sanitize by default), and runs
# them. Any sanitizer report or failed test fails the run; the time each part took is printed.
# Arguments are passed to every test program (--gtest_filter=... to run fewer).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${ZIMLO_SANITIZE_BUILD_DIR:-$top/build-sanitize}
programs=(
  tests/platform/storage/storage_tests
  tests/platform/runtime/runtime_tests
  tests/model/model_tests
  tests/platform/media/media_tests
  tests/platform/speech/speech_model_installer_tests
)
targets=()
for program in "${programs[@]}"; do targets+=("$(basename "$program")"); done

started=$SECONDS
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZIMLO_SANITIZE=ON \
  >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"
built=$SECONDS

# A report ends the program with an error; leaks count as well.
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
status=0
for program in "${programs[@]}"; do
  echo "== $program (sanitized)"
  "$build/$program" --gtest_brief=1 "$@" || status=1
done
echo "sanitized tests: built in $((built - started)) s, ran in $((SECONDS - built)) s," \
     "load average $(cut -d' ' -f1-3 /proc/loadavg)"
exit $status
