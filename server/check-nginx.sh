#!/usr/bin/env bash
# Checks the production set-up (nginx-lumipost.conf with php-fpm) by hand or
# in a release checklist: installs nginx, php-fpm and curl if missing, serves
# generated content on a free loopback port and asks it what an agent asks.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$top/scripts/deps.sh"
source "$top/scripts/sample-content.sh"
source "$top/server/nginx-local.sh"
install_missing_packages nginx php-fpm curl

scratch="$top/build/check-nginx"
data="$scratch/data"
rm -rf "$scratch"
make_server_data "$data" kiosk-1
random_file "$data/Lumipost/ADS/Public/.hidden.mp4" 10
ln -s /etc/passwd "$data/Lumipost/Application/passwd"
port=$(free_port)
base="http://127.0.0.1:$port"
trap stop_nginx_server EXIT
start_nginx_server "$data" "$port" "$scratch/nginx"

failures=0
expect() { # expect WHAT WANTED GOT
    if [ "$2" = "$3" ]; then
        echo "ok:   $1"
    else
        echo "FAIL: $1 (wanted $2, got $3)"
        failures=$((failures + 1))
    fi
}
status() { curl -s -o /dev/null -w '%{http_code}' --path-as-is "$@"; }
upload() { # upload FILE RELATIVE_PATH
    status -F "relative_path=$2" -F device_uuid=kiosk-1 -F "photo=@$1" "$base/sync_api.php?action=upload"
}

expect "application index" 200 "$(status "$base/sync_api.php?action=list_apps")"
expect "the index lists the tree's 7 folders and 7 files, not the link" 14 \
    "$(curl -s "$base/sync_api.php?action=list_apps" | grep -o '"relativePath"' | wc -l)"
expect "video index" 200 "$(status "$base/sync_api.php?action=list_videos&device_uuid=kiosk-1")"
curl -s -D "$scratch/headers" -o "$scratch/video" "$base/Lumipost/ADS/Public/welcome.mp4"
expect "a video comes back byte for byte" same \
    "$(cmp -s "$scratch/video" "$data/Lumipost/ADS/Public/welcome.mp4" && echo same || echo different)"
expect "with its Content-Length" 3000000 \
    "$(tr -d '\r' <"$scratch/headers" | sed -n 's/^Content-Length: //Ip')"
expect "a private video" 200 "$(status "$base/Lumipost/ADS/Private/kiosk-1/store-kiosk-1.mp4")"
# nginx refuses a path above its root as a bad request.
expect "traversal out of the trees" 400 "$(status "$base/Lumipost/ADS/../../../etc/passwd")"
expect "traversal inside the data folder" 404 "$(status "$base/Lumipost/ADS/../../uploads/")"
expect "a hidden file" 404 "$(status "$base/Lumipost/ADS/Public/.hidden.mp4")"
expect "a symbolic link" 404 "$(status "$base/Lumipost/Application/passwd")"
expect "the server's own code" 404 "$(status "$base/common.php")"
expect "uploads are not served" 404 "$(status "$base/uploads/")"

sample_photo "$scratch/a.jpg"
sample_photo "$scratch/b.jpg"
expect "an upload is stored" 201 "$(upload "$scratch/a.jpg" 2026/a.jpg)"
expect "under uploads/<device>/<relative_path>" same \
    "$(cmp -s "$scratch/a.jpg" "$data/uploads/kiosk-1/2026/a.jpg" && echo same || echo different)"
expect "the same bytes again are accepted" 200 "$(upload "$scratch/a.jpg" 2026/a.jpg)"
expect "other bytes under a taken name" 201 "$(upload "$scratch/b.jpg" 2026/a.jpg)"
expect "are kept beside it" same \
    "$(cmp -s "$scratch/b.jpg" "$data/uploads/kiosk-1/2026/a-1.jpg" && echo same || echo different)"
expect "a path out of the upload folder" 400 "$(upload "$scratch/a.jpg" ../../escape.jpg)"
expect "a wrong method" 405 "$(status -X POST "$base/sync_api.php?action=list_apps")"
expect "an unknown action" 400 "$(status "$base/sync_api.php?action=nothing")"
head -c $((513 << 20)) /dev/zero >"$scratch/huge.jpg"
expect "an upload over the 512 MB limit" 413 "$(upload "$scratch/huge.jpg" huge.jpg)"
rm -f "$scratch/huge.jpg"

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed; logs in $scratch/nginx/logs"; exit 1; }
echo "All nginx checks passed."
