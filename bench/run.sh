#!/usr/bin/env bash
# Benchmarks the agent against the standard tools on this machine and prints
# one table (bench/README.md explains the rows and bars):
#   bench/run.sh [RESULTS.json]
# or runs the soak alone, 20 minutes (BENCH_SOAK_MINUTES to shorten):
#   bench/run.sh soak
# or the fleet's load on the server alone (row 5, a minute):
#   bench/run.sh load
# The figures also go to build/bench/results.json, and to RESULTS.json when
# given (otherwise the JSON is printed after the table). For a quicker look:
# BENCH_RUNS, BENCH_HEAVY_RUNS, BENCH_IDLE_SECONDS, BENCH_SIZES, BENCH_BIG_MIB,
# BENCH_PHOTOS, BENCH_LOAD_KIOSKS, BENCH_LOAD_SECONDS.
set -Eeuo pipefail
# A benchmark that stops says where.
trap 'echo "bench/run.sh stopped: \"$BASH_COMMAND\" failed (exit $?) at line $LINENO" >&2' ERR
export LC_ALL=C
began=$SECONDS
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
json_copy=${1:-}
soak_minutes=""
[ "$json_copy" != soak ] || { soak_minutes=${BENCH_SOAK_MINUTES:-20}; json_copy=""; }
load_only=""
[ "$json_copy" != load ] || { load_only=1; json_copy=""; }
load_kiosks=${BENCH_LOAD_KIOSKS:-200}
load_seconds=${BENCH_LOAD_SECONDS:-60}
runs=${BENCH_RUNS:-5}
heavy_runs=${BENCH_HEAVY_RUNS:-3}
idle_seconds=${BENCH_IDLE_SECONDS:-600}
sizes=${BENCH_SIZES:-"1000 10000 100000"}
big_mib=${BENCH_BIG_MIB:-1024}
photos=${BENCH_PHOTOS:-500}
small_files=2000
device=KIOSK-01

source "$top/scripts/deps.sh"
source "$top/scripts/sample-content.sh"
source "$top/server/nginx-local.sh"
if [ -n "$soak_minutes" ]; then
    install_missing_packages # its server is in the program
else
    install_missing_packages nginx php-fpm rsync curl wget
fi

build="$top/build/bench"
scratch="$build/scratch"
bench="$build/bench/lumipost_bench"
data="$scratch/data"
roots="$scratch/roots"
out="$scratch/out"
samples="$scratch/samples.jsonl"
log="$scratch/logs/bench.log"
load_start=$(uptime)

echo "== Building Release into $build"
mkdir -p "$build"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DLUMIPOST_WERROR=ON >"$build/configure.log" || { cat "$build/configure.log"; exit 1; }
nice cmake --build "$build" --target lumipost_bench -j2 >"$build/build.log" 2>&1 ||
    { cat "$build/build.log"; exit 1; }

if [ -n "$soak_minutes" ]; then
    # Its own loopback server; the agent's warnings go to the log, not between the samples.
    echo "== Soak: $soak_minutes minutes of faults and changes, then faults off until converged"
    mkdir -p "$build/scratch/logs"
    QT_LOGGING_RULES="lumipost.sync.info=false" "$bench" soak --minutes "$soak_minutes" \
        2>"$build/scratch/logs/soak.log"
    exit
fi

rm -rf "$scratch"
mkdir -p "$scratch/logs" "$roots" "$out"
: >"$samples"

# The big file, its download and the photos with their uploads must fit on
# the disk; halve both until they do.
avail_mib=$(($(df -Pk "$build" | awk 'NR == 2 { print $4 }') / 1024))
scaled=""
while [ "$big_mib" -gt 64 ] && [ $((big_mib * 2 + photos * 4 + 2048)) -gt "$avail_mib" ]; do
    big_mib=$((big_mib / 2))
    photos=$((photos / 2))
    scaled="scaled down to fit ${avail_mib} MiB of disk"
done
[ -z "$scaled" ] || echo "!! Data $scaled: big file $big_mib MiB, $photos photos"

