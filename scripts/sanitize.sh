#!/usr/bin/env bash
# Builds the program and its tests with AddressSanitizer and
# UndefinedBehaviorSanitizer (clang, with the fuzz targets) into
# build-sanitize/, and runs the unit tests under them. Any finding aborts
# the test that made it. SANITIZE_LABELS chooses the test executables
# (default: core, db, toolkit and dicom); extra arguments go to ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-sanitize
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# -O1 with line tables only: quick to build on two cores, and the reports
# still name file and line.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Sanitize -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_FLAGS_SANITIZE="-O1 -gline-tables-only" -DCMAKE_CXX_FLAGS_SANITIZE="-O1 -gline-tables-only" \
  -DPACS_SANITIZE=ON -DPACS_FUZZ=ON "${launcher[@]}" >/dev/null
# The libraries, the service the tests start, the unit tests and the fuzzers.
targets=(${SANITIZE_TARGETS:-core_tests db_tests toolkit_tests dicom_tests talmir-pacsd fuzzers})
cmake --build "$build" --parallel "$(nproc)" --target "${targets[@]}"
[ -z "${SANITIZE_BUILD_ONLY:-}" ] || exit 0

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
ctest --test-dir "$build" --output-on-failure --parallel "$(nproc)" --timeout 900 \
  -L "${SANITIZE_LABELS:-^(core|db|toolkit|dicom)_tests\$}" "$@"
