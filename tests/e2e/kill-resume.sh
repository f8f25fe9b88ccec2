#!/usr/bin/env bash
# The real LumipostSync binary killed with SIGKILL at random points while it
# fetches a large video from nginx, restarted each time; then the outcome is
# checked on disk and in nginx's access log.
# Usage: kill-resume.sh AGENT_BUILD_DIR SCRATCH (the company root the agent was built for is
# SCRATCH/KESTOVA)
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
source "$top/scripts/sample-content.sh"
source "$top/server/nginx-local.sh"
agent_build=$1
scratch=$2
root="$scratch/KESTOVA"
data="$scratch/server-data"
device="kiosk-e2e"
kills=${KILLS:-4}
size_mib=${VIDEO_MIB:-512}
video="big-offer.mp4"
served="$data/Lumipost/ADS/Private/$device/$video"
target="$root/$device/Media/$video"
partial="$root/$device/Media/.$video.partial"

trap 'kill -9 "${LUMIPOST_AGENT_PID:-}" 2>/dev/null || true; stop_nginx_server' EXIT

rm -rf "$scratch"
mkdir -p "$scratch/bin"
make_server_data "$data" "$device"
make_kiosk_root "$root" "$device"
random_file "$served" $((size_mib << 20))
random_file "$target" 1000 # an older version, which must stay whole until the new one is
cp "$target" "$scratch/old-version"
size=$(stat -c %s "$served")

port=$(free_port)
build_agent "$agent_build" "$port"
cp "$agent_build/LumipostSync" "$scratch/bin/"
printf '[MainApp]\nPath=%s\n' "$root/Lumipost/bin/kiosk-app.sh" >"$scratch/bin/config.ini"
start_nginx_server "$data" "$port" "$scratch/nginx"

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
target_is_whole() { cmp -s "$target" "$scratch/old-version" || cmp -s "$target" "$served"; }
partial_size() { stat -c %s "$partial" 2>/dev/null || echo 0; }

# Each run gets between a half and a whole of 1/(kills+1) of the file further
# than the last, so every run is cut and the file is not yet whole at the end.
stretch=$((size / (kills + 1) / 2))
for i in $(seq "$kills"); do
    at=$(($(partial_size) + stretch + RANDOM * stretch / 32768))
    start_agent "$scratch" "$scratch/agent.log"
    for _ in $(seq 6000); do
        [ "$(partial_size)" -lt "$at" ] || break
        sleep 0.01
    done
    kill -9 "$LUMIPOST_AGENT_PID"
    wait "$LUMIPOST_AGENT_PID" 2>/dev/null || true
    got=$(partial_size)
    echo "kill $i: wanted past $at bytes, the partial file held $got"
    [ "$got" -ge "$at" ] || fail "kill $i came before the agent got that far"
    target_is_whole || fail "after kill $i the video's real name holds neither version"
done

start_agent "$scratch" "$scratch/agent.log"
for _ in $(seq 1200); do
    grep -q "=== Video Ads Sync Cycle Finished Successfully ===" "$scratch/agent.log" && break
    sleep 0.1
done
kill "$LUMIPOST_AGENT_PID"
wait "$LUMIPOST_AGENT_PID" 2>/dev/null || true

cmp -s "$target" "$served" || fail "the video is not the served one"
leftovers=$(find "$root" -name '.*.partial*')
[ -z "$leftovers" ] || fail "partial files left: $leftovers"
sent=$(awk -v path="/Lumipost/ADS/Private/$device/$video" '$7 == path { sum += $10 } END { print sum + 0 }' \
    "$scratch/nginx/logs/access.log")
requests=$(grep -c " /Lumipost/ADS/Private/$device/$video " "$scratch/nginx/logs/access.log" || true)
echo "served $sent bytes in $requests requests for a file of $size bytes ($((sent * 100 / size)) %)"
[ "$requests" -gt "$kills" ] || fail "fewer requests than runs: the kills did not interrupt the transfer"
[ "$sent" -le $((size * 3 / 2)) ] || fail "more than 1.5 times the file was sent: the runs did not resume"

if [ "$failures" -ne 0 ]; then
    echo "--- agent log"
    grep -v "^$" "$scratch/agent.log" | tail -n 60
    exit 1
fi
echo "All kill-and-resume checks passed."
