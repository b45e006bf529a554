#!/bin/sh
# The same unattended run on several machines over plain ssh, each with its own accounts and
# proxies; every machine aims at the mall's own clock, so nothing coordinates them. Each
# host has the vellicor package installed and is reached as root by ssh.
#   several-machines.sh setup NAME HOST...    copies ./HOST/NAME.ini and ./HOST/NAME.accounts
#                                             to HOST's /etc/vellicor and enables the timer
#   several-machines.sh gather NAME HOST...   after the run: HOST.csv of each, merged into
#                                             all.svg and all.csv here
set -eu
[ $# -ge 3 ] || { sed -n '2,9p' "$0" >&2; exit 2; }
what=$1 name=$2
shift 2
case $what in
setup)
  for host in "$@"; do
    scp "$host/$name.ini" "$host/$name.accounts" "root@$host:/tmp/"
    # shellcheck disable=SC2029 # the name is this side's
    ssh "root@$host" "install -D -m 0640 -g vellicor-exchange -t /etc/vellicor \
      /tmp/$name.ini /tmp/$name.accounts && rm /tmp/$name.ini /tmp/$name.accounts &&
      vellicor-cli schedule $name &&
      systemctl daemon-reload && systemctl enable --now vellicor-exchange@$name.timer"
  done
  ;;
gather)
  files=""
  for host in "$@"; do
    scp "root@$host:/var/lib/vellicor-exchange/$name/timeline.csv" "$host.csv"
    files="$files $host.csv"
  done
  # shellcheck disable=SC2086 # one word per host's file
  vellicor-cli timeline merge $files --svg all.svg --csv all.csv
  ;;
*)
  sed -n '2,9p' "$0" >&2
  exit 2
  ;;
esac
