#!/usr/bin/env bash
# The fleet test with two servers sharing one PostgreSQL database.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/postgres.sh"
scratch=$(mktemp -d)
chmod 755 "$scratch"
trap 'stop_postgres; rm -rf "$scratch"' EXIT
start_postgres "$scratch/postgres" || exit 77
php "$here/fleet_test.php" "$here/../../server/router.php" "$LUMIPOST_PG_DSN"
