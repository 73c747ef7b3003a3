#!/usr/bin/env bash
# Installs what is missing, builds, and starts the server headless on the
# embedded archive in the default home folder (~/.local/share/talmir-pacs).
# Extra arguments go to the program, e.g. scripts/run.sh --home /srv/pacs
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
exec build/bin/talmir-pacsd "$@"
