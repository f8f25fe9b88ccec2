#!/usr/bin/env bash
# Runs the agent against the bundled sync server with generated sample
# content, all of it under build/demo. Installs what is missing and builds
# first. With a display the window opens and stays until "Exit" in the tray
# menu; without one the agent runs under Xvfb, a screenshot of the window is
# saved once the first photos are uploaded, and the demo stops after
# DEMO_SECONDS (default 130) unless started with --keep-running. The server's
# fleet page is open with a token printed at the start; at the end a screenshot
# of it, taken with headless Chromium, goes beside the window's.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$top/scripts/deps.sh"
source "$top/scripts/sample-content.sh"
install_missing_packages x11-apps netpbm

keep_running=false
[ "${1:-}" = "--keep-running" ] && keep_running=true
scratch="$top/build/demo"
root="$scratch/KESTOVA"
data="$scratch/server-data"
device="kiosk-demo"
run="$scratch/run"

pids=()
stop_all() {
    trap - EXIT INT TERM
    [ ${#pids[@]} -eq 0 ] || kill "${pids[@]}" 2>/dev/null || true
    wait 2>/dev/null || true
}
trap stop_all EXIT
trap 'echo; echo "Stopping."; exit 130' INT TERM

# Fresh content on every run, so each demo shows a whole first sync.
rm -rf "$root" "$data" "$run"
mkdir -p "$run"
make_server_data "$data" "$device"
make_kiosk_root "$root" "$device"

port=$(free_port)
server_url="http://127.0.0.1:$port"
cmake -S "$top" -B "$scratch/build" -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DLUMIPOST_COMPANY_ROOT="$root" -DLUMIPOST_SYNC_SERVER_URL="$server_url" >/dev/null
cmake --build "$scratch/build" -j"$(nproc)" --target LumipostSync
agent="$scratch/build/LumipostSync"
printf '[MainApp]\nPath=%s\n' "$root/Lumipost/bin/kiosk-app.sh" >"$scratch/build/config.ini"

fleet_token=$(head -c 24 /dev/urandom | base64 | tr -d '/+=')
LUMIPOST_FLEET_TOKEN=$fleet_token start_sample_server "$data" "$port" "$run/server.log"
pids+=("$LUMIPOST_SERVER_PID")

# The agent registers itself for login autostart: keep that entry in the
# scratch folder rather than in the user's own autostart folder.
export XDG_CONFIG_HOME="$scratch/config"
export LUMIPOST_SAMPLE_LAUNCH_LOG="$run/launches.log"
echo "Company root: $root"
echo "Sync server:  $server_url (data in $data)"
echo "Fleet page:   $server_url/fleet/ (token: $fleet_token)"

fleet_screenshot() {
    install_missing_packages chromium
    LUMIPOST_FLEET_TOKEN=$fleet_token php "$top/scripts/fleet-browser.php" "$server_url/fleet/" \
        "$scratch/fleet.png" "$run/fleet.html" "$run/chromium" &&
        echo "Screenshot of the fleet page: $scratch/fleet.png" ||
        echo "No screenshot of the fleet page: see $run/chromium/chromium.log"
}

summary() {
    local mirrored photos videos launches
    # Hidden files are the agent's own (its record of checked hashes), not mirrored ones.
    mirrored=$(find "$root/Lumipost" -path "$root/Lumipost/Media" -prune -o -type f -not -name ".*" -print | wc -l)
    photos=$(find "$data/uploads" -type f -not -name ".*" | wc -l)
    videos=$(find "$root/Lumipost/Media" "$root/$device/Media" -type f -not -name ".*" 2>/dev/null | wc -l)
    launches=$(wc -l <"$run/launches.log" 2>/dev/null || echo 0)
    echo
    echo "Summary"
    echo "  application files mirrored: $mirrored (server: $(find "$data/Lumipost/Application" -type f | wc -l))"
    echo "  photos uploaded:            $photos (left in the camera folder: $(find "$root/$device/Camera" -type f | wc -l))"
    echo "  videos fetched:             $videos (server: $(find "$data/Lumipost/ADS/Public" "$data/Lumipost/ADS/Private/$device" -type f | wc -l))"
    echo "  main application starts:    $launches"
}

if [ -n "${DISPLAY:-}" ]; then
    "$agent" || true
    fleet_screenshot
    summary
    exit 0
fi

display=99
while [ -e "/tmp/.X$display-lock" ] || [ -e "/tmp/.X11-unix/X$display" ]; do
    display=$((display + 1))
done
# The screen is the window's size, so a shot of the screen is the window.
Xvfb ":$display" -screen 0 800x600x24 -nolisten tcp >"$run/xvfb.log" 2>&1 &
pids+=($!)
export DISPLAY=":$display"
for _ in $(seq 50); do
    [ -e "/tmp/.X11-unix/X$display" ] && break
    sleep 0.1
done

"$agent" >"$run/agent.log" 2>&1 &
pids+=($!)
tail -n +1 -f "$run/agent.log" &
pids+=($!)

screenshot="$scratch/window.png"
shot_taken=false
deadline=$((SECONDS + ${DEMO_SECONDS:-130}))
while $keep_running || [ $SECONDS -lt $deadline ]; do
    if ! $shot_taken && grep -q "Successfully uploaded to server" "$run/agent.log"; then
        sleep 2 # let the window show the end of the cycle
        xwd -root -silent | xwdtopnm 2>/dev/null | pnmtopng >"$screenshot" 2>/dev/null &&
            echo "Screenshot of the window: $screenshot"
        shot_taken=true
    fi
    sleep 1
done
fleet_screenshot
summary
