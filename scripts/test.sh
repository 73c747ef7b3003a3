#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the whole suite on
# the embedded archive, then the archive's tests again on a PostgreSQL server
# (a private cluster started here, on a free port, in a temporary folder),
# reached through libpq and through ODBC; then the unit tests under the
# sanitizers and a short run of every fuzz target (README, "Tests").
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh

ctest --test-dir build --output-on-failure --parallel "$(nproc)" --timeout 600

cluster="$(mktemp -d /tmp/pacs-pg.XXXXXX)"
chmod 755 "$cluster"
trap 'scripts/pg-cluster.sh stop "$cluster/pg"; rm -rf "$cluster"' EXIT
server="$(scripts/pg-cluster.sh start "$cluster/pg")"

# The tests that install or run an archive; the others do not touch the database.
archive_tests='db_tests|dicom_tests|transfer_tests|browser_tests|tools_tests|app_tests'
# The restart of the server runs alone: it would cut every other test's connection.
restart='ServerDatabase.AServerRestart'
on_server() { # label: what carries the statements; the rest: environment for ctest
  echo "== The archive's tests on PostgreSQL ($1)"
  shift
  env PACS_TEST_SERVER="$server" "$@" ctest --test-dir build --output-on-failure --parallel "$(nproc)" --timeout 600 \
    -L "$archive_tests" -E "$restart"
  env PACS_TEST_SERVER="$server" PACS_TEST_PG_CLUSTER="$cluster/pg" "$@" ctest --test-dir build --output-on-failure \
    --timeout 600 -R "$restart"
}
on_server libpq
on_server ODBC PACS_TEST_ODBC="{PostgreSQL Unicode}"

[ -n "${SKIP_SANITIZE:-}" ] || scripts/sanitize.sh
[ -n "${SKIP_FUZZ:-}" ] || scripts/fuzz.sh "${FUZZ_SECONDS:-20}"
