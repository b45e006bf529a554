#!/usr/bin/env bash
# Writes a program's manual page from what its --help prints, so the two never disagree:
# the usage text goes in verbatim, framed by a name line and, for the window, the files it
# keeps. The version in the page's header is the one --version prints.
#   make-man.sh PROGRAM BINARY SUMMARY OUT.1.gz
set -euo pipefail
program=$1 binary=$2 summary=$3 out=$4

# Run under its installed name: a usage line names the program as it was called.
help=$(exec -a "$program" "$binary" --help)
version=$("$binary" --version | awk '{print $NF}')

# Roff reads a backslash as an escape and a leading dot or quote as a request; options
# want a real minus sign.
verbatim() {
  sed -e 's/\\/\\e/g' -e 's/-/\\-/g' -e "s/^\\([.']\\)/\\\\\\&\\1/"
}

files_section() {
  case $program in
    vellicor)
      cat <<'ROFF'
.SH FILES
The data folder,
.I $XDG_DATA_HOME/vellicor
(by default
.IR ~/.local/share/vellicor ),
is the user's alone to read (mode 0700, its files 0600).
.TP
.I $XDG_DATA_HOME/vellicor/vellicor\-YYYY\-MM\-DD.log
The day's log: every line of the log box. The newest
.B log.keep_days
days' logs are kept, with the runs' pictures beside them.
.TP
.I $XDG_DATA_HOME/vellicor/vellicor\-YYYY\-MM\-DD\-HHMMSS\-timeline.svg
.TQ
.I $XDG_DATA_HOME/vellicor/vellicor\-YYYY\-MM\-DD\-HHMMSS\-timeline.csv
The picture of the run that ended at that time, as an image and as CSV, named in the log.
.TP
.I $XDG_DATA_HOME/vellicor/accounts/<number>
An account's remembered login (its name, proxy and session), kept only with
.B session.remember = true
in the configuration file; removed with the account, and all of them when remembering is
off. A
.I session
file an earlier version kept there becomes the first account.
.TP
.I $XDG_DATA_HOME/vellicor/profiles/<number>
The browser profile of that account's login pages, kept with its remembered login and
removed with it.
.TP
.I /usr/share/doc/vellicor/examples/vellicor.example.ini
An example configuration file, for
.BR \-\-config .
.TP
.I /usr/share/sounds/sf2/TimGM6mb.sf2
The soundfont of the background music.
.PP
Nothing is written outside the user's XDG folders: this data folder, and Qt's caches
under
.IR $XDG_CACHE_HOME .
ROFF
      ;;
    vellicor-cli)
      cat <<'ROFF'
.SH FILES
.TP
.I /usr/share/doc/vellicor/examples/vellicor.example.ini
An example configuration file, for
.BR \-\-config .
ROFF
      ;;
  esac
}

see_also() {
  local others=() p
  for p in vellicor vellicor-cli vellicor-portal; do
    if [ "$p" != "$program" ]; then others+=(".BR $(sed 's/-/\\-/g' <<<"$p") (1)"); fi
  done
  printf '.SH SEE ALSO\n%s,\n%s\n' "${others[0]}" "${others[1]}"
}

{
  printf '.TH %s 1 "" "vellicor %s" "User Commands"\n' "$(tr a-z A-Z <<<"$program" | sed 's/-/\\-/g')" "$version"
  printf '.SH NAME\n%s \\- %s\n' "$(sed 's/-/\\-/g' <<<"$program")" "$summary"
  printf '.SH DESCRIPTION\n.nf\n'
  verbatim <<<"$help"
  printf '.fi\n'
  files_section
  see_also
} | gzip -9n >"$out"
