#!/usr/bin/env bash
# The side-by-side benchmark against Orthanc and storescp; see bench/run.sh.
exec "$(dirname "$0")/../bench/run.sh" "$@"
