#!/usr/bin/env bash
# help.sh NAME PROGRAM (--help|--version): what help2man reads for one program. The program
# runs under its installed name, and each subcommand's arguments follow the program's --help.
set -euo pipefail
name=$1 program=$2 option=$3
run() { (exec -a "$name" "$program" "$@"); }
if [ "$option" != --help ]; then
  run "$option"
  exit
fi
help=$(run --help)
printf '%s\n' "$help"
commands=$(printf '%s\n' "$help" | sed -n '/^Subcommands:$/,/^$/s/^  \([a-z][a-z-]*\) .*/\1/p')
for command in $commands; do
  text=$(run "$command" --help)
  args=$(printf '%s\n' "$text" | sed -n '/^Usage:/,/^Exit codes:/{/^  /p}' | grep -v -- '--help' || true)
  usage=$(printf '%s\n' "$text" | sed -n 's/^Usage: //p')
  [ -n "$args" ] || continue
  printf '\n%s:\n%s\n' "$usage" "$args"
done
