#!/usr/bin/env bash
# Runs a command (the server's state tests) with LUMIPOST_SERVER_DSN set to a scratch PostgreSQL,
# or prints why not and exits 77, which CTest counts as skipped.
#   with-postgres.sh php sync_server_test.php path/to/router.php --state
set -u
source "$(dirname "${BASH_SOURCE[0]}")/postgres.sh"
php -r 'exit(extension_loaded("pdo_pgsql") ? 0 : 1);' ||
    { echo "SKIP: PHP has no PostgreSQL driver (Debian package php-pgsql)"; exit 77; }
scratch=$(mktemp -d /tmp/lumipost-postgres.XXXXXX)
chmod 755 "$scratch" # PostgreSQL runs as an unprivileged user when this runs as root
trap 'stop_postgres; rm -rf "$scratch"' EXIT
start_postgres "$scratch/cluster" || { tail -n 5 "$scratch"/cluster/*.log; exit 77; }
LUMIPOST_SERVER_DSN=$LUMIPOST_PG_DSN "$@"
