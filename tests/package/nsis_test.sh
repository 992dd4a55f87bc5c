#!/usr/bin/env bash
# The Windows installer under Wine, in the project's prefix (the one
# scripts/wine-run uses): a silent install puts the files into Program Files
# and registers the service (quoted path, automatic start); a silent
# install over it while the service runs stops it, replaces the programs,
# keeps the ini and the logs and starts it again; the silent uninstall keeps
# the ini and the logs, with /PURGE removes them too. (Wine keeps neither
# the delayed start nor the recovery actions, so they are not checked here.)
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
prefix="${RELVO_WINEPREFIX:-/tmp/relvo-wine-$(id -u)}"
setup="$(ls "$root"/build/packages/relvo-*-setup.exe)"
logs="$(mktemp -d)"
trap 'rm -rf "$logs"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
wine() { "$root/scripts/wine-run" "$@" >"$logs/out.txt" 2>"$logs/err.txt"; }
dir="$prefix/drive_c/Program Files/relvo"
service=OvikProxyClient  # the sample ini's service_name
state() { wine sc query "$service" && sed -n 's/ *STATE *: [0-9]* *\([A-Z_]*\).*/\1/p' "$logs/out.txt"; }
# Waits up to 60 s for the service's state; the uninstaller copies itself
# away and runs from there, so it is waited for the same way.
waitfor() { for _ in $(seq 600); do "$@" && return 0; sleep 0.1; done; return 1; }
state_is() { [ "$(state || true)" = "$1" ]; }
uninstalled() { [ ! -e "$dir/uninstall.exe" ]; }

wine "$setup" /S || fail "silent install exited $?"
for f in relvoclient.exe relvoproxy.exe relvoclient.ini README.txt uninstall.exe docs/operator-guide.md; do
  [ -f "$dir/$f" ] || fail "missing $f"
done
state_is STOPPED || fail "service not registered: $(cat "$logs/out.txt")"
wine reg query 'HKLM\System\CurrentControlSet\Services\'"$service"
grep -q 'ImagePath    REG_SZ    "C:\\Program Files\\relvo\\relvoclient.exe"' "$logs/out.txt" || fail "path: $(cat "$logs/out.txt")"
grep -q 'Start    REG_DWORD    0x2' "$logs/out.txt" || fail "start type: $(cat "$logs/out.txt")"

# An upgrade while the service runs (its proxy server does not answer: it
# retries until stopped).
sed -i 's/^debug_level=1/debug_level=2/' "$dir/relvoclient.ini"
wine sc start "$service" || fail "sc start: $(cat "$logs/out.txt")"
waitfor state_is RUNNING || fail "not running: $(state)"
waitfor grep -q 'Main thread started' "$dir/logs/events.log" || fail "no events.log"
wine "$setup" /S || fail "silent upgrade exited $?"
waitfor state_is RUNNING || fail "not running after the upgrade: $(state)"
waitfor [ "$(grep -c 'Main thread started' "$dir/logs/events.log")" = 2 ] || fail "not restarted: $(cat "$dir/logs/events.log")"
grep -q 'service stop requested' "$dir/logs/events.log" || fail "not stopped by the upgrade"
grep -q '^debug_level=2' "$dir/relvoclient.ini" || fail "the edited ini was replaced"

# Uninstalling keeps the ini and the logs; /PURGE removes them.
wine "$dir/uninstall.exe" /S || fail "silent uninstall exited $?"
waitfor uninstalled || fail "uninstaller did not finish"
waitfor [ ! -e "$dir/relvoclient.exe" ] || fail "relvoclient.exe left"
wine sc query "$service" && fail "service still registered"
[ -f "$dir/relvoclient.ini" ] && [ -f "$dir/logs/events.log" ] || fail "ini or logs removed: $(ls -R "$dir")"
[ ! -e "$dir/docs" ] || fail "docs left"
wine "$setup" /S || fail "silent reinstall exited $?"
grep -q '^debug_level=2' "$dir/relvoclient.ini" || fail "the kept ini was replaced"
wine "$dir/uninstall.exe" /S /PURGE || fail "silent uninstall /PURGE exited $?"
waitfor [ ! -e "$dir" ] || fail "files left: $(ls -R "$dir")"
echo "PASS: silent install, upgrade of a running service, uninstall, uninstall /PURGE under Wine"
