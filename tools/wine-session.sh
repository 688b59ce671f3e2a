# Sourced by the scripts: a headless Wine session in a prefix of the build.
#   wine_session_start [eventlog-file]   start (and on first use create) it
#   wine_session_stop                    stop services, then the wineserver
# Services inherit stderr and WINEDEBUG from the first Wine process of the
# session, so the event-log lines go to the file given here.

# Runs the calling script again, once, with address randomisation off for it
# and everything it starts: call as  wine_fixed_layout "$0" "$@"  first thing.
# Debian's Wine runs its loader at 0x7d000000 and the kernel puts the loader's
# heap at a random place in the gigabyte above; now and then (2 of 7,500
# starts in a stress run) a Wine process finds that heap over 0x7ffe0000, the
# page every Windows process needs, and dies at once with exit code 1
# ("failed to map the shared user data: c0000018"). Without randomisation the heap starts right after the
# loader. tests/e2e/harness does the same for pytest run by hand.
wine_fixed_layout() {
  if [ -z "${TALLY_FIXED_LAYOUT:-}" ] && command -v setarch >/dev/null 2>&1; then
    export TALLY_FIXED_LAYOUT=1
    exec setarch "$(uname -m)" -R bash "$@"
  fi
}

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
  WINEDEBUG=-all,err+all,+eventlog wine cmd /c exit 0 </dev/null >/dev/null 2>>"$events"
}

wine_session_stop() {
  wineserver -k 2>/dev/null || true
  timeout 10 wineserver -w 2>/dev/null || true
}
