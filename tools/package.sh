#!/usr/bin/env bash
# Builds the Debian package vellicor_<version>_amd64.deb from the release build (the ci
# preset's tree: -O2, no debug info; configured and built here if missing or stale, stripped
# when packed) and prints its path on the last line.
#   tools/package.sh [BUILD_DIR]     (build/ci by default; the package goes to build/package)
# The version is project(VERSION) in CMakeLists.txt. A tree with uncommitted changes gives
# <version>+dirty, and a warning says so; so does a tree whose state cannot be told.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/ci}
out=build/package
bash tools/install-deps.sh
umask 022

warn() { echo "package.sh: warning: $*" >&2; }

if [ ! -f "$build/build.ninja" ]; then
  cmake --preset ci -B "$build" >/dev/null
fi
cmake --build "$build" -j "$(nproc)" \
  --target vellicor vellicor-cli vellicor-portal vellicor-icon-export

version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
if [ -z "$version" ] || [[ $version == *unversioned* ]]; then
  warn "CMakeLists.txt's project() sets no VERSION; the package is versioned ${version:-0~unversioned}"
  version=${version:-0~unversioned}
fi
if ! git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  warn "not a git checkout: whether the sources match a commit cannot be told"
elif [ -n "$(git status --porcelain)" ]; then
  warn "the tree has uncommitted changes; the package is versioned $version+dirty"
  git status --short >&2
  version="$version+dirty"
fi

rm -rf "$out"
mkdir -p "$out"
VELLICOR_PACKAGE_VERSION=$version cpack --config "$build/CPackConfig.cmake" -B "$out" \
  -D CPACK_PACKAGE_VERSION="$version" >"$out/cpack.log" || { cat "$out/cpack.log" >&2; exit 1; }
deb="$out/vellicor_${version}_amd64.deb"
if [ ! -f "$deb" ]; then
  cat "$out/cpack.log" >&2
  echo "package.sh: cpack wrote no $deb" >&2
  exit 1
fi
echo "$PWD/$deb"