# Row 5: KIOSKS kiosks at once doing the agent's mix against the server as shipped (nginx, php-fpm,
# the fleet recorded in SQLite), then every acknowledged photo read back.
run_load_row() {
    local port clip="$scratch/clip.bin"
    rm -rf "$scratch/load" && mkdir -p "$scratch/load/Lumipost/Application" "$scratch/load/Lumipost/ADS/Public" \
        "$scratch/load/uploads"
    head -c $((1 << 20)) /dev/urandom >"$clip"
    for i in $(seq 0 $((load_kiosks - 1))); do
        mkdir -p "$scratch/load/Lumipost/ADS/Private/$(printf 'load-%03d' "$i")"
        ln "$clip" "$scratch/load/Lumipost/ADS/Private/$(printf 'load-%03d' "$i")/clip.bin"
    done
    "$bench" make-files --dir "$scratch/load/Lumipost/Application" --count 200 --size 4096 --prefix f --suffix .bin
    "$bench" make-files --dir "$scratch/load/Lumipost/ADS/Public" --count 5 --size 65536 --prefix ad --suffix .mp4
    port=$(free_port)
    start_nginx_server "$scratch/load" "$port" "$scratch/load-server"
    php "$top/bench/load.php" "http://127.0.0.1:$port" "$scratch/load" "$load_kiosks" "$load_seconds" >>"$samples"
    tail -n 1 "$samples" | php -r '$s = json_decode(stream_get_contents(STDIN), true);
        printf("Row 5: fleet load, %s for %.0f s: %.1f requests/s, p50 %.1f ms, p99 %.1f ms, %d errors, %d of %d acknowledged photos whole\n",
               $s["case"], $s["seconds"], $s["requests_per_s"], $s["p50_ms"], $s["p99_ms"], $s["errors"], $s["photos_whole"], $s["photos_checked"]);' \
        | tee "$scratch/load.txt"
    stop_nginx_server
    rm -rf "$scratch/load"
}

idle_pid=""
cleanup() {
    [ -z "$idle_pid" ] || kill "$idle_pid" 2>/dev/null || true
    stop_nginx_server
    # The big files and the trees go; logs and samples stay for a look.
    rm -rf "$data" "$roots" "$out" "$scratch/photos" "$scratch/reconcile" "$scratch/idle-data"
}
trap cleanup EXIT
if [ -n "$load_only" ]; then
    echo "== Row 5: fleet load, $load_kiosks kiosks for $load_seconds s"
    run_load_row
    exit
fi

# sample_run ROW CASE TOOL COMMAND...: one timed run of a standard tool.
sample_run() {
    "$bench" run --row "$1" --case "$2" --tool "$3" -- "${@:4}" 2>>"$log"
}

# with_bytes BYTES: adds the bytes a tool fetched to its sample line.
with_bytes() {
    local line
    read -r line
    echo "${line%\}},\"bytes\":$1}"
}

count_files() {
    find "$1" -type f ! -name .lumipost-hashes 2>/dev/null | wc -l # not the agent's record of hashes
}

expect_files() { # expect_files DIR COUNT WHAT
    local got
    got=$(count_files "$1")
    [ "$got" -eq "$2" ] || { echo "$3: $got files in $1, wanted $2; see $log" >&2; exit 1; }
}

echo "== Starting nginx and php-fpm on loopback"
mkdir -p "$data/Lumipost/Application" "$data/Lumipost/ADS/Public" \
    "$data/Lumipost/ADS/Private/$device" "$data/uploads"
make_server_data "$scratch/idle-data" "$device"
port=$(free_port)
idle_port=$(free_port)
[ "$port" != "$idle_port" ] || idle_port=$(free_port)
base="http://127.0.0.1:$port"
start_nginx_server "$data" "$port" "$scratch/server"
start_nginx_server "$scratch/idle-data" "$idle_port" "$scratch/idle-server"

# Row 4 runs for its whole window beside the others: it wakes for a moment
# every few seconds, and what it is measured on is its own CPU time.
echo "== Row 4: idle agent for $idle_seconds s, in the background"
mkdir -p "$roots/idle/$device/Camera"
"$bench" idle --root "$roots/idle" --server "http://127.0.0.1:$idle_port" --start-ms 0 \
    --photo-ms 5000 --video-ms 30000 --seconds "$idle_seconds" \
    --timeout $((idle_seconds + 300)) --row idle --case idle --tool agent \
    >"$scratch/idle.jsonl" 2>"$scratch/logs/idle.log" &
