#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time (FUZZ_SECONDS,
# 30 by default) from its committed seed corpus. New inputs go to a scratch directory, not
# the corpus; a crash leaves its input in build/fuzz/crashes/ and fails the command.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${FUZZ_SECONDS:-30}"
build="${FUZZ_BUILD_DIR:-build/fuzz}"
jobs=$(nproc)

targets=$(sed -n '/^set(VELLICOR_FUZZ_TARGETS/,/^)/{/^ /p}' fuzz/targets.cmake | tr -d ' ')
cmake --preset fuzz -B "$build" >/dev/null
cmake --build "$build" -j "$jobs" --target $(printf 'fuzz_%s ' $targets)

crashes="$build/crashes"
mkdir -p "$crashes"

# One target for its time; its log is shown when it finds something.
fuzz_one() {
  local t=$1 scratch="$build/scratch/$1"
  mkdir -p "$scratch"
  echo "fuzzing $t for ${seconds}s"
  if ! ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
       "$build/bin/fuzz_$t" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
       -print_final_stats=0 -artifact_prefix="$crashes/$t-" "$scratch" "fuzz/corpus/$t" \
       >"$build/fuzz-$t.log" 2>&1; then
    echo "fuzz target $t failed; see $build/fuzz-$t.log and $crashes/" >&2
    tail -n 30 "$build/fuzz-$t.log" >&2
    return 1
  fi
}
export -f fuzz_one
export build crashes seconds

# As many targets at once as there are cores: each is one process of its own.
printf '%s\n' $targets | xargs -P "$jobs" -I{} bash -c 'fuzz_one "$1"' _ {}
