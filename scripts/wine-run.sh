#!/usr/bin/env bash
# Runs a Windows program under Wine for ctest (the Windows build's
# CROSSCOMPILING_EMULATOR), in the prefix that scripts/windows.sh prepared.
#
# Wine drops every variable that starts with QT_, so each is passed again
# with the WINE prefix, which Wine strips. A Qt Test program's output does not
# reach the pipe under Wine: it goes to a file that is printed afterwards.
set -uo pipefail
program=$1
shift
: "${WINEPREFIX:?the Windows tests run in the prefix scripts/windows.sh prepares}"
export WINEDEBUG=-all
while IFS='=' read -r name value; do
    export "WINE$name=$value"
done < <(env | grep '^QT_')
export WINEQT_QPA_FONTDIR='Z:\usr\share\fonts\truetype\dejavu'

output=$(mktemp --suffix=.txt)
trap 'rm -f "$output"' EXIT
if [[ $program == */tst_*.exe ]]; then
    wine "$program" "$@" -o "$(winepath -w "$output"),txt"
else
    wine "$program" "$@"
fi
status=$?
cat "$output"
exit $status
