#!/usr/bin/env bash
# Under Wine: silent install, the installed agent against the reference server, silent uninstall.
# Usage: e2e-windows.sh WINDOWS_OUT KEYFILE (build/windows and the key the agent was built to
# trust; WINEPREFIX and WINEPATH set by windows.sh)
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
source "$top/scripts/sample-content.sh"
source "$top/tests/e2e/checks.sh"
out=$1 key=$2
scratch="$out/e2e" device="kiosk-e2e" port=8080
drive="$WINEPREFIX/drive_c"
root="$drive/KESTOVA" program="$drive/Program Files/Lumipost Sync"
data="$scratch/server-data"
log="$drive/users/$(id -un)/AppData/Local/LumipostSync/lumipost-sync.log"
run_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
trap 'kill ${LUMIPOST_SERVER_PID:-} 2>/dev/null || true; wineserver -k 2>/dev/null || true' EXIT

run_value() { wine reg query "$run_key" /v LumipostSync 2>/dev/null | tr -d '\r' | grep LumipostSync; }
camera_empty() { [ -z "$(find "$root/$device/Camera" -type f)" ]; }
hidden() { wine cmd /c attrib "$(winepath -w "$1")" | tr -d '\r' | cut -c1-8 | grep -q H; } # "A  H  C:\..."

rm -rf "$scratch" "$root"
mkdir -p "$scratch"
! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || { echo "FAIL: port $port is taken" && exit 1; }
make_server_data "$data" "$device"
make_kiosk_root "$root" "$device"

wine "$(ls "$out"/LumipostSync-*-win64.exe)" /S
wineserver -w
check "the installer put the agent under Program Files" test -f "$program/LumipostSync.exe"
check "the installer made a Start-menu entry" \
    test -n "$(find "$drive" -path '*Start Menu*' -name 'Lumipost Sync.lnk')"

printf '[MainApp]\r\nPath=C:/KESTOVA/Lumipost/bin/kiosk-app.cmd\r\n' >"$program/config.ini"
LUMIPOST_SIGNING_KEY_FILE=$key start_sample_server "$data" "$port" "$scratch/server.log"
# No search path: the installed folder must hold every library the agent loads.
WINEPATH= WINEQT_QPA_PLATFORM=offscreen WINEQT_QPA_FONTDIR='Z:\usr\share\fonts\truetype\dejavu' \
    wine "$program/LumipostSync.exe" >"$scratch/agent.log" 2>&1 &
agent=$!
for _ in $(seq 150); do
    camera_empty && grep -qs "Main Application started" "$log" && break
    sleep 1
done
check "the agent is still running" kill -0 "$agent"
wineserver -k
wait "$agent" 2>/dev/null || true
kill "$LUMIPOST_SERVER_PID"

check "the product folder equals the served application tree" \
    same_trees -x Media "$data/Lumipost/Application" "$root/Lumipost"
check "the photos are on the server" \
    same_trees <(cd "$data/uploads/$device" && find . -type f | sort) <(printf '%s\n' \
        ./2026-12-07/IMG_0003.jpg "./2026-12-07/session 2/IMG_0004.jpg" ./IMG_0001.jpg ./IMG_0002.jpg)
check "the camera folder is empty" camera_empty
check "the public media folder holds exactly the public videos" \
    same_trees "$data/Lumipost/ADS/Public" "$root/Lumipost/Media"
check "the device's media folder holds exactly its private videos" \
    same_trees "$data/Lumipost/ADS/Private/$device" "$root/$device/Media"
check "the hash records are hidden files" hidden "$root/Lumipost/.lumipost-hashes"
check "every index was signed and taken" none grep -E 'signature refused|without sha256' "$log"
check "the newest index counters are kept, hidden" hidden "$root/Lumipost/.lumipost-index-counters"
check "the Run value names the installed agent" \
    grep -qF 'C:\Program Files\Lumipost Sync\LumipostSync.exe' <(run_value)
check "the main application ran in its own folder" \
    grep -qx 'C:\\KESTOVA\\Lumipost\\bin' <(tr -d '\r' <"$drive/users/$(id -un)/Temp/kiosk-app-launches.txt")
check "the log file holds the agent's lines" grep -q "Successfully synchronized file:" "$log"

wine "$program/Uninstall.exe" /S
wineserver -w
sleep 2 # the uninstaller copies itself away and goes on from there
wineserver -w
check "the uninstaller removed the program folder" test ! -e "$program"
check "the uninstaller removed the Run value" test -z "$(run_value)"

[ "$failures" -ne 0 ] || exit 0
tail -n 40 "$scratch/agent.log" "$scratch/server.log" "$log"
exit 1
