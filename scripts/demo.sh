#!/usr/bin/env bash
# Quick start: installs what the build needs, builds, writes a configuration
# beside the programs (unless one is there) and starts the server in the
# foreground. Ctrl-C stops it. Another terminal can then talk to it:
#   build/bin/tarvina-cli sale --pos transilvania --com 3 --amount 12.50
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target tarvina tarvina-cli
config=build/bin/Tarvina.ini
if [ ! -f "$config" ]; then
  port=${TARVINA_PORT:-8090}
  printf '[Config]\r\nPort=%s\r\nTimeOut=20\r\n' "$port" > "$config"
  echo "wrote $config (port $port)"
fi
echo "starting build/bin/tarvina --headless (Ctrl-C stops it)"
exec build/bin/tarvina --headless "$@"
