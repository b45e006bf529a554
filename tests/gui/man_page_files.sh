#!/usr/bin/env bash
# The window's manual names in its FILES section every path the window writes under its data
# folder, as written_paths prints them from the code, and none it no longer writes.
#   man_page_files.sh MAKE_MAN_SCRIPT VELLICOR_BINARY WRITTEN_PATHS_BINARY
set -euo pipefail
make_man=$1 vellicor=$2 written_paths=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

bash "$make_man" vellicor "$vellicor" "the window" "$work/vellicor.1.gz"
zcat "$work/vellicor.1.gz" | sed -n '/^\.SH FILES$/,/^\.SH SEE ALSO$/p' | sed -n '/^\.T[PQ]$/{n;s/^\.I //p;}' |
  sed 's/\\-/-/g' | grep '^\$XDG_DATA_HOME/' | sort >"$work/page" || true
"$written_paths" | sort >"$work/code"
diff -u --label "the manual's FILES" --label "the paths the code writes" "$work/page" "$work/code"
