#!/usr/bin/env bash
# Builds and runs the whole test suite.
#   scripts/test.sh            plain build in build/, then every test binary whole, twice
#   scripts/test.sh asan       AddressSanitizer + UndefinedBehaviorSanitizer in build-asan/
#   scripts/test.sh tsan       ThreadSanitizer in build-tsan/
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
kind="${1:-plain}"
case "$kind" in
  plain) dir=build; sanitize="" ;;
  asan) dir=build-asan; sanitize="address,undefined" ;;
  # Every test: the server's connection threads, the reaper and the group commit run
  # under nearly every test, not only under those named for threads.
  tsan) dir=build-tsan; sanitize="thread" ;;
  *) echo "usage: $0 [plain|asan|tsan]" >&2; exit 2 ;;
esac
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGAVO_WERROR=ON \
  -DGAVO_SANITIZE="$sanitize" >/dev/null
cmake --build "$dir" -j "$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
ctest --test-dir "$dir" -j "$(nproc)" --output-on-failure
# ctest runs each test in a process of its own. Run every test binary whole as well, and
# twice over: a test must not lean on what an earlier one left in the process (counters,
# the library's state) nor pass only alone. Binaries run side by side; a failing one
# prints its output.
if [ "$kind" = plain ]; then
  find "$PWD/$dir/tests" -maxdepth 1 -type f -executable -name '*_test' -print0 |
    xargs -0 -r -n 1 -P "$(nproc)" sh -c 'cd "$(dirname "$1")" &&
      "$1" --gtest_repeat=2 --gtest_brief=1 > "$1.repeat.log" 2>&1 ||
      { cat "$1.repeat.log"; echo "FAILED whole, twice over: $1" >&2; exit 1; }' sh
fi