idle_pid=$!

echo "== Generating data in $scratch"
for n in $sizes; do
    "$bench" make-reconcile-set --dir "$scratch/reconcile/$n" --entries "$n" \
        --row reconcile --case "$n" --tool set >>"$samples"
done
"$bench" make-files --dir "$data/Lumipost/Application/small" --count "$small_files" \
    --size 4096 --prefix f --suffix .bin
"$bench" make-files --dir "$data/Lumipost/ADS/Private/$device" --count 1 \
    --size $((big_mib << 20)) --prefix big --suffix .bin
"$bench" make-files --dir "$scratch/photos" --count "$photos" --size $((2 << 20)) \
    --prefix IMG_ --suffix .jpg

echo "== Row 1: reconcile, $runs runs per size"
for n in $sizes; do
    set_dir="$scratch/reconcile/$n"
    local_tree="$set_dir/root/Lumipost"
    # Warm the caches, and check that rsync sees the same work as the agent.
    "$bench" walk --dir "$local_tree" >/dev/null
    rsync -rni --size-only --delete "$set_dir/server/" "$local_tree/" |
        awk -v n="$n" '/^\*deleting/ { d++ } /^>f/ { t++ }
            END { printf "{\"row\":\"reconcile\",\"case\":\"%s\",\"tool\":\"rsync-check\",\"transfers\":%d,\"deletions\":%d}\n", n, t, d }' \
            >>"$samples"
    for _ in $(seq "$runs"); do
        "$bench" reconcile --dir "$set_dir" --row reconcile --case "$n" --tool agent \
            >>"$samples" 2>>"$log"
        "$bench" walk --dir "$local_tree" --row reconcile --case "$n" --tool walk >>"$samples"
        sample_run reconcile "$n" rsync rsync -rn --size-only --delete "$set_dir/server/" \
            "$local_tree/" >>"$samples"
    done
done

