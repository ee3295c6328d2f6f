#!/usr/bin/env bash
# Takes a picture of the operator's window with a few systems and stations, on
# a virtual X display: scripts/window-screenshot.sh OUT.png
# Needs xvfb-run, xdotool and ImageMagick (import).
set -euo pipefail
out="$(realpath -m "${1:?usage: window-screenshot.sh OUT.png}")"
cd "$(dirname "$0")/.."
build="${BUILD_DIR:-build}"
korvel="$(realpath "$build/src/app/korvel-window")"
send="$(realpath "$build/src/cli/korvel-send")"

if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x800x24" "$0" "$out"
fi

work="$(mktemp -d)"
trap 'kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/data"
base=$((23000 + RANDOM % 400 * 10))
printf 'Version : 5\r\nBase Port : %d\r\n' "$base" >"$work/data/system.dat"
printf '127.0.0.2\t127.0.0.2\t9000\t0\t2\tQVX300-MAIN\r\n127.0.0.3\t127.0.0.3\t9000\t0\t2\tQVX300-EAST\r\n' >>"$work/data/system.dat"
printf '127.0.0.4\t127.0.0.4\t9000\t1\t2\tVELKA-WEST\r\n127.0.0.6\t127.0.0.6\t9000\t0\t3\tQVX-BRANCH\r\n' >>"$work/data/system.dat"
printf '127.0.0.5\t127.0.0.5\t9000\t0\t2\t\xbf\xb5\xbe\xf7\xba\xce\r\n' >>"$work/data/system.dat"

export HOME="$work" XDG_CONFIG_HOME="$work/config"
(cd "$work" && exec "$korvel" >"$work/output.log" 2>&1) &
pid=$!
for _ in $(seq 50); do grep -q ready "$work/output.log" 2>/dev/null && break; sleep 0.1; done

report() { "$send" --from "$1" --udp "127.0.0.1:$((base + 1))" statusreport --system-id "$2" --stations "$3" --status "$4" --timeout 0.2 >/dev/null 2>&1 || true; }
report 127.0.0.2 QVX300-MAIN 41100,41106,41111 busy
report 127.0.0.2 QVX300-MAIN 41101,41105,41108,41109,41110 idle
report 127.0.0.2 QVX300-MAIN 41102 dnd
report 127.0.0.2 QVX300-MAIN 41103 msg
report 127.0.0.2 QVX300-MAIN 41104 oos
report 127.0.0.2 QVX300-MAIN 41107 255
report 127.0.0.3 QVX300-EAST 52000,52001 idle
report 127.0.0.4 VELKA-WEST 63000 busy
sleep 2

window="$(xdotool search --sync --onlyvisible --pid "$pid" --name Korvel | head -1)"
# QVX300-MAIN, the first row of the list in the table's order; the window sits at
# the screen's top left.
xdotool mousemove --window "$window" 60 95 click 1
sleep 3
eval "$(xdotool getwindowgeometry --shell "$window")"
import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$out"
echo "saved $out (${WIDTH}x${HEIGHT})"
