#!/usr/bin/env bash
# Quick start: installs what the build needs, builds, starts a simulated
# terminal of every kind (tarvina-sim, on virtual serial lines and on
# 127.0.0.1:8080 for Viva Wallet), writes a configuration that maps the
# serial ports to them, and runs the server in the foreground. Ctrl-C stops
# it all. From another terminal:
#   build/bin/tarvina-cli sale --pos verifone --com 6 --amount 12.50
#   build/bin/tarvina-cli settle --pos unicredit --com 4
#   build/bin/tarvina-cli void --pos viva --com 1 --amount 5 --nrbon 57 --ip 127.0.0.1
# Set TARVINA_PORT to listen elsewhere than 8090.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target tarvina tarvina-cli tarvina-sim

bin=build/bin
run=$(mktemp -d /tmp/tarvina-demo.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$run"
}
trap cleanup EXIT INT TERM

# COM port -> simulator kind; the same numbers as the TipPos codes keep the
# examples easy to remember (BRD on COM1, Transilvania on COM3, ...).
declare -A kinds=([1]=brd [3]=transilvania [4]=unicredit [5]=hypercom [6]=verifone)
serial_section=""
for com in 1 3 4 5 6; do
  kind=${kinds[$com]}
  if ! "$bin/tarvina-sim" "$kind" --help >/dev/null 2>&1; then
    echo "no simulator for $kind in this build; COM$com stays unmapped"
    continue
  fi
  "$bin/tarvina-sim" "$kind" --link "$run/com$com" > "$run/$kind.log" 2>&1 &
  pids+=($!)
  serial_section+="COM$com=$run/com$com"$'\r\n'
done
if "$bin/tarvina-sim" viva --help >/dev/null 2>&1; then
  "$bin/tarvina-sim" viva --listen 127.0.0.1 > "$run/viva.log" 2>&1 &
  pids+=($!)
fi
# Give the simulators a moment to create their links.
for _ in $(seq 50); do
  ready=1
  for com in 1 3 4 5 6; do
    [[ $serial_section == *"COM$com="* ]] && [ ! -e "$run/com$com" ] && ready=0
  done
  [ $ready -eq 1 ] && break
  sleep 0.1
done

port=${TARVINA_PORT:-8090}
config="$run/Tarvina.ini"
printf '[Config]\r\nPort=%s\r\nTimeOut=20\r\n[Serial]\r\n%s' "$port" "$serial_section" > "$config"
echo "simulators and their logs in $run; configuration:"
sed 's/\r$//; s/^/  /' "$config"
echo "starting $bin/tarvina --headless (Ctrl-C stops it)"
"$bin/tarvina" --headless --config "$config" "$@" &
server=$!
pids+=("$server")
wait "$server"
