# Sourced by the scripts: a headless Wine session in a prefix of the build.
#   wine_session_start [eventlog-file]   start (and on first use create) it
#   wine_session_stop                    stop services, then the wineserver
# Services inherit stderr and WINEDEBUG from the first Wine process of the
# session, so the event-log lines go to the file given here.

wine_session_env() {
  local build=$1
  export WINEPREFIX=$build/wineprefix WINEARCH=win64
  export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
  export WINEDEBUG=${TALLY_WINEDEBUG:--all}
}

wine_session_start() {
  local events=${1:-/dev/null}
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "Creating the Wine prefix $WINEPREFIX (once)..."
    (unset DISPLAY; wine wineboot -i </dev/null >/dev/null 2>&1; wineserver -w)
  fi
  wineserver -p 2>/dev/null || true   # exits 2 when the session already runs
  # Warm-up tied to no pipe: Wine's background processes inherit whatever
  # the first process had, and a reader of that pipe would hang.
  WINEDEBUG=-all,+eventlog wine cmd /c exit 0 </dev/null >/dev/null 2>>"$events"
}

wine_session_stop() {
  wineserver -k 2>/dev/null || true
  timeout 10 wineserver -w 2>/dev/null || true
}
