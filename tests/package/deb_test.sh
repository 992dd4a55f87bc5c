#!/usr/bin/env bash
# The Debian package on this machine: lintian, the hardening of
# relvoproxy.service, install, relvoclient -v and -install, an upgrade over
# an older version, the installed connector against relvoproxy (an ini
# reload through the link, relvoproxy's log reopened on SIGHUP), remove and
# purge. Runs in a private mount namespace whose /etc, /opt, /run, /usr and
# /var are overlays on a tmpfs, so dpkg's database and everything the package
# touches are thrown away with the namespace. systemd does not run here: a
# stand-in systemctl records what the maintainer scripts ask of it.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
[ "$(id -u)" -eq 0 ] || { echo "SKIP: dpkg and mount namespaces need root"; exit 0; }
deb="$(ls "$root"/build/packages/relvo_*_amd64.deb)"
fail() { echo "FAIL: $*"; exit 1; }
check() { "$@" || fail "$*"; }
if [ -z "${RELVO_DEB_SANDBOX:-}" ]; then
  lintian --allow-root --fail-on error "$deb" >/tmp/relvo-lintian.log 2>&1 || { cat /tmp/relvo-lintian.log; fail lintian; }
  exec unshare -m --propagation private env RELVO_DEB_SANDBOX=1 "$0" "$@"
fi
mount -t tmpfs relvo-deb-test /mnt
for d in etc opt run usr var; do
  mkdir -p "/mnt/$d.up" "/mnt/$d.work"
  mount -t overlay overlay -o "lowerdir=/$d,upperdir=/mnt/$d.up,workdir=/mnt/$d.work" "/$d"
done
# systemd's run-time folder and a systemctl that records its arguments; no
# policy that forbids starting services.
mkdir -p /run/systemd/system /mnt/bin
printf '#!/bin/sh\necho "$*" >>/mnt/systemctl.txt\n[ "$1" = is-active ] && exit 3\nexit 0\n' >/mnt/bin/systemctl
chmod +x /mnt/bin/systemctl
export PATH="/mnt/bin:$PATH"
rm -f /usr/sbin/policy-rc.d
log() { "$@" >/mnt/out.log 2>&1 || { cat /mnt/out.log; fail "$*"; }; }

# The same package with an older version number.
dpkg-deb -R "$deb" /mnt/old
sed -i 's/^Version: .*/Version: 2.0.0.1/' /mnt/old/DEBIAN/control
log dpkg-deb -b /mnt/old /mnt/relvo_old.deb

log dpkg -i /mnt/relvo_old.deb
for f in /usr/lib/relvo/relvoclient /usr/sbin/relvoproxy /etc/relvo/relvoclient.ini /etc/default/relvoproxy \
         /usr/share/doc/relvo/operator-guide.md /lib/systemd/system/relvoproxy.service; do
  check test -f "$f"
done
check test "$(readlink /usr/lib/relvo/relvoclient.ini)" = /etc/relvo/relvoclient.ini
check test -d /var/log/relvo
check grep -qx 'folder=/var/log/relvo' /etc/relvo/relvoclient.ini
check grep -qx 'max_size_mb=50' /etc/relvo/relvoclient.ini
check test ! -e /etc/systemd/system/multi-user.target.wants/relvoproxy.service
grep -q 'start' /mnt/systemctl.txt && fail "installing started a unit: $(cat /mnt/systemctl.txt)"
check grep -qx "relvoclient $(dpkg-deb -f "$deb" Version)" <(/usr/lib/relvo/relvoclient -v)
check test "$(dpkg-query -W -f='${Version}' relvo)" = 2.0.0.1
old_inode="$(stat -c %i /usr/lib/relvo/relvoclient)"
out="$(systemd-analyze security --offline=true /lib/systemd/system/relvoproxy.service 2>&1 | tail -1)"
echo "$out" | grep -Eq 'relvoproxy.service: [0-9.]+ (OK|SAFE)' || fail "relvoproxy.service: $out"

