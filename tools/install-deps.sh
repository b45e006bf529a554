#!/usr/bin/env bash
# Installs every Debian package the build, the tool and the tests need.
# Safe to run again: packages already present are skipped.
# nginx, Apache httpd (mod_http2) and HAProxy are the tests' front ends, each started by a
# test on a free port; Debian 12's nginx has HTTP/2 built in, and its nginx-light is only a
# transitional package that pulls in nginx itself. lintian, desktop-file-utils and appstream
# check the Debian package tools/package.sh builds. python3-aiosmtpd is the local SMTP server
# the alert tests send mail to (run by /usr/bin/python3, whose modules Debian's packages are).
# dbus-daemon gives the notification test a session bus of its own (dbus-run-session).
# squid (HTTP, CONNECT) and dante-server (SOCKS5) are the proxies the proxy tests start;
# passwd's useradd and chpasswd make the system user dante checks SOCKS passwords against,
# under util-linux's flock.
# iproute2's `ip` makes the network namespace the canary test's mail server stands in.
# systemd gives systemd-analyze, which verifies the package's service and timer.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  clang libclang-rt-14-dev clang-format
  qt6-base-dev qt6-base-dev-tools qt6-webengine-dev qt6-webengine-dev-tools qt6-svg-dev
  libqt6webenginecore6-bin
  libcurl4-openssl-dev libssl-dev ca-certificates libnghttp2-dev
  libboost-dev nlohmann-json3-dev
  libfluidsynth-dev timgm6mb-soundfont
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth fonts-wqy-microhei dbus-daemon
  wrk
  nginx apache2 haproxy openssl
  squid dante-server passwd util-linux
  iproute2
  python3-aiosmtpd
  lintian desktop-file-utils appstream systemd
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
