#!/usr/bin/env bash
# Runs the Windows build under Wine in a private prefix: the cross-built unit tests (the serial
# channel's against ptys that pty_peer_host keeps, the prefix's COM20; the window's also at
# 150 % on a 1366x768 screen), the command-line tool against charger-sim on a pty that the
# prefix calls COM5, and the native window under Xvfb with an image loaded (saved as
# build-win/window.png and docs/window-windows.png). Prints the transfer time through Wine
# beside the Linux tool's, with and without --fast. Every step is bounded by a time-out.
#   scripts/test-windows.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/install-deps.sh --wine

# The Windows programs and tests, and the Linux simulator and tool to run them against.
scripts/build-windows.sh >/dev/null
if [ -f build/CMakeCache.txt ]; then
  cmake --build build -j"$(nproc)" --target charger-sim charger-updater-cli pty_peer_host >/dev/null
else
  scripts/build.sh default >/dev/null
fi
win=$root/build-win
sim=$root/build/sim/charger-sim
linux_cli=$root/build/src/app/charger-updater-cli
peer_host=$root/build/tests/pty_peer_host

# Debian keeps wine64 and wineserver out of PATH unless the "wine" wrapper package is there.
export PATH=$PATH:/usr/lib/wine
work=$(mktemp -d /tmp/charger-wine.XXXXXX)
# The programs as users get them: unpacked from the zip, with nothing beside them.
mkdir "$work/app"
(cd "$work/app" && cmake -E tar xf "$win/charger-updater-windows.zip")
cli_exe=$work/app/charger-updater-cli.exe
gui_exe=$work/app/charger-updater.exe
export WINEPREFIX=$work/prefix HOME=$work/home TMPDIR=$work/tmp WINEARCH=win64
export WINEDEBUG=-all WINEDLLOVERRIDES=winemenubuilder.exe=d
mkdir -p "$HOME" "$TMPDIR"

