#!/usr/bin/env bash
# A private PostgreSQL cluster for tests and trials, in a folder of its own,
# on a free port of 127.0.0.1, run by an unprivileged user.
#   scripts/pg-cluster.sh start DIR   prints the connection string of the
#                                     server's maintenance database
#   scripts/pg-cluster.sh restart DIR  (stopped and started again, same port)
#   scripts/pg-cluster.sh stop DIR
# The role "pacs" (password "pacs") may create databases; each test makes its
# own. The cluster skips fsync: it holds nothing that outlives the run.
set -euo pipefail
action="${1:?start|stop}"
dir="${2:?folder}"

bindir="$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)"
[ -x "$bindir/initdb" ] || { echo "PostgreSQL server binaries not found (package postgresql)" >&2; exit 1; }

# initdb and postgres refuse to run as root.
as_owner() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

case "$action" in
start)
  mkdir -p "$dir"
  dir="$(cd "$dir" && pwd)"
  [ "$(id -u)" -eq 0 ] && chown postgres: "$dir"
  if [ ! -f "$dir/data/PG_VERSION" ]; then
    printf 'postgres\n' > "$dir/pwfile"
    [ "$(id -u)" -eq 0 ] && chown postgres: "$dir/pwfile"
    as_owner "$bindir/initdb" -D "$dir/data" -U postgres --pwfile="$dir/pwfile" -A scram-sha-256 \
      -E UTF8 --locale=C.UTF-8 >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; exit 1; }
  fi
  started=""
  for _ in $(seq 1 20); do
    port=$(( 20000 + RANDOM % 20000 ))
    if as_owner "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
         -o "-p $port -h 127.0.0.1 -k $dir -c fsync=off -c synchronous_commit=off -c full_page_writes=off -c max_connections=200" \
         start >/dev/null 2>&1; then
      started=yes
      break
    fi
  done
  [ -n "$started" ] || { echo "PostgreSQL did not start:" >&2; tail -20 "$dir/server.log" >&2; exit 1; }
  echo "$port" > "$dir/port"
  PGPASSWORD=postgres psql -qAt -h 127.0.0.1 -p "$port" -U postgres -d postgres -v ON_ERROR_STOP=1 \
    -c "DO \$\$BEGIN IF NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'pacs') THEN CREATE ROLE pacs LOGIN CREATEDB PASSWORD 'pacs'; END IF; END\$\$;" >/dev/null
  # Uid and Pwd third and fourth: the host framework reads the logon by position.
  echo "Driver=PostgreSQL;Server=127.0.0.1;Uid=pacs;Pwd=pacs;Port=$port;Database=postgres"
  ;;
restart)
  as_owner "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 -m fast restart >/dev/null
  ;;
stop)
  [ -f "$dir/data/PG_VERSION" ] && as_owner "$bindir/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null 2>&1 || true
  ;;
*)
  echo "usage: $0 start|restart|stop DIR" >&2; exit 2
  ;;
esac
