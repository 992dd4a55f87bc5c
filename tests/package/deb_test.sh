#!/usr/bin/env bash
# The Debian package on this machine: dpkg install, relvoclient -v, service
# registration, remove and purge. Runs in a private mount namespace whose
# /etc, /opt, /usr and /var are overlays on a tmpfs, so dpkg's database and
# everything the package touches are thrown away with the namespace.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
[ "$(id -u)" -eq 0 ] || { echo "SKIP: dpkg and mount namespaces need root"; exit 0; }
if [ -z "${RELVO_DEB_SANDBOX:-}" ]; then
  exec unshare -m --propagation private env RELVO_DEB_SANDBOX=1 "$0" "$@"
fi
deb="$(ls "$root"/build/packages/relvo_*_amd64.deb)"
mount -t tmpfs relvo-deb-test /mnt
for d in etc opt usr var; do
  mkdir -p "/mnt/$d.up" "/mnt/$d.work"
  mount -t overlay overlay -o "lowerdir=/$d,upperdir=/mnt/$d.up,workdir=/mnt/$d.work" "/$d"
done

fail() { echo "FAIL: $*"; exit 1; }
check() { "$@" || fail "$*"; }

dpkg -i "$deb" >/mnt/install.log 2>&1 || { cat /mnt/install.log; fail "dpkg -i"; }
for f in /opt/relvo/relvoclient /opt/relvo/relvoproxy /opt/relvo/relvoclient.ini /usr/share/doc/relvo/operator-guide.md \
         /lib/systemd/system/relvoproxy.service /etc/default/relvoproxy; do
  check test -f "$f"
done
check test -d /opt/relvo/logs
check grep -qx 'max_size_mb=50' /opt/relvo/relvoclient.ini
check grep -qx '    copytruncate' /usr/share/doc/relvo/relvo.logrotate
check test ! -e /etc/systemd/system/multi-user.target.wants/relvoproxy.service
pgrep -f '^/opt/relvo/' >/dev/null && fail "installing started a program"
version="$(dpkg-deb -f "$deb" Version)"
check grep -qx "relvoclient $version" <(/opt/relvo/relvoclient -v)

# The connector registered as a service; removing the package stops and
# deletes it.
sed -i 's/^service_name=.*/service_name=RelvoDebTest/' /opt/relvo/relvoclient.ini
/opt/relvo/relvoclient -install >/mnt/register.log 2>&1 || { cat /mnt/register.log; fail "relvoclient -install"; }
check grep -qx 'ExecStart=/opt/relvo/relvoclient' /etc/systemd/system/RelvoDebTest.service
dpkg -r relvo >/mnt/remove.log 2>&1 || { cat /mnt/remove.log; fail "dpkg -r"; }
check test ! -e /etc/systemd/system/RelvoDebTest.service
check test ! -e /opt/relvo/relvoclient
check test -f /opt/relvo/relvoclient.ini  # a configuration file stays until purge

dpkg -P relvo >/mnt/purge.log 2>&1 || { cat /mnt/purge.log; fail "dpkg -P"; }
check test ! -e /opt/relvo
dpkg -s relvo >/dev/null 2>&1 && fail "still known to dpkg after purge"
echo "PASS: deb install, -v, register, remove, purge"
