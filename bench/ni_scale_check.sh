#!/usr/bin/env bash
# Checks ni_scale's own accounting on a small run: every message sent is
# echoed and counted once on each side, a client without a server counts
# its failed connections and fails, and bad options are refused.
# Usage: ni_scale_check.sh PATH_TO_NI_SCALE
set -uo pipefail

scale=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
field() {  # field NAME FILE: the value of NAME=... on the result line
  sed -n "s/^result .*\b$1=\([0-9.]*\).*/\1/p" "$2"
}

# 40 connections, 4 messages a second each for 2 seconds: 320 echoes.
"$scale" server --connections 40 >"$work/server.txt" 2>&1 &
server=$!
for _ in $(seq 50); do
  grep -q '^port ' "$work/server.txt" && break
  sleep 0.1
done
port=$(awk '/^port /{print $2; exit}' "$work/server.txt")
if [[ -z $port ]]; then
  fail "server printed no port"
  kill "$server"
  exit 1
fi
"$scale" clients --port "$port" --connections 40 --seconds 2 --rate 4 >"$work/clients.txt" 2>&1 ||
  fail "clients exited with $?"
wait "$server" || fail "server exited with $?"
cat "$work/clients.txt" "$work/server.txt"
for check in "connected 40" "sent 320" "echoed 320" "missing 0" "dropped 0" "connect_failed 0" \
             "wrong 0" "refused 0"; do
  set -- $check
  [[ $(field "$1" "$work/clients.txt") == "$2" ]] || fail "clients: $1 is not $2"
done
grep -q '^server: accepted 40, peak open 40, echoed 320, closed by peer 40, failed 0, refused writes 0$' \
  "$work/server.txt" || fail "server's summary"
p50=$(field p50_us "$work/clients.txt")
max=$(field max_us "$work/clients.txt")
((p50 > 0 && p50 <= max)) || fail "latencies p50 $p50, max $max"

# Nobody listens on the server's old port now: every connection fails.
"$scale" clients --port "$port" --connections 5 --seconds 1 >"$work/refused.txt" 2>&1
status=$?
cat "$work/refused.txt"
[[ $status -eq 1 ]] || fail "clients without a server exited with $status"
[[ $(field connect_failed "$work/refused.txt") == 5 ]] || fail "failed connections not counted"

for bad in "" "clients" "server --port" "server --port 70000" "clients --port 1 --seconds 0" \
           "clients --port 1 --rate x" "server --colour blue" "dance --port 1"; do
  # shellcheck disable=SC2086
  "$scale" $bad >/dev/null 2>&1
  status=$?
  [[ $status -eq 2 ]] || fail "'$bad' exited with $status, not 2"
done

((failures == 0)) && echo "ni_scale checks passed"
exit $((failures > 0))
