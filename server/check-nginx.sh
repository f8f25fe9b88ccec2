#!/usr/bin/env bash
# Checks the production set-up (nginx-lumipost.conf with php-fpm, run by
# nginx-local.sh) side by side with php's built-in server (router.php, started
# with `php -n` to show it holds without php.ini), by hand or in a release
# checklist: installs nginx, php-fpm and curl if missing, serves the same
# generated content from both on free loopback ports, and asks both one table
# of requests: each row wants the same status from both, and for a 2xx the
# same body length. With --large, both also serve a 300,000-file application
# index (php-fpm at its default memory limit of 128 MB).
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$top/scripts/deps.sh"
source "$top/scripts/sample-content.sh"
source "$top/server/nginx-local.sh"
install_missing_packages nginx php-fpm curl

scratch="$top/build/check-nginx"
rm -rf "$scratch"
content="$scratch/content"
make_server_data "$content" kiosk-1
# The application tree through a symlink (an atomic deploy), a device's
# private folder linked to a shared one, and entries neither set-up serves.
app="$content/Lumipost/Application"
mkdir -p "$content/releases"
mv "$app" "$content/releases/v42"
ln -s ../releases/v42 "$app"
random_file "$content/Lumipost/ADS/shared/shared.mp4" 1000
ln -s ../shared "$content/Lumipost/ADS/Private/kiosk-2"
random_file "$content/Lumipost/ADS/Public/.hidden.mp4" 10
printf 0123456789 >"$content/Lumipost/ADS/Public/ten.mp4"
ln -s /etc/passwd "$app/passwd"
for name in CON.txt aux 'a<b.txt' 'q"uote.txt' 'star*.txt' 'pipe|.txt' dot. 'space ' Twin.txt twin.txt \
    locked.txt; do
    printf x >"$app/$name"
done
chmod 000 "$app/locked.txt"
for name in c:d.mp4 'e\f.mp4' $'g\nh.mp4'; do
    printf x >"$content/Lumipost/ADS/Public/$name"
done
# Each set-up writes uploads into a copy of its own, with the same times (so the same ETag).
cp -a "$content" "$scratch/php-data"
cp -a "$content" "$scratch/nginx-data"

php_port=$(free_port)
LUMIPOST_SERVER_DATA="$scratch/php-data" "${LUMIPOST_SERVER_PREFIX[@]}" php -n "$top/server/router.php" \
    "127.0.0.1:$php_port" >"$scratch/php.log" 2>&1 &
php_pid=$!
trap 'stop_nginx_server; kill $php_pid 2>/dev/null || true' EXIT
nginx_port=$(free_port)
start_nginx_server "$scratch/nginx-data" "$nginx_port" "$scratch/nginx"
for _ in $(seq 50); do
    (exec 3<>"/dev/tcp/127.0.0.1/$php_port") 2>/dev/null && break
    sleep 0.1
done
php_base="http://127.0.0.1:$php_port"
nginx_base="http://127.0.0.1:$nginx_port"

failures=0
report() { # report OK WHAT DETAILS
    if [ "$1" = true ]; then
        printf 'ok:   %s\n' "$2"
    else
        printf 'FAIL: %s (%s)\n' "$2" "$3"
        failures=$((failures + 1))
    fi
}
expect() { # expect WHAT WANTED GOT
    report "$([ "$2" = "$3" ] && echo true || echo false)" "$1" "wanted $2, got $3"
}
ask() { # ask BASE PATH [CURL OPTIONS...]: "status length"
    local base=$1 path=$2
    shift 2
    curl -s -o /dev/null -w '%{http_code} %{size_download}' --path-as-is "$@" "$base$path"
}
row() { # row STATUS LENGTH PATH [CURL OPTIONS...]; LENGTH "-" takes any, the same from both
    local status=$1 length=$2 path=$3 php nginx ok=false want
    shift 3
    php=$(ask "$php_base" "$path" "$@")
    nginx=$(ask "$nginx_base" "$path" "$@")
    want="$status ${length/#-/*}"
    if [[ $status == 2* ]]; then
        [ "$php" = "$nginx" ] && [[ $php == $want ]] && ok=true
    else
        [ "${php% *}" = "$status" ] && [ "${nginx% *}" = "$status" ] && ok=true
    fi
    report "$ok" "$(printf '%-3s %-8s %.100s' "$status" "$length" "$path${*:+ $*}")" "php -S: $php, nginx: $nginx"
}
header() { # header BASE PATH NAME [CURL OPTIONS...]
    local base=$1 path=$2 name=$3
    shift 3
    curl -s -D - -o /dev/null "$@" "$base$path" | tr -d '\r' | sed -n "s/^$name: //Ip"
}

