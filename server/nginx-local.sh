# Sourced by bench/run.sh and server/check-nginx.sh: runs the production
# set-up, nginx-lumipost.conf with php-fpm, as the current user on a loopback
# port, with every pid, socket, log and temporary file in one scratch folder.
#
#   start_nginx_server DATA PORT SCRATCH   # waits until it answers; signs the indexes
#                                          # with LUMIPOST_SIGNING_KEY_FILE when set
#   stop_nginx_server

LUMIPOST_NGINX_PIDS=()
# Run as root, the servers keep root's user (see below) but lose its right to
# read and search whatever a file's mode forbids, as www-data would.
LUMIPOST_SERVER_PREFIX=()
[ "$(id -u)" -ne 0 ] || LUMIPOST_SERVER_PREFIX=(setpriv --bounding-set=-dac_override,-dac_read_search)

start_nginx_server() {
    local data=$1 port=$2 dir=$3
    local server_dir fpm as_root="" name settings=()
    server_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
    fpm=$(ls /usr/sbin/php-fpm* | head -n 1)
    # Run as root, both would hand their workers to another user who may not
    # read the data folder; keep them as the user who started them.
    [ "$(id -u)" -ne 0 ] || as_root=1
    mkdir -p "$dir/logs" "$dir/tmp"

    cat >"$dir/php-fpm.conf" <<EOF
[global]
error_log = $dir/logs/php-fpm.log
daemonize = no
[lumipost]
${as_root:+user = root}
listen = $dir/php-fpm.sock
pm = static
pm.max_children = 4
${LUMIPOST_SIGNING_KEY_FILE:+env[LUMIPOST_SIGNING_KEY_FILE] = $LUMIPOST_SIGNING_KEY_FILE}
EOF
    # The site as shipped, with its ports and paths set for this run, and the state database's
    # settings taken from the environment where set.
    for name in LUMIPOST_SERVER_DSN LUMIPOST_SERVER_DB_USER LUMIPOST_SERVER_DB_PASSWORD; do
        settings+=(-e "s|fastcgi_param $name \"\";|fastcgi_param $name \"${!name:-}\";|")
    done
    sed "${settings[@]}" -e "s|listen 8080;|listen 127.0.0.1:$port;|" \
        -e "s|root /srv/lumipost/data;|root $data;|" \
        -e "s|/srv/lumipost/server/|$server_dir/|" \
        -e "s|unix:/run/php/php8.2-fpm.sock|unix:$dir/php-fpm.sock|" \
        -e "s|include fastcgi_params;|include /etc/nginx/fastcgi_params;|" \
        "$server_dir/nginx-lumipost.conf" >"$dir/site.conf"
    cat >"$dir/nginx.conf" <<EOF
${as_root:+user root root;}
worker_processes 1;
# A kiosk's request holds up to three connections (its own, php-fpm's, the private video mirror's):
# 4096 serve a thousand kiosks at once, each connection a descriptor.
worker_rlimit_nofile 8192;
error_log $dir/logs/error.log;
pid $dir/nginx.pid;
events { worker_connections 4096; }
http {
    default_type application/octet-stream;
    sendfile on;
    access_log $dir/logs/access.log;
    client_body_temp_path $dir/tmp/body;
    fastcgi_temp_path $dir/tmp/fastcgi;
    proxy_temp_path $dir/tmp/proxy;
    uwsgi_temp_path $dir/tmp/uwsgi;
    scgi_temp_path $dir/tmp/scgi;
    include $dir/site.conf;
}
EOF
    "${LUMIPOST_SERVER_PREFIX[@]}" "$fpm" ${as_root:+-R} --nodaemonize --fpm-config "$dir/php-fpm.conf" &
    LUMIPOST_NGINX_PIDS+=($!)
    "${LUMIPOST_SERVER_PREFIX[@]}" nginx -p "$dir" -c "$dir/nginx.conf" -g 'daemon off;' -e "$dir/logs/error.log" &
    LUMIPOST_NGINX_PIDS+=($!)
    for _ in $(seq 100); do
        [ -S "$dir/php-fpm.sock" ] && (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0
        sleep 0.1
    done
    echo "nginx or php-fpm did not start; see $dir/logs" >&2
    return 1
}

stop_nginx_server() {
    [ ${#LUMIPOST_NGINX_PIDS[@]} -eq 0 ] || kill "${LUMIPOST_NGINX_PIDS[@]}" 2>/dev/null || true
    LUMIPOST_NGINX_PIDS=()
}
