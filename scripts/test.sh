#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test; then the unit tests
# under the sanitizers and a short run of every fuzz target (README, "Tests").
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
ctest --test-dir build --output-on-failure --parallel "$(nproc)" --timeout 600
[ -n "${SKIP_SANITIZE:-}" ] || scripts/sanitize.sh
[ -n "${SKIP_FUZZ:-}" ] || scripts/fuzz.sh "${FUZZ_SECONDS:-20}"