# The connector registered as a service from the installed ini; both units
# enabled as "systemctl enable" does.
sed -i 's/^service_name=.*/service_name=RelvoDebTest/; s/^port=8080$/port=8081/' /etc/relvo/relvoclient.ini
log /usr/lib/relvo/relvoclient -install
unit=/etc/systemd/system/RelvoDebTest.service
check grep -qx 'ExecStart=/usr/lib/relvo/relvoclient' "$unit"
check grep -qx 'ReadWritePaths=-/var/log/relvo' "$unit"
mkdir -p /etc/systemd/system/multi-user.target.wants
ln -s "$unit" /etc/systemd/system/multi-user.target.wants/
ln -s /lib/systemd/system/relvoproxy.service /etc/systemd/system/multi-user.target.wants/

# The upgrade restarts what runs (try-restart: only units that are active)
# and keeps the operator's ini.
: >/mnt/systemctl.txt
log dpkg -i "$deb"
check test "$(dpkg-query -W -f='${Version}' relvo)" = "$(dpkg-deb -f "$deb" Version)"
check test "$(stat -c %i /usr/lib/relvo/relvoclient)" != "$old_inode"
check grep -qx 'try-restart relvoproxy.service' /mnt/systemctl.txt
check grep -qx 'try-restart RelvoDebTest.service' /mnt/systemctl.txt
check grep -qx 'port=8081' /etc/relvo/relvoclient.ini
check test -f "$unit"

# The installed connector against relvoproxy: it finds its ini through the
# link, logs into /var/log/relvo and reloads the ini it links to.
# relvoproxy continues in a new log file after logrotate moved the old one.
/usr/sbin/relvoproxy --connector-listen 127.0.0.1:0 --public-listen 127.0.0.1:0 --log /mnt/proxy.log \
  --port-file /mnt/ports >/dev/null 2>&1 &
proxy=$!
client=""
# Nothing the test started outlives it, also when it fails.
trap 'kill $proxy $client 2>/dev/null || true' EXIT
waitfor() { for _ in $(seq 300); do "$@" && return 0; sleep 0.1; done; return 1; }
check waitfor test -s /mnt/ports
sed -i "s/^port=7100$/port=$(sed -n 's/^connector=//p' /mnt/ports)/" /etc/relvo/relvoclient.ini
/usr/lib/relvo/relvoclient -debug >/mnt/client.out 2>&1 &
client=$!
events=/var/log/relvo/events.log
check waitfor grep -q 'Command connection is established' "$events"
sed -i 's/^\[servers\]$/[servers]\nweb2=1/' /etc/relvo/relvoclient.ini
printf '[web2]\naddress=127.0.0.1\nport=8082\n' >>/etc/relvo/relvoclient.ini
check waitfor grep -q 'server \[web2\]: 127.0.0.1:8082 proxyrec(0) maxcon(1000) is added.' "$events"
kill -INT "$client"
wait "$client" || fail "relvoclient exited $?: $(cat /mnt/client.out)"
mv /mnt/proxy.log /mnt/proxy.log.1
kill -HUP "$proxy"
check waitfor grep -q 'SIGHUP: log reopened' /mnt/proxy.log
kill -TERM "$proxy"
wait "$proxy" || fail "relvoproxy exited $? after SIGHUP and SIGTERM"
check grep -q 'relvoproxy stopped' /mnt/proxy.log

# Removing stops both units and deletes the connector's; the ini stays.
: >/mnt/systemctl.txt
log dpkg -r relvo
check grep -qx 'stop RelvoDebTest.service' /mnt/systemctl.txt
check grep -qx 'stop relvoproxy.service' /mnt/systemctl.txt
check test ! -e "$unit"
check test ! -e /usr/lib/relvo/relvoclient
check test -f /etc/relvo/relvoclient.ini

log dpkg -P relvo
check test ! -e /etc/relvo
check test ! -e /var/log/relvo
dangling="$(find /etc/systemd -xtype l)"
[ -z "$dangling" ] || fail "links left after purge: $dangling"
dpkg -s relvo >/dev/null 2>&1 && fail "still known to dpkg after purge"
echo "PASS: deb lintian, hardening, install, register, upgrade, SIGHUP, remove, purge"
