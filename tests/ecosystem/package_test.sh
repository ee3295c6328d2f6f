#!/usr/bin/env bash
# Builds the Debian packages the way `make package` does and checks them as a
# Debian administrator would: lintian without an error or a warning, the files
# of each package, what the server package depends on, the systemd unit
# (systemd-analyze verify and its security score), the desktop entry, the
# manual pages against --help, the bash completion, and the packaged hub run
# headless in a folder of its own until SIGTERM.
# Usage: package_test.sh <source folder> <scratch folder> <free_base_port>   (exit 77: skipped)
set -euo pipefail
source_dir=$1
work=$2
free_base_port=$3

for tool in dpkg-buildpackage dh lintian; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIP: $tool is not installed (scripts/install-deps.sh installs it)"
        exit 77
    fi
done

hub_pid=
cleanup() {
    if [ -n "$hub_pid" ]; then kill "$hub_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# A fixed scratch folder, so that the compiler cache knows the paths again.
out="$work/out"
if ! bash "$source_dir/scripts/build-package.sh" "$out" >"$work/build.log" 2>&1; then
    tail -50 "$work/build.log"
    exit 1
fi
version=$(dpkg-parsechangelog -l "$source_dir/debian/changelog" -S Version)
arch=$(dpkg --print-architecture)
server="$out/korvel_${version}_$arch.deb"
desktop="$out/korvel-desktop_${version}_$arch.deb"
for deb in "$server" "$desktop" "$out/korvel-dbgsym_${version}_$arch.deb" \
           "$out/korvel-desktop-dbgsym_${version}_$arch.deb"; do
    [ -f "$deb" ] || fail "$(basename "$deb") was not built"
done

lintian --display-level '>=warning' "$out"/*.changes >"$work/lintian.txt" 2>&1 || true
if grep -E '^(E|W):' "$work/lintian.txt"; then
    fail "lintian reports errors or warnings"
else
    echo "lintian: no error, no warning"
fi

# Exactly these files in each package, nothing more, nothing less.
files_of() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ { print $6 }' | sort; }
expected_server="./lib/systemd/system/korvel.service
./usr/bin/korvel
./usr/bin/korvel-send
./usr/bin/korvelctl
./usr/share/bash-completion/completions/korvel
./usr/share/bash-completion/completions/korvel-send
./usr/share/bash-completion/completions/korvelctl
./usr/share/doc/korvel/README.md
./usr/share/doc/korvel/changelog.gz
./usr/share/doc/korvel/copyright
./usr/share/doc/korvel/docs/benchmarks.md
./usr/share/doc/korvel/docs/cluster-faults.md
./usr/share/doc/korvel/docs/cluster.md
./usr/share/doc/korvel/docs/main-window.png
./usr/share/doc/korvel/docs/monitoring.md
./usr/share/doc/korvel/docs/operations.md
./usr/share/doc/korvel/docs/protocol.md
./usr/share/doc/korvel/docs/reliability.md
./usr/share/doc/korvel/docs/sip-import.md
./usr/share/doc/korvel/docs/sip.md
./usr/share/doc/korvel/docs/tools.md
./usr/share/doc/korvel/docs/troubleshooting.md
./usr/share/doc/korvel/docs/web-api.md
./usr/share/doc/korvel/docs/web-console-phone.png
./usr/share/doc/korvel/docs/web-console.md
./usr/share/doc/korvel/docs/web-console.png
./usr/share/korvel/grafana/korvel.json
./usr/share/korvel/prometheus/korvel-alerts.yml
./usr/share/korvel/wireshark/korvel.lua
./usr/share/lintian/overrides/korvel
./usr/share/man/man1/korvel-send.1.gz
./usr/share/man/man1/korvel.1.gz
./usr/share/man/man1/korvelctl.1.gz"
expected_desktop="./usr/lib/korvel/korvel-window
./usr/share/applications/korvel.desktop
./usr/share/doc/korvel-desktop/changelog.gz
./usr/share/doc/korvel-desktop/copyright
./usr/share/icons/hicolor/scalable/apps/korvel.svg
./usr/share/lintian/overrides/korvel-desktop"
diff <(echo "$expected_server") <(files_of "$server") || fail "files of the korvel package differ"
diff <(echo "$expected_desktop") <(files_of "$desktop") || fail "files of the korvel-desktop package differ"

# A server must not pull in a desktop.
depends=$(dpkg-deb -f "$server" Depends)
grep -q libqt6network6 <<<"$depends" || fail "korvel does not depend on the Qt network library"
if grep -Eq 'libqt6(gui|widgets)|libx11|libgl1|libglx|libopengl|libegl' <<<"$depends"; then
    fail "korvel depends on a desktop library: $depends"
fi
dpkg-deb -f "$desktop" Depends | grep -q "korvel (= $version)" || fail "korvel-desktop does not depend on korvel"
dpkg-deb -e "$server" "$work/control"
grep -q deb-systemd-helper "$work/control/postinst" || fail "the unit is not enabled by the maintainer scripts"

root="$work/root"
rm -rf "$root"
dpkg-deb -x "$server" "$root"
dpkg-deb -x "$desktop" "$root"

unit="$root/lib/systemd/system/korvel.service"
for line in "Type=notify" "ExecStart=/usr/bin/korvel --headless --http 127.0.0.1:9080" "ExecReload=/bin/kill -HUP \$MAINPID" \
            "DynamicUser=yes" "StateDirectory=korvel" "WorkingDirectory=/var/lib/korvel" \
            "Restart=on-failure" "WantedBy=multi-user.target"; do
    grep -qxF "$line" "$unit" || fail "korvel.service lacks '$line'"
done
grep -q '^WatchdogSec=[1-9]' "$unit" || fail "korvel.service has no watchdog"
if command -v systemd-analyze >/dev/null; then
    # verify wants the program where ExecStart says: point it into the
    # unpacked package. It reports some problems without failing, so any
    # output counts as a failure.
    mkdir -p "$work/units"
    sed "s|^ExecStart=/usr/bin/korvel|ExecStart=$root/usr/bin/korvel|" "$unit" >"$work/units/korvel.service"
    if ! verified=$(systemd-analyze verify --man=no "$work/units/korvel.service" 2>&1) || [ -n "$verified" ]; then
        fail "systemd-analyze verify: $verified"
    fi
    security=$(systemd-analyze security --offline=true "$work/units/korvel.service" 2>&1 | tail -1)
    score=$(grep -oE 'level for korvel.service: [0-9.]+' <<<"$security" | awk '{print $NF}')
    echo "systemd-analyze security: ${score:-?} ($security)"
    if [ -z "$score" ] || awk -v s="$score" 'BEGIN { exit !(s > 3.0) }'; then
        fail "security exposure ${score:-unknown} is above 3.0"
    fi
else
    echo "systemd-analyze not installed: unit not verified"
fi

entry="$root/usr/share/applications/korvel.desktop"
grep -qx "Exec=/usr/lib/korvel/korvel-window --user-data" "$entry" ||
    fail "the desktop entry does not start the window on the user's table"
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$entry" || fail "desktop-file-validate"
fi

# Each manual page renders cleanly and names every option its program lists.
for program in korvel korvel-send korvelctl; do
    page="$root/usr/share/man/man1/$program.1.gz"
    warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || true
    [ -z "$warnings" ] || fail "$program.1: $warnings"
    text=$(MANWIDTH=200 man -l "$page" 2>/dev/null | col -b)
    for option in $("$root/usr/bin/$program" --help | grep -oE -- '--[a-z][a-z-]+' | grep -vx -- --opt | sort -u); do
        grep -qF -- "$option" <<<"$text" || fail "$program.1 does not describe $option"
    done
done

# The completion offers the options and korvel-send's messages.
completion=$(bash -c '
    source /usr/share/bash-completion/bash_completion 2>/dev/null || exit 0
    source "$1/usr/share/bash-completion/completions/korvel"
    source "$1/usr/share/bash-completion/completions/korvel-send"
    source "$1/usr/share/bash-completion/completions/korvelctl"
    compopt() { :; }
    COMP_WORDS=(korvel --check); COMP_CWORD=1; COMP_LINE="korvel --check"; COMP_POINT=${#COMP_LINE}
    _korvel korvel --check korvel; echo "${COMPREPLY[*]}"
    COMP_WORDS=(korvel-send 127.0.0.1:9000 getd); COMP_CWORD=2; COMP_LINE="${COMP_WORDS[*]}"; COMP_POINT=${#COMP_LINE}
    _korvel_send korvel-send getd 127.0.0.1:9000; echo "${COMPREPLY[*]}"
    COMP_WORDS=(korvelctl --json forward o); COMP_CWORD=3; COMP_LINE="${COMP_WORDS[*]}"; COMP_POINT=${#COMP_LINE}
    _korvelctl korvelctl o forward; echo "${COMPREPLY[*]}"' _ "$root")
if [ -n "$completion" ] && [ "$completion" != $'--check-config\ngetdata getdatav2\non off' ]; then
    fail "bash completion offers: $completion"
fi

# The packaged hub, run the way the unit runs it: headless, in an empty
# working folder, stopped with SIGTERM.
state="$work/state"
rm -rf "$state"
mkdir -p "$state/data"
# The port stays reserved until this script ends and the pipe with it.
coproc port_hold { "$free_base_port" --hold; }
read -r base <&"${port_hold[0]}" || { echo "FAIL: no free base port"; exit 1; }
printf 'Version : 5\r\nBase Port : %s\r\n' "$base" >"$state/data/system.dat"
(cd "$state" && exec env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/korvel" --headless \
    2>"$work/hub.err") &
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
echo "packages: $(cd "$out" && ls ./*.deb | tr '\n' ' ')all checks passed"
