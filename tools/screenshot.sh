#!/usr/bin/env bash
# Takes the screenshot of the window shown in README.md: builds the tool, starts it under a
# virtual display against the embedded portal simulator, two of its demo accounts logged in,
# and saves docs/screenshot.png.
#   tools/screenshot.sh [BUILD_DIR] [OUTPUT]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/dev}
out=${2:-docs/screenshot.png}
bash tools/install-deps.sh
if [ ! -f "$build/build.ninja" ]; then
  cmake --preset dev -B "$build" >/dev/null
fi
cmake --build "$build" --target vellicor -j "$(nproc)"
if [ "$(id -u)" -eq 0 ]; then export QTWEBENGINE_DISABLE_SANDBOX=1; fi
export QTWEBENGINE_CHROMIUM_FLAGS="${QTWEBENGINE_CHROMIUM_FLAGS:---disable-gpu}"
mkdir -p "$(dirname "$out")"
xvfb-run -a -s "-screen 0 1280x1024x24" "$build/bin/vellicor" \
  --demo-accounts 10001,10002 --screenshot "$PWD/$out" --quit-after 9000
echo "Screenshot saved to $out"
