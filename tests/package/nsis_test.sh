#!/usr/bin/env bash
# The Windows installer under Wine, in the project's prefix (the one
# scripts/wine-run uses): a silent
# install puts the files into Program Files and registers the service; the
# silent uninstall removes both.
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

wine "$setup" /S || fail "silent install exited $?"
for f in relvoclient.exe relvoproxy.exe relvoclient.ini README.txt uninstall.exe docs/operator-guide.md; do
  [ -f "$dir/$f" ] || fail "missing $f"
done
wine sc query "$service" || fail "service not registered: $(cat "$logs/out.txt")"
grep -q "SERVICE_NAME: $service" "$logs/out.txt" || fail "sc query: $(cat "$logs/out.txt")"

# The uninstaller copies itself away and runs from there: wait for it.
wine "$dir/uninstall.exe" /S || fail "silent uninstall exited $?"
for _ in $(seq 600); do [ -e "$dir" ] || break; sleep 0.1; done
[ ! -e "$dir" ] || fail "files left: $(ls -R "$dir")"
wine sc query "$service" && fail "service still registered"
echo "PASS: silent install and uninstall under Wine"
