#!/usr/bin/env bash
# Installs what is missing, builds, and starts the live demo: the reference message
# server, a receiver simulator on a pseudo-terminal and the driver between them, in a
# fresh work folder. Ctrl-C ends all three.
#   --headless   run the driver without its window even when a display is there
#   --here       no demo: run build/drvlarna in the current directory with its own drvlarna.ini
#   --rate N     simulator lines per second (default 1)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
start_dir="$(pwd)"

headless=0 here=0 rate=1
while (($#)); do
  case "$1" in
    --headless) headless=1 ;;
    --here) here=1 ;;
    --rate) rate="$2"; shift ;;
    *) echo "usage: $0 [--headless] [--here] [--rate N]" >&2; exit 2 ;;
  esac
  shift
done

bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh" "$root/build"
bin="$root/build"

driver_args=()
if ((headless)) || [[ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]]; then driver_args=(--headless); fi

if ((here)); then
  cd "$start_dir"
  exec "$bin/src/drvlarna" "${driver_args[@]}"
fi

work="$(mktemp -d /tmp/drvlarna-demo.XXXXXX)"
cd "$work"
pids=()
stop_all() {
  trap - INT TERM EXIT
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill -TERM "${pids[i]}" 2>/dev/null || true; done
  wait 2>/dev/null || true
  echo "demo: stopped; its files stay in $work"
}
trap stop_all INT TERM EXIT

# The first line each tool prints tells where it listens.
first_line() {  # first_line FILE TIMEOUT_S
  for ((t = 0; t < $2 * 10; t++)); do
    [[ -s "$1" ]] && { head -n1 "$1"; return 0; }
    sleep 0.1
  done
  return 1
}

"$bin/tools/msgserver/msgserver" --port 0 > server.out 2> server.err &
pids+=($!)
server_port="$(first_line server.out 10 | awk '/listening on/ {print $3}')"
[[ -n "$server_port" ]] || { echo "demo: msgserver did not start" >&2; cat server.err >&2; exit 1; }

"$bin/tools/receiver-sim/receiver-sim" --rate "$rate" > sim.out 2> sim.err &
pids+=($!)
device="$(first_line sim.out 10 | awk '/^device/ {print $2}')"
[[ -n "$device" ]] || { echo "demo: receiver-sim did not start" >&2; cat sim.err >&2; exit 1; }

mkdir -p spool
printf '[port]\r\nComPort=COM1\r\n\r\n[ComMap]\r\nCOM1=%s\r\n\r\n[main]\r\nPathForSoob=spool/\r\nAttention=00:00:10\r\nCaption=Демо\r\n\r\n[ServerHost]\r\nAddress=127.0.0.1\r\nPort=%s\r\n' \
  "$device" "$server_port" > drvlarna.ini

echo "demo: work folder $work"
echo "demo: message server on 127.0.0.1:$server_port, receiver simulator on $device ($rate line/s)"
tail -n +2 -F server.out 2>/dev/null | sed -u 's/^/[server] /' &
pids+=($!)
"$bin/src/drvlarna" "${driver_args[@]}" > >(sed -u 's/^/[driver] /') 2>&1 &
driver_pid=$!
pids+=("$driver_pid")
wait "$driver_pid" || true
