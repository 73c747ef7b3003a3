#!/usr/bin/env bash
# Runs every fuzz target for a while (default 20 s each, as many at once as
# there are cores; scripts/fuzz.sh 3600
# for an hour each, or FUZZ_TARGETS="fuzz_dataset" for one). The targets are
# built by scripts/sanitize.sh into build-sanitize/ (built here when missing).
# New inputs collect in build-sanitize/fuzz-corpus/<target>/, a crashing input
# in build-sanitize/fuzz-artifacts/; the committed seeds are only read.
# The runs start from a fixed random seed (FUZZ_SEED, default 1), so the CI
# run explores the same way each time; FUZZ_SEED=0 lets libFuzzer pick one.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-20}"
build=build-sanitize
targets=(${FUZZ_TARGETS:-fuzz_tsql_translator fuzz_person_name fuzz_image_path fuzz_character_sets fuzz_dataset fuzz_file fuzz_lossless_jpeg})
missing=()
for t in "${targets[@]}"; do [ -x "$build/bin/$t" ] || missing+=("$t"); done
if [ ${#missing[@]} -gt 0 ]; then
  SANITIZE_TARGETS="${missing[*]}" SANITIZE_BUILD_ONLY=1 scripts/sanitize.sh >/dev/null
fi
# DCMTK sets aside the length an element declares before its bytes arrive
# (up to 4 GB, never touched): a single allocation that large is no fault.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
mkdir -p "$build/fuzz-artifacts"
rm -f "$build"/fuzz-artifacts/*.result
# As many targets at once as there are cores; each reports in the order given.
run_target() {
  local t="$1" seeds="tests/fuzz/corpus/${1#fuzz_}" work="$build/fuzz-corpus/$1"
  mkdir -p "$work"
  if "$build/bin/$t" -seed="${FUZZ_SEED:-1}" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -malloc_limit_mb=8192 -max_len=65536 \
      -print_final_stats=1 -artifact_prefix="$build/fuzz-artifacts/$t-" "$work" "$seeds" 2>"$build/fuzz-artifacts/$t.log"; then
    echo ok >"$build/fuzz-artifacts/$t.result"
  else
    echo fault >"$build/fuzz-artifacts/$t.result"
  fi
}
jobs_at_once="$(nproc)"
for ((i = 0; i < ${#targets[@]}; i += jobs_at_once)); do
  for t in "${targets[@]:i:jobs_at_once}"; do run_target "$t" & done
  wait
done
status=0
for t in "${targets[@]}"; do
  echo "== $t: ${seconds} s"
  if [ "$(cat "$build/fuzz-artifacts/$t.result" 2>/dev/null)" != ok ]; then
    echo "$t found a fault; the input is in $build/fuzz-artifacts/:"
    tail -n 60 "$build/fuzz-artifacts/$t.log"
    status=1
  else
    grep -E "stat::number_of_executed_units|stat::new_units_added" "$build/fuzz-artifacts/$t.log" | tr '\n' ' '
    echo
  fi
done
exit $status
