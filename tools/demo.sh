#!/usr/bin/env bash
# The main job, as a self-contained demo: a simulated telephone exchange feeds
# a virtual COM port; the real tallysvc.exe, registered as Quillbox1 with the
# Service Control Manager and parameterised through the registry, captures it
# with timestamps; then the service is stopped and the log printed.
# DEMO_SOURCE=tcp: the exchange sends over TCP instead (it listens on
# 127.0.0.1:DEMO_TCP_PORT, default 17520, and the service connects to it).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${TALLY_BUILD_DIR:-$top/build}
seconds=${DEMO_SECONDS:-12}
source "$top/tools/wine-session.sh"
wine_fixed_layout "$0" "$@"

"$top/tools/setup-packages.sh"
"$top/tools/build.sh" >/dev/null

wine_session_env "$build"
work=$(mktemp -d)
events=$work/events.log
cleanup() {
  wine sc stop Quillbox1 >/dev/null 2>&1 || true
  wine_session_stop
  [ -n "${socat_pid:-}" ] && kill "$socat_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "== Starting a Wine session in $WINEPREFIX"
wine_session_start "$events"

echo "== Virtual serial port COM1 (socat pty pair)"
socat pty,raw,echo=0,link="$work/com1-windows" pty,raw,echo=0,link="$work/com1-device" &
socat_pid=$!
for _ in $(seq 50); do [ -e "$work/com1-device" ] && break; sleep 0.1; done
ln -sfn "$work/com1-windows" "$WINEPREFIX/dosdevices/com1"

echo "== Registering Quillbox1 (registry parameters + Service Control Manager)"
mkdir -p "$WINEPREFIX/drive_c/Tallyline"
rm -f "$WINEPREFIX/drive_c/Tallyline/Quillbox1.log"
cat > "$work/quillbox1.reg" <<'REG'
REGEDIT4

[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Quillbox1\Parameters]

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Quillbox1\Parameters]
"LogFilename"="C:\\Tallyline\\Quillbox1.log"
"SmtpServer"=""
"SmtpToAddress"=""
"SmtpFromAddress"=""
"TimestampFormat"=dword:00000001
"VerboseLevel"=dword:00000003
"LogRotation"=dword:00000000
"PauseTimeout"=dword:ffffffff

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Quillbox1\Parameters\Port1]
"PortName"="COM1"
"BaudRate"=dword:00002580
"ByteSize"=dword:00000008
"ComBufferSize"=dword:00000000
"Parity"=dword:00000000
"StopBits"=dword:00000000
"Timeout"=dword:00000000
"WarningInterval"=dword:00000258
"CustomTimeoutCmd"=""
"NetSendUsers"=""
"DayOfWeekMask"=dword:0000003e
"StartHour"=dword:00000009
"StartMin"=dword:00000000
"EndHour"=dword:00000012
"EndMin"=dword:00000000
REG
tcp_port=${DEMO_TCP_PORT:-17520}
if [ "${DEMO_SOURCE:-}" = tcp ]; then
  echo "\"Source\"=\"socket://127.0.0.1:$tcp_port\"" >> "$work/quillbox1.reg"
fi
svc="Z:${build//\//\\}\\bin\\tallysvc.exe"
wine sc delete Quillbox1 >/dev/null 2>&1 || true
wine sc create Quillbox1 binpath= "$svc" displayname= "Tallyline (1)" start= demand >/dev/null 2>>"$events"
# After the registration: deleting a service also deletes its Parameters key.
wine regedit /S "Z:${work//\//\\}\\quillbox1.reg" 2>>"$events"

if [ "${DEMO_SOURCE:-}" = tcp ]; then
  echo "== The exchange listens on 127.0.0.1:$tcp_port and talks for $seconds seconds once connected"
  /usr/bin/python3 "$top/tools/simulate-device.py" "tcp:$tcp_port" "$seconds" &
  device_pid=$!
  sleep 0.5
fi
echo "== Starting the service"
wine sc start Quillbox1 2>>"$events" || { echo "The service did not start; Wine said:"; tail -5 "$events"; exit 1; }
sleep 1
if [ -n "${device_pid:-}" ]; then
  wait "$device_pid"
else
  echo "== The device talks for $seconds seconds"
  /usr/bin/python3 "$top/tools/simulate-device.py" "$work/com1-device" "$seconds"
fi
sleep 0.5
echo "== Stopping the service"
wine sc stop Quillbox1 >/dev/null 2>>"$events"
sleep 1

echo "== Event-log reports of the service"
grep -a 'eventlog:ReportEventW' "$events" | sed -e 's/^[0-9a-f]*:trace:eventlog:ReportEventW /  information: /' -e 's/^[0-9a-f]*:warn:eventlog:ReportEventW /  warning: /' -e 's/^[0-9a-f]*:err:eventlog:ReportEventW /  error: /' | cut -c1-160
echo "== The captured log, C:\\Tallyline\\Quillbox1.log"
tr -d '\r' < "$WINEPREFIX/drive_c/Tallyline/Quillbox1.log"
