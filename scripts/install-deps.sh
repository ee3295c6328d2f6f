#!/usr/bin/env bash
# Installs, only where missing, the Debian packages that building, testing and
# running Korvel need. Safe to run again: it does nothing when all is present.
set -euo pipefail

packages=(
  build-essential g++ clang cmake ninja-build pkg-config
  libclang-rt-14-dev   # libFuzzer and the sanitizer runtimes of Clang (make fuzz)
  qt6-base-dev qt6-base-dev-tools libgl-dev
  qt6-svg-dev          # the window's icons are drawn from SVG
  imagemagick          # screenshots of the window (bench --screenshot, scripts/window-screenshot.sh)
  fonts-nanum          # Korean text from the exchanges, shown decoded in the window
  libgtest-dev libgmock-dev
  xvfb xauth
  xdotool              # selects a system in the window during make bench WINDOW=1
  tshark
  iputils-ping         # "Ping to System" runs the system's ping
  clang-format         # .ci/run refuses unformatted files
  ccache               # used by the build when present
  qt6-httpserver-dev qt6-websockets-dev   # the web console
  chromium chromium-driver python3-selenium python3-prometheus-client  # web console tests
  redis-server libhiredis-dev             # hubs that share their table
  redis-sentinel                          # the cluster tests fail Redis over to a replica
  libssl-dev openssl   # HTTPS: the key-to-certificate check; certificates made by the tests
  prometheus           # promtool and a server for the alert rules and dashboard tests
  debhelper dpkg-dev lintian scdoc fakeroot bash-completion systemd  # the Debian packages
  desktop-file-utils man-db bsdextrautils  # checks of the packages' desktop entry and manual pages
  libsofia-sip-ua-glib-dev  # the SIP stack of the presence server (--sip)
  libjemalloc-dev      # the programs' allocator
  sip-tester           # SIPp: the phones of the SIP tests
  kamailio             # the SIP proxy in front of the hub in the SIP tests
  kamailio-presence-modules  # the SIP server whose extensions the hub watches in the SIP tests
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
# npm fetches axe-core, the browser test's accessibility audit (below); a
# Node.js that brings its own npm will do.
command -v npm >/dev/null 2>&1 || missing+=(npm)

# Debian has no package of axe-core; the browser test reads it from here.
axe_prefix=/usr/local/lib/korvel-test
install_axe() {
  if [ ! -f "$axe_prefix/node_modules/axe-core/axe.min.js" ]; then
    echo "install-deps: installing axe-core into $axe_prefix"
    "${sudo[@]}" npm install --prefix "$axe_prefix" --no-audit --no-fund --loglevel=error axe-core@4
  fi
}

if [ "$(id -u)" -eq 0 ]; then
  sudo=()
elif command -v sudo >/dev/null 2>&1; then
  sudo=(sudo)
else
  sudo=(false)
fi

if [ ${#missing[@]} -eq 0 ]; then
  install_axe
  echo "install-deps: every package is already installed"
  exit 0
fi

if [ "${sudo[0]:-}" = false ]; then
  echo "install-deps: need root or sudo to install: ${missing[*]}" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
# The package starts a system-wide Prometheus on port 9090 where systemd runs;
# the tests start their own, so one installed here for them is stopped.
if [[ " ${missing[*]} " == *" prometheus "* ]]; then
  if command -v systemctl >/dev/null 2>&1 && [ -d /run/systemd/system ]; then
    "${sudo[@]}" systemctl disable --now prometheus.service >/dev/null 2>&1 || true
  elif [ -x /etc/init.d/prometheus ]; then
    "${sudo[@]}" /etc/init.d/prometheus stop >/dev/null 2>&1 || true
    "${sudo[@]}" update-rc.d prometheus disable >/dev/null 2>&1 || true
  fi
fi
install_axe
echo "install-deps: done"