pids=()
cleanup() {
  # Wine first, while the ptys it holds still exist: otherwise wineserver dumps its state.
  timeout 20 wineserver -k >/dev/null 2>&1 || true
  timeout 20 wineserver -w >/dev/null 2>&1 || true
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
pass() { echo "  ok    $1"; }
fail() {
  echo "  FAIL  $1" >&2
  failures=$((failures + 1))
}

# Test only: a pty has no modem lines and Wine aborts its serial event waits without them.
shim=$work/pty_modem_shim.so
gcc -shared -fPIC -O2 -Wall -Wextra -o "$shim" tests/wine/pty_modem_shim.c -ldl
wine_run() {  # wine_run SECONDS PROGRAM ARGS...
  local seconds=$1
  shift
  LD_PRELOAD=$shim timeout -k 5 "$seconds" wine64 "$@"
}

# One X server for every Wine program: the window and the dialog tests need one. A common
# laptop's screen, which the window must fit at every usual scale.
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1366x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
exec 3>&-
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=:$(head -n 1 "$work/display")

echo "Wine prefix"
timeout 180 wine64 wineboot -i >"$work/wineboot.log" 2>&1
# The prefix exists now, so the shim's server can run in it, in place of the one wineboot
# started. In the foreground it leads no session, so no pty it opens becomes its controlling
# terminal, whose hang-up (a charger unplugged, a test's line closed) would send it SIGHUP and
# have it dump its objects. Wine programs reach it once its socket is there.
timeout 20 wineserver -k >/dev/null 2>&1 || true
timeout 20 wineserver -w >/dev/null 2>&1 || true
LD_PRELOAD=$shim wineserver -f -p </dev/null >"$work/wineserver.log" 2>&1 &
pids+=($!)
socket=server-$(stat -c '%d %i' "$WINEPREFIX" | awk '{printf "%x-%x", $1, $2}')/socket
for _ in $(seq 100); do compgen -G "$TMPDIR/wine-*/$socket" >/dev/null && break; sleep 0.1; done
compgen -G "$TMPDIR/wine-*/$socket" >/dev/null || fail "the Wine server did not start"
# Wine draws the window frame itself, as Windows would, since Xvfb has no window manager.
timeout 60 wine64 reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
# The prefix's own dosdevices exist only after wineboot; COM5 follows the simulator's link.
port_link=$work/charger
ln -sfn "$port_link" "$WINEPREFIX/dosdevices/com5"
# The serial channel's messages are Chinese: the prefix gets a font with the glyphs, linked
# behind Tahoma, the font of Wine's message boxes, as Windows links its own CJK fonts.
cjk_font=/usr/share/fonts/truetype/wqy/wqy-microhei.ttc
ln -sfn "$cjk_font" "$WINEPREFIX/drive_c/windows/Fonts/"
timeout 60 wine64 reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
  /v Tahoma /t REG_MULTI_SZ /d "$(basename "$cjk_font"),WenQuanYi Micro Hei" /f >/dev/null 2>&1
pass "prefix ready ($(wine64 --version))"

# The serial channel's tests get a fresh pty for each of their lines from pty_peer_host, linked
# where the prefix's COM20 points.
peer_link=$work/peer-port
ln -sfn "$peer_link" "$WINEPREFIX/dosdevices/com20"
"$peer_host" --link "$peer_link" --name COM20 >"$work/peer-host.port" 2>"$work/peer-host.log" &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/peer-host.port" ] && break; sleep 0.05; done
export SERIAL_PEER_HOST=127.0.0.1:$(head -n 1 "$work/peer-host.port")

echo "Unit tests under Wine"
for test in "$win"/tests/test_*.exe; do
  name=$(basename "$test" .exe)
  if (cd "$win/tests" && wine_run 120 "$test" --gtest_brief=1 >"$work/$name.log" 2>&1); then
    pass "$name ($(grep -o '[0-9]* tests\? from [0-9]* test suites\? ran' "$work/$name.log"))"
  else
    fail "$name"
    cat "$work/$name.log" >&2
  fi
done

# Windows at 150 % (144 dpi, Wine's LogPixels): the whole window still fits the work area.
set_dpi() { timeout 60 wine64 reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD \
  /d "$1" /f >/dev/null 2>&1; }
set_dpi 144
if (cd "$win/tests" && wine_run 120 test_win32_ui.exe --gtest_filter=Win32Window.FitsTheWorkArea \
  >"$work/dpi.log" 2>&1); then
  pass "the window at 144 dpi: $(grep -o 'window .*' "$work/dpi.log")"
else
  fail "the window at 144 dpi does not fit the screen"
  cat "$work/dpi.log" >&2
fi
set_dpi 96

# The simulated charger on a fresh pty; its log and saved image go to $work/sim.*.
sim_pid=
start_sim() {
  rm -f "$work/sim.bin" "$port_link"
  "$sim" --link "$port_link" --save "$work/sim.bin" -v "$@" >"$work/sim.out" 2>"$work/sim.log" &
  sim_pid=$!
  pids+=("$sim_pid")
  for _ in $(seq 100); do [ -e "$port_link" ] && return 0; sleep 0.05; done
  fail "charger-sim did not start"
  return 1
}
stop_sim() {
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
}
image() {  # image BYTES: a file of random bytes
  head -c "$1" /dev/urandom >"$work/fw-$1.bin"
  echo "$work/fw-$1.bin"
}
# Runs the Windows tool with its output in $work/cli.log; sets $status and $seconds.
cli() {
  local started
  started=$(date +%s.%N)
  status=0
  (cd "$work" && wine_run 90 "$cli_exe" "$@" --ports COM5 >"$work/cli.log" 2>&1) || status=$?
  seconds=$(echo "$(date +%s.%N) - $started" | bc)
}
expect_status() {  # expect_status WANTED WHAT
  if [ "$status" -eq "$1" ]; then
    pass "$2"
  else
    fail "$2: exit status $status, expected $1"
    cat "$work/cli.log" "$work/sim.log" >&2
  fi
}

echo "charger-updater-cli.exe against charger-sim on COM5"
start_sim --serial 87654321
cli info
expect_status 0 "info"
for line in "port: COM5" "charger: QC-2410 Smart Charger" "serial: 87654321" "version: V12"; do
  grep -q "^$line" "$work/cli.log" || fail "info prints '$line'"
done
stop_sim

for size in 1 3000 40960; do
  start_sim --once
  fw=$(image "$size")
  cli flash "$fw"
  expect_status 0 "flash of $size bytes ($(printf %.2f "$seconds") s)"
  wait "$sim_pid" 2>/dev/null || true
  if cmp -s "$fw" "$work/sim.bin"; then
    pass "the charger saved the $size bytes unchanged"
  else
    fail "the charger's copy of the $size-byte image differs"
  fi
done

# The production modes: auto and gang program a charger that is plugged in, once.
for mode in auto gang; do
  start_sim --once
  fw=$(image 3000)
  cli "$mode" "$fw" --count 1
  expect_status 0 "$mode programs the charger once ($(printf %.2f "$seconds") s)"
  wait "$sim_pid" 2>/dev/null || true
  cmp -s "$fw" "$work/sim.bin" || fail "the charger's copy from $mode differs"
  grep -q "1 succeeded ===  0 failed" "$work/cli.log" || fail "$mode's count line"
done

# Whether the charger received a command or a block.
heard() { grep -q "' ->\|ignored\|loader\|header" "$work/sim.log"; }

# One byte more than the charger holds: refused before any port is touched.
start_sim
cli flash "$(image 40961)"
expect_status 2 "an image too large for the charger is refused"
sleep 0.3
if heard; then
  fail "the charger heard from a refused flash"
  cat "$work/sim.log" >&2
else
  pass "nothing was sent for the refused image"
fi
stop_sim

# Pulled out during the transfer: the tool gives up promptly and says so.
start_sim --unplug-after-blocks 10
cli flash "$(image 40960)"
if [ "$status" -eq 1 ] && [ "${seconds%.*}" -lt 30 ]; then
  pass "unplugged mid-transfer: failed in $(printf %.2f "$seconds") s"
else
  fail "unplugged mid-transfer: exit status $status after $seconds s"
  cat "$work/cli.log" >&2
fi
stop_sim

# Ctrl-C during a transfer (Wine turns SIGINT into the console's Ctrl-C event): the charger
# is told to leave its loader and the run ends with 130.
start_sim
fw=$(image 40960)
(cd "$work" && LD_PRELOAD=$shim exec wine64 "$cli_exe" flash "$fw" --ports COM5 \
  >"$work/cli.log" 2>&1) &
running=$!
for _ in $(seq 200); do grep -q "STX block 3:" "$work/sim.log" && break; sleep 0.05; done
kill -INT "$running"
status=0
timeout 20 tail --pid="$running" -f /dev/null || kill -KILL "$running"
wait "$running" || status=$?
expect_status 130 "Ctrl-C during a transfer"
sleep 0.2
grep -q "0x18" "$work/sim.log" || fail "the interrupted transfer was cancelled on the line"
stop_sim

# A --ports name that is a file is a usage error, and the file is never opened.
status=0
(cd "$work" && wine_run 60 "$cli_exe" info --ports "Z:$fw" >"$work/cli.log" 2>&1) || status=$?
expect_status 2 "--ports naming a file"
grep -q "is not a serial port (it is a regular file)" "$work/cli.log" ||
  fail "the file is named as such: $(cat "$work/cli.log")"

# A second updater while the first one is programming: it leaves the port alone, and the
# first one's transfer arrives intact.
start_sim --once
fw=$(image 40960)
(cd "$work" && wine_run 90 "$cli_exe" flash "$fw" --ports COM5 >"$work/first.log" 2>&1) &
first=$!
for _ in $(seq 200); do grep -q "loader" "$work/sim.log" && break; sleep 0.05; done
cli info --wait 2
expect_status 3 "a port another updater holds is passed over"
grep -q "COM5 not searched: held by another program" "$work/cli.log" ||
  fail "the held port's reason is given: $(cat "$work/cli.log")"
first_status=0
wait "$first" || first_status=$?
wait "$sim_pid" 2>/dev/null || true
if [ "$first_status" -eq 0 ] && cmp -s "$fw" "$work/sim.bin"; then
  pass "the first updater's transfer was not disturbed"
else
  fail "the first updater's transfer: exit status $first_status"
  cat "$work/first.log" "$work/sim.log" >&2
fi

# Record rows posted from the Windows tool to a server on the Linux side of the loopback, through
# the default spool under %LOCALAPPDATA%; a row queued while the server is down goes out later
# with records push.
echo "Posting records to a server on 127.0.0.1"
start_server() {  # start_server PORT: record_server.py; sets $server_pid and $server_port
  rm -f "$work/server.port"
  python3 tests/support/record_server.py --port "$1" --port-file "$work/server.port" \
    --log "$work/server.log" >/dev/null 2>&1 &
  server_pid=$!
  pids+=("$server_pid")
  for _ in $(seq 100); do [ -s "$work/server.port" ] && break; sleep 0.05; done
  server_port=$(cat "$work/server.port")
}
posted() { grep -c '"status": 200' "$work/server.log" 2>/dev/null || true; }
rm -f "$work/server.log"
start_server 0
start_sim --once
cli flash "$(image 3000)" --post "http://127.0.0.1:$server_port/records"
expect_status 0 "flash with --post"
wait "$sim_pid" 2>/dev/null || true
if [ "$(posted)" = 1 ] && grep -q '"idempotency_key": "[0-9a-f]\{32\}"' "$work/server.log" &&
  grep -q 'application/json' "$work/server.log"; then
  pass "the row reached the server with its id"
else
  fail "the row did not reach the server: $(cat "$work/server.log" "$work/cli.log")"
fi
kill "$server_pid" 2>/dev/null || true
wait "$server_pid" 2>/dev/null || true
start_sim --once
cli flash "$(image 3000)" --post "http://127.0.0.1:$server_port/records"
wait "$sim_pid" 2>/dev/null || true
if [ "$status" -eq 0 ] && grep -q "1 record row waits in the spool" "$work/cli.log"; then
  pass "server down: the flash succeeds and the row waits ($(printf %.2f "$seconds") s)"
else
  fail "server down: exit status $status: $(cat "$work/cli.log")"
fi
start_server "$server_port"
status=0
(cd "$work" && wine_run 60 "$cli_exe" records push >"$work/cli.log" 2>&1) || status=$?
if [ "$status" -eq 0 ] && [ "$(posted)" = 2 ]; then
  pass "records push delivers the waiting row"
else
  fail "records push: exit status $status: $(cat "$work/cli.log")"
fi
(cd "$work" && wine_run 60 "$cli_exe" records status >"$work/cli.log" 2>&1) || true
grep -q "^queued: 0" "$work/cli.log" || fail "records status: $(cat "$work/cli.log")"
grep -q 'spool: .*Charger Updater\\spool' "$work/cli.log" ||
  fail "the default spool is under %LOCALAPPDATA%: $(cat "$work/cli.log")"
kill "$server_pid" 2>/dev/null || true
wait "$server_pid" 2>/dev/null || true
# https with a plant's own CA (--cacert): a self-signed certificate for localhost, as Wine
# matches DNS names only.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost \
  -addext subjectAltName=DNS:localhost -keyout "$work/key.pem" -out "$work/cert.pem" >/dev/null 2>&1
rm -f "$work/server.port" "$work/server.log"
python3 tests/support/record_server.py --port-file "$work/server.port" --log "$work/server.log" \
  --cert "$work/cert.pem" --key "$work/key.pem" >/dev/null 2>&1 &
server_pid=$!
pids+=("$server_pid")
for _ in $(seq 100); do [ -s "$work/server.port" ] && break; sleep 0.05; done
start_sim --once
cli flash "$(image 3000)" --post "https://localhost:$(cat "$work/server.port")/records" \
  --cacert "Z:$work/cert.pem"
wait "$sim_pid" 2>/dev/null || true
if [ "$status" -eq 0 ] && [ "$(posted)" = 1 ]; then
  pass "https with --cacert delivers the row"
else
  fail "https with --cacert: exit status $status: $(cat "$work/cli.log")"
fi
kill "$server_pid" 2>/dev/null || true

echo "Benchmark: flash of 40960 bytes (protocol floor 7.50 s: 40 blocks x 80 ms + 43 replies x 100 ms)"
# Wall time and CPU of the updater's process; under Wine that process also runs Wine's own
# emulation of the serial calls, and wineserver's share is counted apart.
server_cpu() {  # CPU seconds wineserver has used so far
  local pid
  pid=$(pgrep -n -x wineserver64 || pgrep -n -x wineserver || true)
  [ -n "$pid" ] || { echo 0; return; }
  awk -v hz="$(getconf CLK_TCK)" '{print ($14 + $15) / hz}' "/proc/$pid/stat"
}
bench() {  # bench LABEL COMMAND...
  local label=$1
  shift
  start_sim --once
  fw=$(image 40960)
  local before
  before=$(server_cpu)
  (cd "$work" && /usr/bin/time -o "$work/time" -f '%e %U %S' "$@" "$fw" >"$work/bench.log" 2>&1) ||
    fail "$label: the benchmark flash failed"
  local after
  after=$(server_cpu)
  wait "$sim_pid" 2>/dev/null || true
  cmp -s "$fw" "$work/sim.bin" || fail "$label: the charger's copy differs"
  read -r wall user sys <"$work/time"
  # The transfer alone, by the charger's clock: from its loader's start to the batch's end.
  transfer=$(awk -F'[][ ]+' '/loader started/ {a = $2} /end of batch/ {b = $2} END {print b - a}' \
    "$work/sim.log")
  printf '  %-24s transfer %5.2f s = %.3f x floor; whole run %5.2f s, its CPU %.2f s (%.1f %%)' \
    "$label" "$transfer" "$(echo "$transfer / 7.5" | bc -l)" "$wall" \
    "$(echo "$user + $sys" | bc -l)" "$(echo "100 * ($user + $sys) / $wall" | bc -l)"
  if [[ $label != Linux* ]]; then
    printf ', wineserver CPU %.2f s' "$(echo "$after - $before" | bc -l)"
  fi
  echo
}
bench "Linux tool" timeout 60 "$linux_cli" flash --ports "$port_link"
bench "Linux tool, --fast" timeout 60 "$linux_cli" flash --fast --ports "$port_link"
bench "Windows tool under Wine" env LD_PRELOAD="$shim" timeout 60 wine64 "$cli_exe" flash \
  --ports COM5
# --fast hands each reply on once the line is quiet, under Wine as on Linux.
bench "Wine, --fast" env LD_PRELOAD="$shim" timeout 60 wine64 "$cli_exe" flash --fast \
  --ports COM5
if [ "$(echo "$transfer <= 0.6 * 7.5" | bc -l)" -eq 1 ]; then
  pass "--fast under Wine: transfer $transfer s, at most 0.6 x the floor"
else
  fail "--fast under Wine: transfer $transfer s, more than 0.6 x the 7.50 s floor"
fi

echo "The window"
start_sim
rm -f "$win/window.png"
# The window reloads the image its config.ini names, as it does for a user; the tag "INFO" with a
# spare byte and "V20" gives the firmware's version.
shown=$work/fw_v20.bin
{ head -c 2000 /dev/urandom; printf 'INFO\0V20'; head -c 38951 /dev/urandom; } >"$shown"
printf '[File]\r\nPath=%s\r\n' "$(wine64 winepath -w "$shown" 2>/dev/null)" >"$work/config.ini"
(cd "$work" && wine_run 60 "$gui_exe" --ports COM5 >"$work/gui.log" 2>&1) &
gui=$!
# Found once the charger has answered the menu command.
for _ in $(seq 200); do grep -q "menu reply" "$work/sim.log" && break; sleep 0.1; done
sleep 2
window=$(timeout 10 xwininfo -root -tree | grep -m 1 '"Charger Firmware Updater' |
  awk '{print $1}') || true
if [ -n "$window" ] && timeout 20 import -window "$window" "$win/window.png" 2>/dev/null; then
  pass "window.png: $(identify -format '%wx%h' "$win/window.png") pixels"
  # The picture in the README: the window as a user meets it, with an image loaded.
  cp "$win/window.png" docs/window-windows.png
else
  fail "no window to capture"
  cat "$work/gui.log" >&2
fi
# Ends every Wine program, the window too, before its pty goes away.
timeout 20 wineserver -k >/dev/null 2>&1 || true
wait "$gui" 2>/dev/null || true
stop_sim

echo "The production station"
# Four ports: a charger that passes, one whose cable is pulled mid-transfer, one on a slow line
# still being programmed, and an empty port. COM5 to COM8 follow the links.
station=$work/station
mkdir -p "$station"
for n in 5 6 7 8; do ln -sfn "$station/port$n" "$WINEPREFIX/dosdevices/com$n"; done
station_sims=()
"$sim" --link "$station/port5" --serial 24001001 -v >/dev/null 2>"$station/sim5.log" &
station_sims+=($!)
"$sim" --link "$station/port6" --serial 24001002 --unplug-after-blocks 3 -v >/dev/null \
  2>"$station/sim6.log" &
station_sims+=($!)
"$sim" --link "$station/port7" --serial 24001003 --baud 4800 -v >/dev/null \
  2>"$station/sim7.log" &
station_sims+=($!)
pids+=("${station_sims[@]}")
for n in 5 6 7; do
  for _ in $(seq 100); do [ -e "$station/port$n" ] && break; sleep 0.05; done
done
rm -f "$win/station.png"
(cd "$station" && wine_run 120 "$gui_exe" --station "$(wine64 winepath -w "$shown" 2>/dev/null)" \
  --ports COM5,COM6,COM7,COM8 --record station.csv --start >"$work/station.log" 2>&1) &
station_gui=$!
# The first charger programmed and the second one's cable pulled.
for _ in $(seq 600); do
  grep -q "programmed" "$station/sim5.log" && grep -q "cable pulled" "$station/sim6.log" && break
  sleep 0.1
done
sleep 2
window=$(timeout 10 xwininfo -root -tree | grep -m 1 '"Charger Updater - Production station' |
  awk '{print $1}') || true
if [ -n "$window" ] && timeout 20 import -window "$window" "$win/station.png" 2>/dev/null &&
  scripts/check-station-picture.sh "$win/station.png"; then
  pass "station.png: passed, failed, programming and waiting rows"
  cp "$win/station.png" docs/station-windows.png
else
  fail "the station window with its four rows"
  cat "$work/station.log" "$station"/sim*.log >&2
fi
grep -c ",succeeded," "$station/station.csv" >/dev/null 2>&1 ||
  fail "the station's record has no passed row"
timeout 20 wineserver -k >/dev/null 2>&1 || true
wait "$station_gui" 2>/dev/null || true
for pid in "${station_sims[@]}"; do kill "$pid" 2>/dev/null || true; done

# Each hang-up the server saw as its terminal's would have left an object dump here.
if [ -s "$work/wineserver.log" ]; then
  fail "wineserver wrote $(wc -l <"$work/wineserver.log") lines, e.g. $(head -c 200 "$work/wineserver.log")"
fi

if [ "$failures" -gt 0 ]; then
  echo "$failures Windows check(s) failed" >&2
  exit 1
fi
echo "All Windows checks passed"
