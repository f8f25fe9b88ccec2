#!/usr/bin/env bash
# End to end: the real LumipostSync binary, offscreen, against the reference
# server with generated content, then the outcome checked on disk.
# Usage: e2e.sh AGENT_BUILD_DIR SCRATCH (the agent's company root is SCRATCH/KESTOVA)
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
source "$top/scripts/sample-content.sh"
agent_build=$1
scratch=$2
root="$scratch/KESTOVA"
data="$scratch/server-data"
device="kiosk-e2e"
run_seconds=${E2E_SECONDS:-130}

pids=()
trap '[ ${#pids[@]} -eq 0 ] || kill "${pids[@]}" 2>/dev/null || true' EXIT

rm -rf "$scratch"
mkdir -p "$scratch/bin"
make_server_data "$data" "$device"
make_kiosk_root "$root" "$device"
# The product's media folder already holds one served video and one that the
# server no longer lists: the first must survive the mirror untouched.
cp "$data/Lumipost/ADS/Public/welcome.mp4" "$root/Lumipost/Media/"
random_file "$root/Lumipost/Media/retired-ad.mp4" 1000
media_inode=$(stat -c %i "$root/Lumipost/Media/welcome.mp4")
cp -r "$root/$device/Camera" "$scratch/photos-before"

port=$(free_port)
build_agent "$agent_build" "$port"
cp "$agent_build/LumipostSync" "$scratch/bin/"
printf '[MainApp]\nPath=%s\n' "$root/Lumipost/bin/kiosk-app.sh" >"$scratch/bin/config.ini"

start_sample_server "$data" "$port" "$scratch/server.log"
pids+=("$LUMIPOST_SERVER_PID")

workdir=$(dirname "$scratch")
real_autostart="${XDG_CONFIG_HOME:-$HOME/.config}/autostart/LumipostSync.desktop"
touch "$scratch/started"
started=$(date +%s)
cd "$workdir"
LUMIPOST_SAMPLE_LAUNCH_LOG="$scratch/launches.log" start_agent "$scratch" "$scratch/agent.log"
agent=$LUMIPOST_AGENT_PID
pids+=("$agent")
sleep "$run_seconds"

failures=0
check() {
    local what=$1
    shift
    if "$@" >"$scratch/check.out" 2>&1; then
        echo "ok:   $what"
    else
        echo "FAIL: $what"
        sed 's/^/      /' "$scratch/check.out"
        failures=$((failures + 1))
    fi
}
is_running() { kill -0 "$agent"; }
same_trees() { diff -r -x .lumipost-hashes "$@"; } # the agent's record of checked hashes
no_files_in() { [ -d "$1" ] && [ -z "$(find "$1" -type f)" ]; }
launched_once_in_its_folder() {
    [ "$(wc -l <"$scratch/launches.log")" -eq 1 ] || return 1
    read -r when folder <"$scratch/launches.log"
    echo "started after $((when - started)) s in $folder"
    [ "$folder" = "$root/Lumipost/bin" ] && [ $((when - started)) -ge 59 ]
}
same_inode() { [ "$(stat -c %i "$1")" = "$2" ]; }
only_device_and_product() { [ "$(ls -A "$root" | LC_ALL=C sort | tr '\n' ' ')" = "Lumipost $device " ]; }
# Where a stray write would land: the agent's working folder, its build
# folder, the real autostart folder and the program's default root.
nothing_written_outside() {
    local found
    found=$( (find "$workdir" -newer "$scratch/started" -not -path "$scratch*"
        find "$agent_build" -newer "$scratch/started"
        find "$real_autostart" -newer "$scratch/started"
        find /var/lib/KESTOVA -newer "$scratch/started") 2>/dev/null)
    [ -z "$found" ] || { echo "$found" && return 1; }
}

check "the agent is still running after $run_seconds s" is_running
kill "$agent" "$LUMIPOST_SERVER_PID" 2>/dev/null || true
wait 2>/dev/null || true
check "the product folder equals the served application tree" \
    same_trees -x Media "$data/Lumipost/Application" "$root/Lumipost"
check "the served video already in Media was kept as it was" \
    same_inode "$root/Lumipost/Media/welcome.mp4" "$media_inode"
check "the main application ran once, in its own folder, after the minute" launched_once_in_its_folder
check "the photos are on the server with their relative paths" \
    same_trees "$scratch/photos-before" "$data/uploads/$device"
check "the camera folder is empty" no_files_in "$root/$device/Camera"
check "the public media folder holds exactly the public videos" \
    same_trees "$data/Lumipost/ADS/Public" "$root/Lumipost/Media"
check "the device's media folder holds exactly its private videos" \
    same_trees "$data/Lumipost/ADS/Private/$device" "$root/$device/Media"
check "the company root holds only the device and product folders" only_device_and_product
check "the autostart entry went to the scratch configuration" \
    test -f "$scratch/home/.config/autostart/LumipostSync.desktop"
check "nothing was written outside the scratch folder" nothing_written_outside

# The fleet page as the operator sees it: the server again, now with a token, its page loaded in
# headless Chromium; the screenshot stays in the scratch folder.
fleet_page_shows_the_kiosk_and_its_photos() {
    local token row
    token=$(head -c 24 /dev/urandom | base64 | tr -d '/+=')
    port=$(free_port)
    LUMIPOST_FLEET_TOKEN=$token start_sample_server "$data" "$port" "$scratch/fleet-server.log"
    pids+=("$LUMIPOST_SERVER_PID")
    LUMIPOST_FLEET_TOKEN=$token php "$top/scripts/fleet-browser.php" "http://127.0.0.1:$port/fleet/" \
        "$scratch/fleet.png" "$scratch/fleet.html" "$scratch/chromium"
    echo "screenshot: $scratch/fleet.png"
    row=$(grep -o ">$device</a>.*" "$scratch/fleet.html" | sed 's|</tr>.*||')
    [[ $row == *'<td class="n">4<br>'* ]] || { echo "no row with 4 photos: ${row:-none}" && return 1; }
}
check "the fleet page shows the kiosk and its 4 photos" fleet_page_shows_the_kiosk_and_its_photos

if [ "$failures" -ne 0 ]; then
    echo "--- agent log"
    cat "$scratch/agent.log"
    echo "--- server log"
    tail -n 50 "$scratch/server.log"
    exit 1
fi
