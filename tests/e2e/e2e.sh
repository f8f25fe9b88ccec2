#!/usr/bin/env bash
# The real agent, offscreen, against a server on loopback; then the disk checked. "run": two
# minutes against the reference server, then the fleet page in headless Chromium. "kill": SIGKILL
# at random points of a large download from nginx, restarted each time.
# Usage: e2e.sh run|kill AGENT_BUILD_DIR SCRATCH (the agent's company root is SCRATCH/KESTOVA)
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
source "$top/scripts/sample-content.sh"
source "$top/server/nginx-local.sh"
source "$top/tests/e2e/checks.sh"
mode=$1 agent_build=$2 scratch=$3
root="$scratch/KESTOVA" data="$scratch/server-data" device="kiosk-e2e"
trap 'kill ${LUMIPOST_AGENT_PID:-} ${LUMIPOST_SERVER_PID:-} 2>/dev/null || true; stop_nginx_server' EXIT

wait_until() { # wait_until SECONDS COMMAND...
    for _ in $(seq $((100 * $1))); do
        "${@:2}" && return
        sleep 0.01
    done
    return 1
}
# Run by root, the agent runs as a member of the root's group alone (numeric ids: none is added).
as_kiosk() { # the root as the package makes it (root's, its group's, 2775), all in it group-writable
    find "$root" -type d -exec chmod 2775 {} + -o -type f -exec chmod 664 {} +
    [ "$(id -u)" -eq 0 ] || return 0
    mkdir -p "$scratch/home/.config" "$scratch/tmp" "$scratch/runtime" && touch "$scratch/launches.log"
    chown -R 64420:64420 "$scratch/home" "$scratch/tmp" "$scratch/runtime" "$scratch/launches.log"
    chown -R 0:64421 "$root" && kiosk=(setpriv --reuid=64420 --regid=64420 --groups=64421 --inh-caps=-all)
}
stop_agent() { # stop_agent [SIGNAL]
    kill "$@" "$LUMIPOST_AGENT_PID" 2>/dev/null || true
    wait "$LUMIPOST_AGENT_PID" 2>/dev/null || true
}

run_checks() {
    local seconds=${E2E_SECONDS:-130} workdir media_inode started
    local real_autostart="${XDG_CONFIG_HOME:-$HOME/.config}/autostart/LumipostSync.desktop"
    # Media already holds a served video, which must survive untouched, and one no longer served.
    cp "$data/Lumipost/ADS/Public/welcome.mp4" "$root/Lumipost/Media/"
    random_file "$root/Lumipost/Media/retired-ad.mp4" 1000
    media_inode=$(stat -c %i "$root/Lumipost/Media/welcome.mp4")
    cp -r "$root/$device/Camera" "$scratch/photos-before"
    as_kiosk
    mv "$root/Lumipost" "$scratch/product" && chmod a-w "$root" # the account cannot make it
    start_agent "$scratch" "$scratch/unwritable.log" "${kiosk[@]}"
    check "a product folder it may not make is named at start" wait_until 10 grep -qF \
        "!!! Cannot write the company folder $root/Lumipost: Permission denied" "$scratch/unwritable.log"
    stop_agent && chmod 2775 "$root" && mv "$scratch/product" "$root/Lumipost"
    LUMIPOST_SIGNING_KEY_FILE=$key start_sample_server "$data" "$port" "$scratch/server.log"
    workdir=$(dirname "$scratch")
    touch "$scratch/started"
    started=$(date +%s)
    cd "$workdir"
    LUMIPOST_SAMPLE_LAUNCH_LOG="$scratch/launches.log" start_agent "$scratch" "$scratch/agent.log" "${kiosk[@]}"
    sleep "$seconds"
    check "the agent is still running after $seconds s" kill -0 "$LUMIPOST_AGENT_PID"
    stop_agent
    kill "$LUMIPOST_SERVER_PID"

    launched_once_in_its_folder() {
        [ "$(wc -l <"$scratch/launches.log")" -eq 1 ] || return 1
        read -r when folder <"$scratch/launches.log"
        echo "started after $((when - started)) s in $folder"
        [ "$folder" = "$root/Lumipost/bin" ] && [ $((when - started)) -ge 59 ]
    }
    check "the product folder equals the served application tree" \
        same_trees -x Media "$data/Lumipost/Application" "$root/Lumipost"
    check "the served video already in Media was kept as it was" \
        test "$(stat -c %i "$root/Lumipost/Media/welcome.mp4")" = "$media_inode"
    check "the main application ran once, in its own folder, after the minute" launched_once_in_its_folder
    check "the photos are on the server with their relative paths" \
        same_trees "$scratch/photos-before" "$data/uploads/$device"
    check "the camera folder is empty" test -z "$(find "$root/$device/Camera" -type f 2>&1)"
    check "the public media folder holds exactly the public videos" \
        same_trees "$data/Lumipost/ADS/Public" "$root/Lumipost/Media"
    check "the device's media folder holds exactly its private videos" \
        same_trees "$data/Lumipost/ADS/Private/$device" "$root/$device/Media"
    check "every index was signed and taken" none grep -E 'signature refused|without sha256' "$scratch/agent.log"
    check "the company root holds only the device and product folders, and the agent's lock" \
        test "$(ls -A "$root" | LC_ALL=C sort | tr '\n' ' ')" = ".lumipost-sync.lock Lumipost $device "
    # Where a stray write would land: the working and build folders, the real
    # autostart folder and the program's default root.
    check "nothing was written outside the scratch folder" none find "$workdir" "$agent_build" \
        "$real_autostart" /var/lib/KESTOVA -newer "$scratch/started" -not -path "$scratch*"

    # The fleet page as the operator sees it: the server again, now with a
    # token, its page in headless Chromium; the screenshot stays in scratch.
    fleet_page_shows_the_kiosk_and_its_photos() {
        local token row
        token=$(head -c 24 /dev/urandom | base64 | tr -d '/+=')
        port=$(free_port)
        LUMIPOST_FLEET_TOKEN=$token start_sample_server "$data" "$port" "$scratch/fleet-server.log"
        LUMIPOST_FLEET_TOKEN=$token php "$top/scripts/fleet-browser.php" "http://127.0.0.1:$port/fleet/" \
            "$scratch/fleet.png" "$scratch/fleet.html" "$scratch/chromium"
        echo "screenshot: $scratch/fleet.png"
        row=$(grep -o ">$device</a>.*" "$scratch/fleet.html" | sed 's|</tr>.*||')
        [[ $row == *'<td class="n">4<br>'* ]] || { echo "no row with 4 photos: ${row:-none}" && return 1; }
    }
    check "the fleet page shows the kiosk and its 4 photos" fleet_page_shows_the_kiosk_and_its_photos
}

