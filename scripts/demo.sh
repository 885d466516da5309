#!/usr/bin/env bash
# Quick start: installs what the build needs, builds, starts a simulated
# terminal of every kind (tarvina-sim: the serial kinds on virtual serial
# lines, Viva Wallet on a loopback address), writes a configuration that maps
# the serial ports to them and runs the server. Once it listens, the script
# prints tarvina-cli lines to paste in a second terminal: a sale, a void and a
# settlement on every kind that offers them. Ctrl-C stops it all and removes
# the files it made.
#   TARVINA_PORT     listening port (default 8090)
#   TARVINA_VIVA_IP  loopback address of the Viva Wallet simulator (default 127.0.0.1)
# Further arguments go to tarvina, e.g. --trace.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target tarvina tarvina-cli tarvina-sim

bin=build/bin
port=${TARVINA_PORT:-8090}
viva_ip=${TARVINA_VIVA_IP:-127.0.0.1}
run=$(mktemp -d /tmp/tarvina-demo.XXXXXX)
pids=()
cleanup() {
  trap - INT TERM
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$run"
}
trap cleanup EXIT
trap 'echo; echo "stopping"; exit 130' INT TERM

# Waits until FILE holds a line that matches PATTERN, or process PID has ended.
wait_for() {
  local file=$1 pattern=$2 pid=$3
  for _ in $(seq 100); do
    grep -q "$pattern" "$file" 2>/dev/null && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  grep -q "$pattern" "$file" 2>/dev/null
}

# COM port -> simulator kind; the same numbers as the TipPos codes keep the
# examples easy to remember (BRD on COM1, Transilvania on COM3, ...).
declare -A kinds=([1]=brd [3]=transilvania [4]=unicredit [5]=hypercom [6]=verifone)
serial_section=""
for com in 1 3 4 5 6; do
  kind=${kinds[$com]}
  "$bin/tarvina-sim" "$kind" --link "$run/com$com" > "$run/$kind.log" 2>&1 &
  pids+=($!)
  if ! wait_for "$run/$kind.log" '^ready ' $!; then
    echo "the $kind simulator did not start:" >&2
    cat "$run/$kind.log" >&2
    exit 1
  fi
  serial_section+="COM$com=$run/com$com"$'\r\n'
done
"$bin/tarvina-sim" viva --listen "$viva_ip" > "$run/viva.log" 2>&1 &
pids+=($!)
if ! wait_for "$run/viva.log" '^listening ' $!; then
  echo "the Viva Wallet simulator did not start on $viva_ip:8080 (set TARVINA_VIVA_IP to another loopback address):" >&2
  cat "$run/viva.log" >&2
  exit 1
fi

config="$run/Tarvina.ini"
printf '[Config]\r\nPort=%s\r\nTimeOut=20\r\n[Serial]\r\n%s' "$port" "$serial_section" > "$config"
echo "simulators and their logs in $run; configuration:"
sed 's/\r$//; s/^/  /' "$config"
echo "Viva Wallet simulator on $viva_ip:8080"
echo "starting $bin/tarvina --headless (Ctrl-C stops it)"
"$bin/tarvina" --headless --config "$config" "$@" > "$run/server.log" &
server=$!
pids+=("$server")
# The server's own lines, as they come.
tail -n +1 -f "$run/server.log" &
pids+=($!)
# The caption ends in "Server activ", or "Server inactiv" when the port is taken.
if ! wait_for "$run/server.log" 'Server \(in\)\{0,1\}activ' "$server" || ! grep -q 'Server activ' "$run/server.log"; then
  sleep 0.2
  echo "the server is not listening on port $port (set TARVINA_PORT to a free port)" >&2
  exit 1
fi

cli="$bin/tarvina-cli"
[ "$port" = 8090 ] || cli+=" --port $port"
sleep 0.2  # let the caption line come out first
cat <<EOF

Paste any of these in a second terminal, in $PWD:
  sales
    $cli sale --pos brd --com 1 --amount 12.50
    $cli sale --pos transilvania --com 3 --amount 12.50
    $cli sale --pos unicredit --com 4 --amount 12.50
    $cli sale --pos hypercom --com 5 --amount 12.50
    $cli sale --pos verifone --com 6 --amount 12.50
    $cli sale --pos viva --com 1 --amount 12.50 --session 42 --ip $viva_ip
  voids
    $cli void --pos transilvania --com 3 --amount 5 --nrbon 57
    $cli void --pos unicredit --com 4 --amount 5 --nrbon 57
    $cli void --pos hypercom --com 5 --amount 5 --nrbon 57
    $cli void --pos verifone --com 6 --amount 5 --nrbon 57
    $cli void --pos viva --com 1 --amount 5 --nrbon 57 --ip $viva_ip
  settlements
    $cli settle --pos transilvania --com 3
    $cli settle --pos unicredit --com 4
    $cli settle --pos hypercom --com 5
Each prints PROCESAREOK when the terminal approves. The simulators' logs are in $run.

EOF
wait "$server"