echo "status length request (both set-ups)"
row 200 - "/sync_api.php?action=list_apps"
row 200 - "/sync_api.php?action=list_videos&device_uuid=kiosk-1"
row 200 - "/sync_api.php?action=list_videos&device_uuid=kiosk-2"
row 200 3000000 /Lumipost/ADS/Public/welcome.mp4
row 200 0 /Lumipost/ADS/Public/welcome.mp4 -I
row 200 2500000 /Lumipost/ADS/Private/kiosk-1/store-kiosk-1.mp4
row 200 1000 /Lumipost/ADS/Private/kiosk-2/shared.mp4
row 200 1500000 /Lumipost/Application/bin/libkiosk.so
row 200 1 /Lumipost/Application/Twin.txt
row 405 - /Lumipost/Application/README.txt -X PUT
for path in /Lumipost/Application/locked.txt /Lumipost/Application/passwd /Lumipost/ADS/Public/.hidden.mp4 /Lumipost/Application/CON.txt \
    /Lumipost/Application/aux /Lumipost/Application/a%3Cb.txt /Lumipost/Application/q%22uote.txt \
    '/Lumipost/Application/star*.txt' /Lumipost/Application/pipe%7C.txt /Lumipost/Application/dot. \
    /Lumipost/Application/space%20 /Lumipost/Application/%FF.txt /Lumipost//Application/README.txt \
    /Lumipost/./Application/README.txt /Lumipost/ADS/Public/c:d.mp4 /Lumipost/ADS/Public/e%5Cf.mp4 \
    /Lumipost/ADS/Public/g%0Ah.mp4 "/Lumipost/ADS/../../sync_api.php?action=list_apps" \
    /Lumipost/ADS/Public/%2e%2e/Public/welcome.mp4 /Lumipost/ADS/../../uploads/ /Lumipost/ADS/Private/kiosk-1 \
    /Lumipost/Application/bin/ /common.php /uploads/ /; do
    row 404 - "$path"
done
row 400 - /Lumipost/ADS/../../../etc/passwd
row 400 - /Lumipost/Application/bin%00/x

ten=/Lumipost/ADS/Public/ten.mp4
etag=$(header "$nginx_base" $ten ETag)
date=$(header "$nginx_base" $ten Last-Modified)
old="Thu, 01 Jan 1970 00:00:00 GMT"
row 200 10 $ten
row 206 8 $ten -H "Range: bytes=2-"
row 206 3 $ten -H "Range: bytes=2-4"
row 206 3 $ten -H "Range: bytes=-3"
row 206 10 $ten -H "Range: bytes=0-100"
row 416 - $ten -H "Range: bytes=10-"
row 416 - $ten -H "Range: bytes=abc"
row 200 10 $ten -H "Range: bytes=0-1,3-4"
row 206 8 $ten -H "Range: bytes=2-" -H "If-Range: $etag"
row 206 8 $ten -H "Range: bytes=2-" -H "If-Range: $date"
row 200 10 $ten -H "Range: bytes=2-" -H "If-Range: W/$etag"
row 200 10 $ten -H "Range: bytes=2-" -H "If-Range: $old"
row 304 - $ten -H "If-None-Match: $etag"
row 304 - $ten -H "If-Modified-Since: $date"
row 412 - $ten -H 'If-Match: "x"'
row 412 - $ten -H "If-Unmodified-Since: $old"
for name in ETag Last-Modified Accept-Ranges; do
    expect "$name the same from both" "$(header "$nginx_base" $ten $name)" "$(header "$php_base" $ten $name)"
done
expect "Content-Range the same from both" "$(header "$nginx_base" $ten Content-Range -H 'Range: bytes=2-')" \
    "$(header "$php_base" $ten Content-Range -H 'Range: bytes=2-')"