largest=${sizes##* }
echo "== Row 1 with content hashes in the index: $largest entries, one cold run, $runs warm"
set_dir="$scratch/reconcile/$largest"
local_tree="$set_dir/root/Lumipost"
find "$local_tree" -name .lumipost-hashes -delete
"$bench" reconcile --dir "$set_dir" --index index-hashed --row reconcile-hashed --case "$largest" \
    --tool agent-cold >>"$samples" 2>>"$log"
sample_run reconcile-hashed "$largest" sha256sum \
    bash -c 'find "$1" -type f -print0 | xargs -0 sha256sum >/dev/null' _ "$local_tree" >>"$samples"
for _ in $(seq "$runs"); do
    "$bench" reconcile --dir "$set_dir" --index index-hashed --row reconcile-hashed \
        --case "$largest" --tool agent >>"$samples" 2>>"$log"
    "$bench" walk --dir "$local_tree" --row reconcile-hashed --case "$largest" --tool walk >>"$samples"
    sample_run reconcile-hashed "$largest" rsync rsync -rn --size-only --delete \
        "$set_dir/server/" "$local_tree/" >>"$samples"
done

echo "== Row 2: downloads, $heavy_runs runs each"
big_url="$base/Lumipost/ADS/Private/$device/big00000.bin"
big_case="1 x $big_mib MiB"
for _ in $(seq "$heavy_runs"); do
    rm -rf "$roots/video" && mkdir -p "$roots/video/$device"
    "$bench" download --flow video --root "$roots/video" --server "$base" \
        --row download-large --case "$big_case" --tool agent >>"$samples" 2>>"$log"
    rm -rf "$roots/video"
    line=$(sample_run download-large "$big_case" curl curl -sS -f -o "$out/big.bin" "$big_url")
    with_bytes "$(stat -c %s "$out/big.bin")" <<<"$line" >>"$samples"
    rm -f "$out/big.bin"
    line=$(sample_run download-large "$big_case" curl-sync bash -c \
        'curl -sS -f -o "$1" "$2" && sync "$1"' _ "$out/big.bin" "$big_url")
    with_bytes "$(stat -c %s "$out/big.bin")" <<<"$line" >>"$samples"
    rm -f "$out/big.bin"
done

small_case="$small_files x 4 KiB"
for f in "$data/Lumipost/Application/small/"*; do
    echo "$base/Lumipost/Application/small/${f##*/}"
done >"$scratch/small-urls.txt"
for _ in $(seq "$heavy_runs"); do
    # No device folder: the video cycle that follows the mirror finds nothing to fetch.
    rm -rf "$roots/app" && mkdir -p "$roots/app"
    "$bench" download --flow app --root "$roots/app" --server "$base" \
        --row download-small --case "$small_case" --tool agent >>"$samples" 2>>"$log"
    expect_files "$roots/app/Lumipost" "$small_files" "application mirror"
    rm -rf "$roots/app" "$out/small"
    sample_run download-small "$small_case" wget wget -q -nd -P "$out/small" \
        -i "$scratch/small-urls.txt" | with_bytes $((small_files * 4096)) >>"$samples"
    expect_files "$out/small" "$small_files" "wget"
    rm -rf "$out/small"
done

echo "== Row 3: uploads, $heavy_runs runs"
camera="$roots/upload/$device/Camera"
uploads="$data/uploads/$device"
fewer=$((photos / 5))
fill_camera() { # fill_camera COUNT: hard links, so refilling costs no copy
    rm -rf "$roots/upload" "$uploads" && mkdir -p "$camera"
    # sed reads to the end: head would end the pipe early, and sort's SIGPIPE would stop the script.
    find "$scratch/photos" -type f | sort | sed -n "1,${1}p" | xargs ln -t "$camera"
}
# One curl, one kept-alive connection, one photo after the other.
for f in "$scratch/photos/"*; do
    [ "$f" = "$scratch/photos/IMG_00000.jpg" ] || echo next
    printf 'url = "%s"\nform = "relative_path=%s"\nform = "device_uuid=%s"\n' \
        "$base/sync_api.php?action=upload" "${f##*/}" "$device"
    printf 'form = "photo=@%s"\noutput = "/dev/null"\nsilent\nshow-error\nfail\n' "$f"
done >"$scratch/curl-upload.cfg"
upload_case="$photos x 2 MiB"
for _ in $(seq "$heavy_runs"); do
    fill_camera "$photos"
    "$bench" upload --root "$roots/upload" --server "$base" \
        --row upload --case "$upload_case" --tool agent >>"$samples" 2>>"$log"
    expect_files "$uploads" "$photos" "agent upload"
    expect_files "$camera" 0 "camera after the agent's cycle"
    rm -rf "$uploads"
    sample_run upload "$upload_case" curl curl -K "$scratch/curl-upload.cfg" >>"$samples"
    expect_files "$uploads" "$photos" "curl upload"
    fill_camera "$fewer"
    "$bench" upload --root "$roots/upload" --server "$base" \
        --row upload --case "$fewer x 2 MiB" --tool agent-fewer >>"$samples" 2>>"$log"
    expect_files "$uploads" "$fewer" "agent upload (fewer)"
done
rm -rf "$roots/upload" "$uploads"

echo "== Row 4: waiting for the idle agent"
wait "$idle_pid" || { echo "the idle agent failed; see $scratch/logs/idle.log" >&2; exit 1; }
idle_pid=""
cat "$scratch/idle.jsonl" >>"$samples"

echo "== Row 5: fleet load, $load_kiosks kiosks for $load_seconds s"
run_load_row

echo
report=(report --samples "$samples" --json "$build/results.json"
    --meta "cores=$(nproc)" --meta "load_start=$load_start" --meta "load_end=$(uptime)"
    --meta "runs_reconcile=$runs" --meta "runs_transfer=$heavy_runs"
    --meta "total_seconds=$((SECONDS - began))")
[ -z "$scaled" ] || report+=(--meta "data=$scaled")
"$bench" "${report[@]}"
cat "$scratch/load.txt"
echo
echo "Cores: $(nproc); load average at the end$(uptime | sed 's/.*load average//')"
echo "Total run time: $((SECONDS - began)) s; JSON in $build/results.json"
if [ -n "$json_copy" ]; then
    cp "$build/results.json" "$json_copy"
else
    cat "$build/results.json"
fi
