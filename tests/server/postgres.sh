# Sourced by the server tests that need PostgreSQL: Debian's server, run in a
# scratch folder as an unprivileged user on a free loopback port.
#
#   start_postgres SCRATCH   # sets LUMIPOST_PG_DSN, or returns 1 with a line why
#   stop_postgres

start_postgres() {
    local dir=$1 bin port user=nobody
    bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
    [ -n "$bin" ] || { echo "SKIP: PostgreSQL is not installed (Debian package postgresql)"; return 1; }
    [ "$(id -u)" -eq 0 ] || user=$(id -un)
    rm -rf "$dir" && mkdir -p "$dir" && chmod 777 "$dir"
    port=$(php -r '$s = stream_socket_server("tcp://127.0.0.1:0"); echo explode(":", stream_socket_get_name($s, false))[1];')
    as_user() { if [ "$user" = "$(id -un)" ]; then "$@"; else setpriv --reuid="$user" --regid=nogroup --clear-groups "$@"; fi; }
    as_user "$bin/initdb" -D "$dir/data" -U lumipost --auth=trust >"$dir/initdb.log" 2>&1 &&
        as_user "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w \
            -o "-c listen_addresses=127.0.0.1 -p $port -k $dir" start >/dev/null 2>&1 ||
        { echo "SKIP: PostgreSQL did not start; see $dir"; return 1; }
    LUMIPOST_PG_DIR=$dir LUMIPOST_PG_USER=$user LUMIPOST_PG_BIN=$bin
    export LUMIPOST_PG_DSN="pgsql:host=127.0.0.1;port=$port;dbname=postgres;user=lumipost"
}

stop_postgres() {
    [ -n "${LUMIPOST_PG_DIR:-}" ] || return 0
    if [ "$LUMIPOST_PG_USER" = "$(id -un)" ]; then
        "$LUMIPOST_PG_BIN/pg_ctl" -D "$LUMIPOST_PG_DIR/data" -m fast stop >/dev/null 2>&1 || true
    else
        setpriv --reuid="$LUMIPOST_PG_USER" --regid=nogroup --clear-groups \
            "$LUMIPOST_PG_BIN/pg_ctl" -D "$LUMIPOST_PG_DIR/data" -m fast stop >/dev/null 2>&1 || true
    fi
    LUMIPOST_PG_DIR=""
}
