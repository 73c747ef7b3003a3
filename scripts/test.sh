#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the whole suite on
# the embedded archive, then the archive's tests again on a PostgreSQL server
# (a private cluster started here, on a free port, in a temporary folder),
# reached through libpq and through ODBC.
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
echo "== The archive's tests on PostgreSQL (libpq)"
PACS_TEST_SERVER="$server" PACS_TEST_PG_CLUSTER="$cluster/pg" ctest --test-dir build --output-on-failure --parallel "$(nproc)" --timeout 600 -L "$archive_tests"
echo "== The archive's tests on PostgreSQL through ODBC"
PACS_TEST_SERVER="$server" PACS_TEST_PG_CLUSTER="$cluster/pg" PACS_TEST_ODBC="{PostgreSQL Unicode}" \
  ctest --test-dir build --output-on-failure --parallel "$(nproc)" --timeout 600 -L "$archive_tests"
