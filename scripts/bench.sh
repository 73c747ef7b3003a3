#!/usr/bin/env bash
# Storage throughput: the same folder sent with storescu to the archive and to
# DCMTK's storescp (the peer: it only writes files), in one run. Prints both
# rates and the ratio. Usage: scripts/bench.sh [images] [size]
# (size: rows and columns of the 16-bit CT images, default 512, as a CT sends)
set -euo pipefail
cd "$(dirname "$0")/.."
count="${1:-500}"
# DCMTK reads this for every association; without it Nagle throttles both sides.
export TCP_NODELAY=1
scripts/build.sh >/dev/null
work="$(mktemp -d)"
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT

build/bin/bench_samples "$work/in" "$count" "${2:-512}"
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

send() { # port title -> seconds
  local start end
  start=$(date +%s.%N)
  storescu -aec "$2" +sd 127.0.0.1 "$1" "$work/in" >/dev/null 2>&1
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}

peer_port=$(free_port)
mkdir -p "$work/peer"
storescp -od "$work/peer" "$peer_port" &
until echoscu 127.0.0.1 "$peer_port" >/dev/null 2>&1; do sleep 0.1; done
peer=$(send "$peer_port" ANY)

ours_port=$(free_port)
mkdir -p "$work/cfg/PACS"
printf '[SERVER]\nPORT=%s\n' "$ours_port" > "$work/cfg/PACS/PACS.ini"
XDG_CONFIG_HOME="$work/cfg" build/bin/talmir-pacsd --home "$work/home" >"$work/server.log" 2>&1 &
until echoscu -aec TALMIR 127.0.0.1 "$ours_port" >/dev/null 2>&1; do sleep 0.1; done
ours=$(send "$ours_port" TALMIR)
stored=$(sqlite3 "$work/home/archive.db" "select count(*) from ImageTable")

printf 'images: %s of %sx%s (archived: %s)\n' "$count" "${2:-512}" "${2:-512}" "$stored"
printf 'storescp (peer): %.1f images/s\n' "$(echo "$count / $peer" | bc -l)"
printf 'talmir-pacs:     %.1f images/s\n' "$(echo "$count / $ours" | bc -l)"
printf 'ratio archive/peer: %.2f\n' "$(echo "$peer / $ours" | bc -l)"
