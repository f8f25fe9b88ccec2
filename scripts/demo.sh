#!/usr/bin/env bash
# Installs what is missing, builds the agent for a scratch company root and
# runs it. Without a display it runs under Xvfb and stops after DEMO_SECONDS
# (default 130); with one, the window stays until "Exit" in the tray menu.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$top/scripts/deps.sh"
install_missing_packages

scratch="$top/build/demo"
root="$scratch/KESTOVA"
server_url=${DEMO_SERVER_URL:-http://127.0.0.1:8080}
mkdir -p "$root/kiosk-demo/Camera"

cmake -S "$top" -B "$scratch/build" -DBUILD_TESTING=OFF \
    -DLUMIPOST_COMPANY_ROOT="$root" -DLUMIPOST_SYNC_SERVER_URL="$server_url"
cmake --build "$scratch/build" -j"$(nproc)" --target LumipostSync

agent="$scratch/build/LumipostSync"
# The agent registers itself for login autostart: keep the demo's entry in
# the scratch folder rather than in the user's own autostart folder.
export XDG_CONFIG_HOME="$scratch/config"
echo "Company root: $root"
echo "Sync server:  $server_url"
if [ -n "${DISPLAY:-}" ]; then
    exec "$agent"
fi
timeout --signal=INT "${DEMO_SECONDS:-130}" xvfb-run -a "$agent" || [ $? -eq 124 ]
