#!/bin/sh
# Starts or stops the wineserver of $WINEPREFIX for a batch of Wine runs.
#   start [SECONDS]  a server that outlives its last client by SECONDS
#                    (forever when empty), with the prefix's helper processes
#                    already running; nothing when a server is up
#   restart          stop, then start a server that stays until stop
#   stop             ends the server and every Wine process of the prefix
# A server and helpers started by a test program would inherit its output
# pipe and hold it open for seconds after the program ends.
set -u
: "${WINEPREFIX:?}"

start() {
  mkdir -p "$WINEPREFIX" || exit 1
  # Runs of the build and of CTest may start at the same time; the lock keeps
  # the second from using the prefix before wineboot has set it up.
  exec 9>"$WINEPREFIX.lock"
  flock 9
  # `wineserver -p` fails when a server is already up for the prefix. The
  # server and the helpers outlive this script and must not keep the lock.
  wineserver "-p$1" </dev/null >/dev/null 2>&1 9>&- || exit 0
  wineboot -i </dev/null >"$WINEPREFIX.boot.log" 2>&1 9>&- || {
    cat "$WINEPREFIX.boot.log" >&2
    exit 1
  }
}

stop() {
  # Both fail harmlessly when no server is up or the prefix does not exist yet.
  wineserver -k 2>/dev/null
  wineserver -w 2>/dev/null
  return 0
}

case "${1:-}" in
  start) start "${2:-}" ;;
  restart) stop; start "" ;;
  stop) stop ;;
  *) echo "usage: $0 start [SECONDS] | restart | stop" >&2; exit 2 ;;
esac
