#!/usr/bin/env bash
# Builds the package from the release tree (tools/package.sh), checks it, installs it over an
# earlier version with apt-get, runs the installed programs from /usr/bin, and purges it.
# Runs as root, or through sudo. Fails on the first check that does not hold.
#   tools/package_check.sh [BUILD_DIR]   (build/ci by default)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/ci}
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

fail() { echo "package_check: FAILED: $*" >&2; exit 1; }
step() { echo "package_check: [${SECONDS}s] $*"; }

deb=$(bash tools/package.sh "$build" | tail -n1)
version=$(dpkg-deb -f "$deb" Version)
project_version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
# The package's version is the project's, marked when the tree differs from its commit.
expected=$project_version
if git rev-parse --is-inside-work-tree >/dev/null 2>&1 && [ -n "$(git status --porcelain)" ]; then
  expected="$project_version+dirty"
fi
[ "$version" = "$expected" ] || fail "the package is versioned $version, not $expected"
work=$(mktemp -d)
display_pid="" window_pid=""
installed_here=""
cleanup() {
  if [ -n "$window_pid" ]; then kill "$window_pid" 2>/dev/null || true; fi
  if [ -n "$display_pid" ]; then kill "$display_pid" 2>/dev/null || true; fi
  # A check that failed midway leaves no package of its own installed.
  if [ -n "$installed_here" ]; then $SUDO apt-get purge -y -qq vellicor >/dev/null 2>&1 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# The version rule on its own, for each way project() may set it: what the programs would
# print and the release number, or a refusal.
step "version rule"
for row in "1.3.0.3|1.3.0.3 3" "2.0.1.17|2.0.1.17 17" "|0~unversioned 0" "1.4.0|refused"; do
  given=${row%%|*} want=${row#*|}
  mkdir -p "$work/rule"
  printf 'cmake_minimum_required(VERSION 3.25)\nproject(rule %s LANGUAGES NONE)\ninclude(%s)\n' \
    "${given:+VERSION $given}" "$PWD/cmake/version.cmake" >"$work/rule/CMakeLists.txt"
  if cmake -S "$work/rule" -B "$work/rule/build" >/dev/null 2>&1; then
    got=$(sed -n 's/.*= "\(.*\)";$/\1/p' "$work/rule/build/include/version/vellicor_version.h" | xargs)
  else
    got=refused
  fi
  [ "$got" = "$want" ] || fail "project(VERSION $given) gives '$got', not '$want'"
  rm -rf "$work/rule"
done

step "lintian $deb"
lintian --fail-on error --tag-display-limit 0 "$deb" || fail "lintian reports errors"

step "desktop entry, AppStream metadata"
dpkg-deb -x "$deb" "$work/tree"
desktop-file-validate "$work"/tree/usr/share/applications/*.desktop
appstreamcli validate --no-net "$work"/tree/usr/share/metainfo/*.metainfo.xml
for size in 16 32 48 128; do
  [ -s "$work/tree/usr/share/icons/hicolor/${size}x${size}/apps/vellicor.png" ] ||
    fail "no ${size}x${size} icon"
done

# The unattended run's units, verified as an instance of each against the package's own files
# (the host's systemd lends the targets they are ordered after; no manual check, the pages
# are checked below from the installed package).
step "systemd units"
units="lib/systemd/system/vellicor-exchange@.service lib/systemd/system/vellicor-exchange@.timer
  lib/sysusers.d/vellicor-exchange.conf"
for unit in $units; do
  [ -s "$work/tree/usr/$unit" ] || fail "the package has no /usr/$unit"
  echo "  /usr/$unit"
done
postinst=$(dpkg-deb -I "$deb" postinst)
[[ $postinst == *"systemd-sysusers vellicor-exchange.conf"* ]] ||
  fail "the postinst does not create the service's user"
systemd-sysusers --root="$work/tree" --dry-run vellicor-exchange.conf >/dev/null ||
  fail "systemd-sysusers refuses the package's entry"
mkdir -p "$work/root"
cp -a "$work/tree/." "$work/root/"
cp -n /usr/lib/systemd/system/*.target /usr/lib/systemd/system/*.slice \
  "$work/root/usr/lib/systemd/system/"
systemd-analyze verify --man=no --root="$work/root" vellicor-exchange@demo.service \
  vellicor-exchange@demo.timer || fail "systemd-analyze verify refuses the units"

# An earlier version of the same package: installing this one over it is an upgrade.
step "upgrade from an earlier version"
dpkg-deb -R "$deb" "$work/earlier"
sed -i "s/^Version: .*/Version: ${version}~earlier/" "$work/earlier/DEBIAN/control"
dpkg-deb -Zgzip -z1 -b "$work/earlier" "$work/vellicor_${version}~earlier_amd64.deb" >/dev/null

# A user with a configuration file (the tool reads it only when given --config; kept here in
# the XDG configuration folder) and a remembered login from before the upgrade.
home="$work/home"
mkdir -p "$home/.local/share/vellicor" "$home/.config/vellicor"
echo "uin=1; skey=kept" >"$home/.local/share/vellicor/session"
chmod 600 "$home/.local/share/vellicor/session"
printf '[session]\nremember = true\n' >"$home/.config/vellicor/vellicor.ini"
user_files=$(cd "$home" && find . -type f | sort | xargs sha256sum)

export DEBIAN_FRONTEND=noninteractive
apt_get() { $SUDO apt-get -o DPkg::Lock::Timeout=300 -y -qq "$@" >/dev/null; }
installed_here=yes
apt_get install "$work/vellicor_${version}~earlier_amd64.deb"
[ "$(dpkg-query -W -f='${Version}' vellicor)" = "${version}~earlier" ] || fail "earlier version not installed"
apt_get install "$(realpath "$deb")"
[ "$(dpkg-query -W -f='${Version}' vellicor)" = "$version" ] || fail "upgrade to $version not installed"
[ "$(cd "$home" && find . -type f | sort | xargs sha256sum)" = "$user_files" ] ||
  fail "the upgrade changed the user's files"

# The installed programs run from /usr/bin as the user above; whatever they write must land
# in that user's folders, never under /usr.
export HOME="$home"
unset XDG_DATA_HOME XDG_CONFIG_HOME XDG_CACHE_HOME XDG_STATE_HOME
if [ "$(id -u)" -eq 0 ]; then export QTWEBENGINE_DISABLE_SANDBOX=1; fi
export QTWEBENGINE_CHROMIUM_FLAGS="${QTWEBENGINE_CHROMIUM_FLAGS:---disable-gpu}"
touch "$work/before-runs"
cd "$work"

step "--version and --help against the manuals"
for program in vellicor vellicor-cli vellicor-portal; do
  [ "$(command -v "$program")" = "/usr/bin/$program" ] || fail "$program is not in /usr/bin"
  [ "$("$program" --version)" = "$program $project_version" ] ||
    fail "$program --version prints '$("$program" --version)', not $project_version"
  # The page's usage block, read back from roff, is exactly what --help prints.
  page=$(zcat "/usr/share/man/man1/$program.1.gz" | sed -n '/^\.nf$/,/^\.fi$/p' | sed '1d;$d' |
    sed -e 's/^\\&//' -e 's/\\-/-/g' -e 's/\\e/\\/g')
  [ "$page" = "$("$program" --help)" ] || fail "the manual of $program disagrees with its --help"
done

step "vellicor-cli exchange against the built-in simulator"
vellicor-cli exchange --items cf-rename,lol-mecha-rumble --threads 3 >"$work/exchange.log" 2>&1 ||
  { cat "$work/exchange.log"; fail "vellicor-cli exchange failed"; }
tail -n 3 "$work/exchange.log"

step "vellicor --screenshot under a virtual display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
display_pid=$!
for _ in $(seq 300); do
  if [ -s "$work/display" ] || ! kill -0 "$display_pid" 2>/dev/null; then break; fi
  sleep 0.1
done
[ -s "$work/display" ] || fail "the virtual display did not start"
: >"$work/window.log"
DISPLAY=":$(cat "$work/display")" vellicor --screenshot "$work/shot.png" --quit-after 300000 \
  >"$work/window.log" 2>&1 &
window_pid=$!
# Waits for the window's own word that the shot is saved (it shoots once the login page has
# loaded, or after a few seconds), or for it to end.
for _ in $(seq 1800); do
  if grep -q "screenshot saved" "$work/window.log" || ! kill -0 "$window_pid" 2>/dev/null; then
    break
  fi
  sleep 0.1
done
grep -q "screenshot saved" "$work/window.log" || { cat "$work/window.log"; fail "no screenshot"; }
kill "$window_pid" && wait "$window_pid" 2>/dev/null || true
window_pid=""
kill "$display_pid" && wait "$display_pid" 2>/dev/null || true
display_pid=""
[ "$(head -c 8 "$work/shot.png" | od -An -tx1 | tr -d ' ')" = 89504e470d0a1a0a ] ||
  fail "the screenshot is not a PNG"

step "nothing written under /usr; the user's files in the user's folders"
written=$(find /usr/bin /usr/share/vellicor /usr/share/doc/vellicor /usr/lib/vellicor \
  -newer "$work/before-runs" 2>/dev/null || true)
[ -z "$written" ] || fail "the programs wrote under /usr: $written"
find "$home" -newer "$work/before-runs" -type f | sed "s|^$home|  ~|"

step "purge"
installed=$(dpkg -L vellicor)
user_files=$(cd "$home" && find . -type f | sort | xargs sha256sum)
apt_get purge vellicor
installed_here=""
if left=$(dpkg -L vellicor 2>/dev/null) && [ -n "$left" ]; then fail "dpkg -L still lists: $left"; fi
for path in $installed; do
  if [ -f "$path" ] || [ -L "$path" ]; then fail "$path is left after the purge"; fi
done
[ -d /usr/share/doc/vellicor ] && fail "/usr/share/doc/vellicor is left after the purge"
[ "$(cd "$home" && find . -type f | sort | xargs sha256sum)" = "$user_files" ] ||
  fail "the purge touched the user's files"
step "all checks passed for $(basename "$deb")"
