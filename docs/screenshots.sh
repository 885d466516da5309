#!/usr/bin/env bash
# Makes the screenshots in docs/ from the built programs, on a private Xvfb
# display with a tray host and a plain window manager (for the frames):
#   docs/tray.png     the tray icon with its tip
#   docs/window.png   the log window after a request
#   docs/setup.png    the serial setup dialog
# Needs xvfb, trayer, twm, xdotool, x11-xserver-utils and imagemagick; run
# after a build.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=build/bin
out=docs
work=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"; }
trap cleanup EXIT

exec 3> "$work/display"
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
exec 3>&-
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(cat "$work/display")" XDG_RUNTIME_DIR="$work"
unset DBUS_SESSION_BUS_ADDRESS QT_QPA_PLATFORM
xsetroot -solid '#3a6ea5'
cat > "$work/twmrc" <<'RC'
RandomPlacement
UsePPosition "on"
NoGrabServer
NoTitle { "panel" "trayer" }
IconManagerDontShow { "panel" "trayer" }
RC
twm -f "$work/twmrc" >/dev/null 2>&1 &
pids+=($!)
trayer --edge top --align right --widthtype request --height 24 --transparent false >/dev/null 2>&1 &
pids+=($!)
until xdotool search --classname '^panel$' >/dev/null 2>&1; do sleep 0.1; done

# The program as the shop names it, so that its tip reads "Tarvina".
cp "$bin/tarvina" "$work/Tarvina.exe"
port=18090
"$work/Tarvina.exe" --port "$port" --test-kind >/dev/null 2>&1 &
pids+=($!)
until win=$(xdotool search --name "Port : $port    Server" 2>/dev/null); do sleep 0.1; done
icon=""
until [ -n "$icon" ]; do
  for w in $(xdotool search --name '^Tarvina$' 2>/dev/null); do
    xwininfo -id "$w" | grep -q '22x22' && icon=$w
  done
  sleep 0.1
done

# The tip over the icon, with the top right corner of the screen.
xdotool mousemove --window "$icon" 11 11
sleep 1.5
import -window root -crop 240x70+560+0 +repage "$out/tray.png"

# A request that fails, then the window with its log.
printf '[InfoPachet]\r\nOperatie=0\r\nTipPos=4\r\nPortSerial=3\r\nSuma=0\r\nNrBon=eroare\r\n[ENDPACHET]\r\n' |
  "$bin/tarvina-cli" --port "$port" raw >/dev/null || true
xdotool mousemove --window "$icon" 11 11 click 1
sleep 1
frame=$(xdotool search --onlyvisible --name "Port : $port    Server" | head -n1)
xdotool mousemove 10 10
sleep 0.3
import -frame -window "$frame" "$out/window.png"

# The setup dialog, opened on its own.
"$bin/tarvina" --setup-dialog >/dev/null 2>&1 &
dialog=$!
pids+=($dialog)
until d=$(xdotool search --onlyvisible --name '^comport - SETUP$' 2>/dev/null); do sleep 0.1; done
sleep 0.5
import -frame -window "$d" "$out/setup.png"
echo "written: $out/tray.png $out/window.png $out/setup.png"
