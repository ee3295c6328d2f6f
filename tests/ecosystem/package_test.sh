#!/usr/bin/env bash
# Builds the Debian package from a build folder and checks what it installs:
# the file list, the control data, the desktop entry and the systemd unit, and
# that the packaged hub runs headless in a folder of its own and saves on
# SIGTERM, as the unit expects of it.
# Usage: package_test.sh <cpack> <build folder> <free_base_port>   (exit 77: skipped)
set -euo pipefail
cpack=$1
build_dir=$2
free_base_port=$3

if ! command -v dpkg-deb >/dev/null; then
    echo "SKIP: dpkg-deb is not installed, no Debian package can be built"
    exit 77
fi

work=$(mktemp -d)
hub_pid=
cleanup() {
    if [ -n "$hub_pid" ]; then kill "$hub_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

if ! "$cpack" --config "$build_dir/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    exit 1
fi
deb=$(echo "$work"/out/korvel_*.deb)
[ -f "$deb" ] || { cat "$work/cpack.log"; echo "FAIL: no korvel_*.deb"; exit 1; }

# Exactly these files, nothing more, nothing less.
expected="./usr/bin/korvel
./usr/bin/korvel-send
./usr/lib/korvel/korvel-window
./usr/lib/systemd/system/korvel.service
./usr/share/applications/korvel.desktop
./usr/share/doc/korvel/README.md
./usr/share/doc/korvel/protocol.md
./usr/share/icons/hicolor/scalable/apps/korvel.svg
./usr/share/korvel/wireshark/korvel.lua"
listing=$(dpkg-deb -c "$deb")
actual=$(awk '$1 !~ /^d/ { print $6 }' <<<"$listing" | sort)
if [ "$actual" != "$expected" ]; then
    fail "package files differ:"
    diff <(echo "$expected") <(echo "$actual") || true
fi
for program in korvel korvel-send; do
    grep -q "^-rwxr-xr-x root/root .* ./usr/bin/$program$" <<<"$listing" ||
        fail "/usr/bin/$program is not an executable owned by root"
done

[ "$(dpkg-deb -f "$deb" Package)" = korvel ] || fail "package name"
dpkg-deb -f "$deb" Depends | grep -q libqt6network6 || fail "Depends lacks the Qt network library"
dpkg-deb -e "$deb" "$work/control"
for script in postinst prerm postrm; do
    [ -x "$work/control/$script" ] || fail "maintainer script $script missing or not executable"
    sh -n "$work/control/$script" || fail "maintainer script $script does not parse"
done

root="$work/root"
dpkg-deb -x "$deb" "$root"

unit="$root/usr/lib/systemd/system/korvel.service"
for line in "ExecStart=/usr/bin/korvel --headless --http 127.0.0.1:9080" "DynamicUser=yes" "StateDirectory=korvel" \
            "WorkingDirectory=/var/lib/korvel" "Restart=on-failure" "WantedBy=multi-user.target"; do
    grep -qx "$line" "$unit" || fail "korvel.service lacks '$line'"
done
if command -v systemd-analyze >/dev/null; then
    # verify wants the program where ExecStart says; point it into the
    # unpacked package. It reports unknown keys but still exits 0, so any
    # output counts as a failure.
    mkdir "$work/units"
    sed "s|^ExecStart=/usr/bin/korvel|ExecStart=$root/usr/bin/korvel|" "$unit" >"$work/units/korvel.service"
    if ! out=$(systemd-analyze verify "$work/units/korvel.service" 2>&1) || [ -n "$out" ]; then
        fail "systemd-analyze verify: $out"
    else
        echo "systemd-analyze verify: korvel.service is clean"
    fi
else
    echo "systemd-analyze not installed: unit not verified"
fi

desktop="$root/usr/share/applications/korvel.desktop"
grep -qx "Exec=korvel" "$desktop" || fail "desktop entry does not start korvel"
grep -qx "Icon=korvel" "$desktop" || fail "desktop entry does not name the korvel icon"
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$desktop" || fail "desktop-file-validate"
fi

# The packaged hub, run the way the unit runs it: headless, in an empty
# working folder, stopped with SIGTERM.
state="$work/state"
mkdir -p "$state/data"
base=$("$free_base_port") || { echo "FAIL: no free base port"; exit 1; }
printf 'Version : 5\r\nBase Port : %s\r\n' "$base" >"$state/data/system.dat"
(cd "$state" && exec env -u DISPLAY -u WAYLAND_DISPLAY "$root/usr/bin/korvel" --headless 2>"$work/hub.err") &
hub_pid=$!
for _ in $(seq 100); do
    grep -q ready "$work/hub.err" && break
    kill -0 "$hub_pid" 2>/dev/null || break
    sleep 0.1
done
if grep -q ready "$work/hub.err"; then
    kill -TERM "$hub_pid"
    status=0
    wait "$hub_pid" || status=$?
    hub_pid=
    [ "$status" -eq 0 ] || fail "packaged hub exited with $status on SIGTERM"
    grep -q "Base Port : $base" "$state/data/system.dat" || fail "packaged hub did not save its table"
else
    fail "packaged hub did not report ready: $(cat "$work/hub.err")"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "package: $(basename "$deb"), $(echo "$expected" | wc -l) files, all checks passed"