expect "the same application index from both" "$(curl -s "$nginx_base/sync_api.php?action=list_apps")" \
    "$(curl -s "$php_base/sync_api.php?action=list_apps")"
expect "the index lists the tree's 7 folders and 7 files, nothing else" 14 \
    "$(curl -s "$php_base/sync_api.php?action=list_apps" | grep -o '"relativePath"' | wc -l)"
expect "the index carries the files' SHA-256" "$(sha256sum <"$app/README.txt" | cut -c1-64)" \
    "$(curl -s "$nginx_base/sync_api.php?action=list_apps" | grep -o '"README.txt"[^}]*' | grep -o '[0-9a-f]\{64\}')"
expect "no PHP version from php -S" "" "$(header "$php_base" /Lumipost/ADS/Public/welcome.mp4 X-Powered-By)"
expect "no PHP version from php-fpm" "" "$(header "$nginx_base" "/sync_api.php?action=list_apps" X-Powered-By)"
expect "no nginx version in Server" nginx "$(header "$nginx_base" / Server)"
expect "no nginx version on error pages" 0 "$(curl -s "$nginx_base/" | grep -c 'nginx/' || true)"

# The same uploads into both; afterwards both upload folders hold the same.
cd "$scratch"
sample_photo a.jpg
sample_photo b.jpg
head -c $((513 << 20)) /dev/zero >huge.jpg
up() { # up STATUS FILE RELATIVE_PATH [DEVICE]
    row "$1" - "/sync_api.php?action=upload" -F "relative_path=$3" -F "device_uuid=${4:-kiosk-1}" -F "photo=@$2"
}
up 201 a.jpg 2026/a.jpg
up 200 a.jpg 2026/a.jpg
up 201 b.jpg 2026/a.jpg
for base in "$php_base" "$nginx_base"; do
    expect "the receipt of a photo is its SHA-256 ($base)" "$(sha256sum <a.jpg | cut -c1-64)" \
        "$(header "$base" "/sync_api.php?action=upload" X-Content-SHA256 -F relative_path=2026/a.jpg \
            -F device_uuid=kiosk-1 -F photo=@a.jpg)"
done
up 400 a.jpg ../../escape.jpg
up 400 a.jpg $'\xff.jpg'
up 400 a.jpg x.jpg "$(printf 'd%.0s' $(seq 300))"
up 413 huge.jpg huge.jpg
rm -f huge.jpg
row 405 - "/sync_api.php?action=list_apps" -X POST
row 400 - "/sync_api.php?action=nothing"
expect "both stored the same photos" same \
    "$(diff -r "$scratch/php-data/uploads" "$scratch/nginx-data/uploads" >/dev/null && echo same || echo different)"
expect "under uploads/<device>/<relative_path>, the other bytes beside" same \
    "$(cmp -s a.jpg "$scratch/nginx-data/uploads/kiosk-1/2026/a.jpg" &&
        cmp -s b.jpg "$scratch/nginx-data/uploads/kiosk-1/2026/a-1.jpg" && echo same || echo different)"
mv "$scratch/php-data/uploads" "$scratch/php-data/uploads.away"
mv "$scratch/nginx-data/uploads" "$scratch/nginx-data/uploads.away"
up 500 a.jpg 2026/c.jpg

if [ "${1:-}" = --large ]; then
    # 300 folders of 1,000 files, switched in as a new release.
    php -r '$root = $argv[1]; for ($d = 0; $d < 300; ++$d) { mkdir("$root/folder-$d", 0777, true);
        for ($f = 0; $f < 1000; ++$f) { touch("$root/folder-$d/file-$f.dat"); } }' "$scratch/large"
    for side in php nginx; do
        ln -s ../../large "$scratch/$side-data/releases/large"
        ln -sfn ../releases/large "$scratch/$side-data/Lumipost/Application.new"
        mv -T "$scratch/$side-data/Lumipost/Application.new" "$scratch/$side-data/Lumipost/Application"
    done
    row 200 - "/sync_api.php?action=list_apps"
    expect "php-fpm lists 300,000 files and 300 folders" 300300 \
        "$(curl -s "$nginx_base/sync_api.php?action=list_apps" | grep -o '"relativePath"' | wc -l)"
fi

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed; logs in $scratch"; exit 1; }
echo "All checks passed: both set-ups agree."