kill_checks() {
    local kills=${KILLS:-4} video=big-offer.mp4 size stretch at i sent requests
    local served="$data/Lumipost/ADS/Private/$device/$video" target="$root/$device/Media/$video"
    random_file "$served" $((${VIDEO_MIB:-512} << 20))
    random_file "$target" 1000 # an older version, which must stay whole until the new one is
    cp "$target" "$scratch/old-version"
    size=$(stat -c %s "$served")
    LUMIPOST_SIGNING_KEY_FILE=$key start_nginx_server "$data" "$port" "$scratch/nginx"
    partial_size() { stat -c %s "$root/$device/Media/.$video.partial" 2>/dev/null || echo 0; }
    past() { [ "$(partial_size)" -ge "$at" ]; }
    old_or_new() { cmp -s "$target" "$scratch/old-version" || cmp -s "$target" "$served"; }

    # Each run gets between a half and a whole of 1/(kills+1) of the file further
    # than the last, so every run is cut and the file is not yet whole at the end.
    stretch=$((size / (kills + 1) / 2))
    for i in $(seq "$kills"); do
        at=$(($(partial_size) + stretch + RANDOM * stretch / 32768))
        start_agent "$scratch" "$scratch/agent.log"
        wait_until 60 past || true
        stop_agent -9
        check "kill $i came with the partial file past $at bytes ($(partial_size))" past
        check "after kill $i the video's real name holds the old or the new version" old_or_new
    done
    start_agent "$scratch" "$scratch/agent.log"
    wait_until 120 grep -q "=== Video Ads Sync Cycle Finished Successfully ===" "$scratch/agent.log" || true
    stop_agent
    check "the video is the served one" cmp "$target" "$served"
    check "no partial files are left" none find "$root" -name '.*.partial*'
    read -r sent requests < <(awk -v path="/Lumipost/ADS/Private/$device/$video" \
        '$7 == path { sum += $10; n++ } END { print sum + 0, n + 0 }' "$scratch/nginx/logs/access.log")
    check "more requests ($requests) than kills: each kill cut the transfer" test "$requests" -gt "$kills"
    check "at most 1.5 times the file sent ($((sent * 100 / size)) %): the runs resumed" \
        test "$sent" -le $((size * 3 / 2))
}

rm -rf "$scratch"
mkdir -p "$scratch/bin"
make_server_data "$data" "$device"
make_kiosk_root "$root" "$device"
port=$(free_port)
# Both are signed fleets: the server signs its indexes ("run" as php -S, "kill"
# as nginx with php-fpm), the agent takes no other.
key="$scratch/index.key"
build_agent "$agent_build" "$port" "$(php "$top/server/keygen.php" "$key")"
cp "$agent_build/LumipostSync" "$scratch/bin/"
printf '[MainApp]\nPath=%s\n' "$root/Lumipost/bin/kiosk-app.sh" >"$scratch/bin/config.ini"
"${mode}_checks"

[ "$failures" -ne 0 ] || exit 0
for log in agent.log server.log nginx/logs/error.log; do
    [ ! -f "$scratch/$log" ] || { echo "--- $log" && tail -n 60 "$scratch/$log"; }
done
exit 1
