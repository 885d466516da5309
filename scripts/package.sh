#!/usr/bin/env bash
# The packager's build: a Release build installed to /usr, the .deb made by
# CPack and inspected; then, when run as root, the package installed on this
# machine, its user, unit and programs checked (the installed server, run as
# the `tarvina` user, answers a sale against a simulated terminal on a virtual
# line), and the package removed and purged.
#   scripts/package.sh [BUILD_DIR]     (default: build-release)
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-release}
jobs=$(nproc)

fail() { echo "package: $*" >&2; exit 1; }

# A packager's build: warnings are not errors here (g++ 12 at -O3 still reports
# some false -Wrestrict and -Warray-bounds inside the standard library's
# string code; the test builds keep every warning an error).
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$dir" -j"$jobs"
rm -f "$dir"/tarvina_*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
deb=$(ls "$dir"/tarvina_*.deb)
echo "built $deb"

# ---- what the package holds
contents=$(dpkg-deb --contents "$deb" | awk '{print $6}')
for f in ./usr/bin/tarvina ./usr/bin/tarvina-cli ./usr/bin/tarvina-sim ./etc/tarvina/Tarvina.ini \
    ./lib/systemd/system/tarvina.service ./etc/xdg/autostart/tarvina.desktop \
    ./usr/share/doc/tarvina/README.md ./usr/share/doc/tarvina/protocol.md; do
  grep -qx "$f" <<<"$contents" || fail "$f missing from the package"
done
depends=$(dpkg-deb --field "$deb" Depends)
for lib in libc6 libstdc++6; do
  grep -q "$lib" <<<"$depends" || fail "Depends lacks $lib: $depends"
done
ctl=$(mktemp -d)
trap 'rm -rf "$ctl"' EXIT
dpkg-deb --control "$deb" "$ctl"
[ "$(cat "$ctl/conffiles")" = /etc/tarvina/Tarvina.ini ] || fail "conffiles: $(cat "$ctl/conffiles")"
for s in postinst prerm postrm; do
  [ -x "$ctl/$s" ] || fail "maintainer script $s missing"
  sh -n "$ctl/$s" || fail "maintainer script $s does not parse"
done
grep -q "useradd --system" "$ctl/postinst" || fail "postinst creates no user"
if grep -Eq "systemctl +(enable|start)|deb-systemd" "$ctl/postinst"; then
  fail "postinst enables or starts the service"
fi
echo "package contents, Depends ($depends), conffiles and maintainer scripts: ok"

if [ "$(id -u)" -ne 0 ]; then
  echo "package: not root: the package is not installed here"
  exit 0
fi

# ---- installed on this machine
if dpkg -s tarvina >/dev/null 2>&1; then
  # A machine that runs Tarvina for real keeps its package and configuration.
  echo "package: tarvina is already installed here: the package is not tried on this machine"
  exit 0
fi
dpkg -i "$deb" >/dev/null
[ "$(/usr/bin/tarvina --version)" = "tarvina $(dpkg-deb --field "$deb" Version)" ] ||
  fail "tarvina --version: $(/usr/bin/tarvina --version)"
id -nG tarvina | tr ' ' '\n' | grep -qx dialout || fail "user tarvina is not in dialout: $(id -nG tarvina)"
[ "$(getent passwd tarvina | cut -d: -f7)" = /usr/sbin/nologin ] || fail "user tarvina has a login shell"
[ ! -e /etc/systemd/system/multi-user.target.wants/tarvina.service ] || fail "the service was enabled"
if command -v systemd-analyze >/dev/null; then
  systemd-analyze verify /lib/systemd/system/tarvina.service || fail "systemd-analyze verify"
  echo "systemd-analyze verify tarvina.service: ok"
else
  echo "package: systemd-analyze missing: the unit is not verified"
fi

# The installed server as the service would run it (its user, headless), on
# a virtual line to a simulated UniCredit terminal, with a journal.
work=$(mktemp -d)
chown tarvina: "$work"
sim_pid="" srv_pid=""
cleanup() {
  local p
  for p in $srv_pid $sim_pid; do
    kill "$p" 2>/dev/null || true
    wait "$p" 2>/dev/null || true
  done
  rm -rf "$work" "$ctl"
}
trap cleanup EXIT
as_tarvina() { setpriv --reuid=tarvina --regid=tarvina --init-groups -- "$@"; }
as_tarvina /usr/bin/tarvina-sim unicredit --link "$work/pos4" >"$work/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do grep -q "^ready" "$work/sim.out" && break; sleep 0.1; done
grep -q "^ready" "$work/sim.out" || fail "tarvina-sim did not start: $(cat "$work/sim.out")"
printf '[Serial]\nCOM4=%s/pos4\n[Journal]\nFile=%s/journal.log\n' "$work" "$work" >"$work/Tarvina.ini"
for attempt in 1 2 3; do
  port=$((20000 + RANDOM % 30000))
  as_tarvina /usr/bin/tarvina --headless --config "$work/Tarvina.ini" --port "$port" >"$work/srv.out" 2>&1 &
  srv_pid=$!
  for _ in $(seq 100); do grep -q "Server activ\|Server inactiv" "$work/srv.out" && break; sleep 0.1; done
  grep -q "Server activ" "$work/srv.out" && break
  kill "$srv_pid" 2>/dev/null || true
  wait "$srv_pid" 2>/dev/null || true
  srv_pid=""
done
[ -n "$srv_pid" ] || fail "the installed server did not listen: $(cat "$work/srv.out")"
reply=$(/usr/bin/tarvina-cli --port "$port" sale --pos unicredit --com 4 --amount 12.50) ||
  fail "sale: $reply"
[ "$reply" = $'PROCESAREOK\n[ENDPACHET]' ] || fail "sale: $reply"
for _ in $(seq 100); do grep -q "^reply" "$work/journal.log" 2>/dev/null && break; sleep 0.1; done
journal=$(/usr/bin/tarvina-cli journal --file "$work/journal.log")
grep -q "sale unicredit COM4 Suma=12.50: PROCESAREOK, delivered" <<<"$journal" || fail "journal: $journal"
echo "installed server as user tarvina: sale on a virtual line answered, journalled: ok"
cleanup
srv_pid="" sim_pid=""

# ---- removed, then purged
dpkg -r tarvina >/dev/null
[ ! -e /usr/bin/tarvina ] && [ ! -e /lib/systemd/system/tarvina.service ] || fail "files left after remove"
[ -e /etc/tarvina/Tarvina.ini ] || fail "remove took the configuration"
dpkg --purge tarvina >/dev/null
[ ! -e /etc/tarvina ] || fail "/etc/tarvina left after purge"
! dpkg -s tarvina >/dev/null 2>&1 || fail "still installed"
echo "removed and purged cleanly"
