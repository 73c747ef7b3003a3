#!/usr/bin/env bash
# The side-by-side benchmark (see bench/run.py --help): builds, installs
# Debian's orthanc package when it is missing, runs, writes bench/RESULTS.md.
#   bench/run.sh                                  # default sizes, about 4 minutes
#   bench/run.sh --studies 1000,10000             # the full index sizes
#   bench/run.sh --profile                        # perf profile of our server per step
set -euo pipefail
cd "$(dirname "$0")/.."
command -v Orthanc >/dev/null || { apt-get install -y orthanc >/dev/null; }
command -v perf >/dev/null || ! [[ " $* " == *" --profile "* ]] || apt-get install -y linux-perf >/dev/null
scripts/build.sh >/dev/null
exec python3 bench/run.py "$@"
