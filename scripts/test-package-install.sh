#!/usr/bin/env bash
# Installs the package on a fresh Debian 12 system, a chroot made with debootstrap from Debian's
# archive: runs the three programs there (the desktop program on the offscreen platform), removes
# the package and checks that nothing of it is left, then that the system has exactly the
# packages it had before. Needs root and the network.
# usage: scripts/test-package-install.sh [PACKAGE.deb]  (default BUILD/medium/norvelco.deb)
#   CHROOT=DIR keeps the fresh system in DIR for another run; without it a temporary one is
#   made and removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
deb=$(realpath "${1:-${BUILD_DIR:-build-package}/medium/norvelco.deb}")
[ "$(id -u)" -eq 0 ] || { echo "test-package-install: run as root" >&2; exit 2; }
command -v debootstrap >/dev/null || apt-get install -y -qq --no-install-recommends debootstrap

root=${CHROOT:-}
keep=1
if [ -z "$root" ]; then
    root=$(mktemp -d /var/tmp/norvelco-bookworm-XXXXXX)
    keep=0
fi
cleanup() {
    umount "$root/dev/pts" 2>/dev/null || true
    umount "$root/proc" 2>/dev/null || true
    [ "$keep" -eq 1 ] || rm -rf --one-file-system "$root"
}
trap cleanup EXIT
if [ ! -e "$root/etc/debian_version" ]; then
    debootstrap --variant=minbase bookworm "$root" http://deb.debian.org/debian >&2
fi
mount -t proc proc "$root/proc"
mount --bind /dev/pts "$root/dev/pts"
cp /etc/resolv.conf "$root/etc/resolv.conf"
cp "$deb" "$root/tmp/norvelco.deb"

cat > "$root/tmp/install-test.sh" <<'INNER'
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
step() { echo "== $*" >&2; }
apt-get update -qq
# strace shows which language file the desktop program opens; it belongs to the test, not the package.
apt-get install -y -qq --no-install-recommends strace >/dev/null
dpkg-query -W -f='${Package}\n' | sort > /tmp/packages-before

step "apt-get install ./norvelco.deb"
cd /tmp
apt-get install -y -qq ./norvelco.deb >/dev/null
dpkg-query -L norvelco | sort > /tmp/files
mkdir -p /tmp/home
export HOME=/tmp/home

step "norvelco-cli new and show"
norvelco-cli new RB16KT5QA -o x.cfg
norvelco-cli show x.cfg | tee /tmp/show.txt
grep -q "Baud rate: 9600 bit/s" /tmp/show.txt
norvelco-cli --language Japanese.lng show x.cfg | grep -q "通信速度: 9600 bps"

step "norvelco-devsim and norvelco-cli identify over a pseudo-terminal"
norvelco-devsim --type RB16KT5QA --firmware 1.2.0 --link /tmp/demo >/tmp/devsim.out 2>&1 &
sim=$!
for _ in $(seq 100); do [ -e /tmp/demo ] && break; sleep 0.1; done
norvelco-cli --port /tmp/demo identify | tee /tmp/identify.txt
kill -INT "$sim"
wait "$sim"
grep -q "Model code: RB16KT5QA" /tmp/identify.txt

step "NORVELCO on the offscreen platform"
status=0
QT_QPA_PLATFORM=offscreen strace -f -e trace=openat -o /tmp/trace timeout 5 NORVELCO || status=$?
[ "$status" -eq 124 ] || { echo "NORVELCO ended with status $status" >&2; exit 1; }
grep -E 'openat\(.*"/usr/bin/../share/norvelco/English.lng".* = [0-9]+$' /tmp/trace >&2

step "apt-get remove norvelco"
apt-get remove -y -qq norvelco >/dev/null
left=0
while read -r path; do
    if [ -f "$path" ] || [ -L "$path" ]; then echo "left behind: $path" >&2; left=1; fi
done < /tmp/files
for dir in /usr/share/norvelco /usr/share/doc/norvelco; do
    [ ! -e "$dir" ] || { echo "left behind: $dir" >&2; left=1; }
done
[ -z "$(dpkg-query -W -f='${Status}' norvelco 2>/dev/null | grep -v not-installed)" ] ||
    { echo "norvelco still known to dpkg: $(dpkg-query -W -f='${Status}' norvelco)" >&2; left=1; }
found=$(find / -xdev \( -path /tmp -o -path /proc \) -prune -o -iname '*norvelco*' -print)
[ -z "$found" ] || { echo "left behind: $found" >&2; left=1; }
apt-get autoremove --purge -y -qq >/dev/null
dpkg-query -W -f='${Package}\n' | sort > /tmp/packages-after
diff /tmp/packages-before /tmp/packages-after >&2 || { echo "other packages changed" >&2; left=1; }
[ "$left" -eq 0 ]
step "installed, run and removed without a trace"
INNER
chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 bash /tmp/install-test.sh
