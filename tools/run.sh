#!/usr/bin/env bash
# Runs the tool: installs what is missing, builds, then opens the window against the
# embedded portal simulator. Without a display it starts the window under a virtual one,
# saves a screenshot, and runs a short headless demo exchange.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh

cmake --preset dev >/dev/null
# Only the programs it runs: the tests and benchmarks are tools/test.sh's to build.
cmake --build --preset dev -j "$(nproc)" --target vellicor vellicor-cli vellicor-portal
if [ "$(id -u)" -eq 0 ]; then export QTWEBENGINE_DISABLE_SANDBOX=1; fi
bin=build/dev/bin

if [ -n "${DISPLAY:-}" ]; then
  exec "$bin/vellicor" "$@"
fi

echo "No display: starting the window under a virtual display."
shot="$PWD/build/screenshot.png"
xvfb-run -a -s "-screen 0 1280x1024x24" "$bin/vellicor" --screenshot "$shot" --quit-after 8000 "$@"
echo "Screenshot of the window saved to $shot"
if [ -x "$bin/vellicor-cli" ]; then
  echo
  echo "Demo exchange against the embedded portal simulator:"
  echo "  vellicor-cli exchange --items cf-rename,lol-mecha-rumble --threads 3"
  "$bin/vellicor-cli" exchange --items cf-rename,lol-mecha-rumble --threads 3
fi
