#!/usr/bin/env bash
# Checks a built package: its control fields, exactly which files it holds, that the installed
# documents pass their validators, and that lintian finds no error (its warnings are printed).
# usage: check-package.sh PACKAGE.deb VERSION ARCHITECTURE
set -euo pipefail
deb=$1 version=$2 arch=$3
here=$(cd "$(dirname "$0")" && pwd)
fail() {
    echo "check-package: $*" >&2
    exit 1
}

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = norvelco ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', not $version"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is '$(field Architecture)'"
for name in Maintainer Section Priority Installed-Size; do
    [ -n "$(field $name)" ] || fail "no $name"
done
# Depends comes from the programs' shared libraries: the C library, Qt (with Svg and Charts), udev
# and pugixml at least.
depends=$(field Depends)
names=$(sed 's/ *([^)]*)//g; s/ //g' <<<"$depends" | tr ',|' '\n\n')
for library in libc6 libstdc++6 libqt6core6 libqt6widgets6 libqt6svg6 libqt6charts6 libudev1 libpugixml1v5; do
    grep -qxF "$library" <<<"$names" || fail "Depends lacks $library: $depends"
done
# A short description and a long one of several lines.
description=$(field Description)
[ "$(wc -l <<<"$description")" -ge 4 ] || fail "Description has no long part: $description"

expected="./usr/bin/NORVELCO
./usr/bin/norvelco-cli
./usr/bin/norvelco-devsim
./usr/share/applications/norvelco.desktop
./usr/share/doc/norvelco/README.md
./usr/share/doc/norvelco/changelog.gz
./usr/share/doc/norvelco/copyright
./usr/share/icons/hicolor/scalable/apps/norvelco.svg
./usr/share/man/man1/NORVELCO.1.gz
./usr/share/man/man1/norvelco-cli.1.gz
./usr/share/man/man1/norvelco-devsim.1.gz
./usr/share/metainfo/com.kovaltra.norvelco.metainfo.xml
./usr/share/norvelco/English.lng
./usr/share/norvelco/Japanese.lng"
actual=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sort)
[ "$actual" = "$expected" ] || fail "unexpected contents:
$(diff <(echo "$expected") <(echo "$actual") || true)"
owners=$(dpkg-deb --fsys-tarfile "$deb" | tar -tv | awk '{print $2}' | sort -u)
[ "$owners" = root/root ] || fail "files are owned by $owners, not root/root"

tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
dpkg-deb -x "$deb" "$tree"
for program in NORVELCO norvelco-cli norvelco-devsim; do
    [ -x "$tree/usr/bin/$program" ] || fail "$program is not executable"
done
changelog=$(zcat "$tree/usr/share/doc/norvelco/changelog.gz" | dpkg-parsechangelog -l - -S Version)
[ "$changelog" = "$version" ] || fail "the change log's latest entry is $changelog, not $version"
bash "$here/check-files.sh" "$tree"/usr/share/man/man1/*.1.gz \
    "$tree/usr/share/applications/norvelco.desktop" \
    "$tree/usr/share/metainfo/com.kovaltra.norvelco.metainfo.xml" \
    "$tree/usr/share/icons/hicolor/scalable/apps/norvelco.svg" || fail "a document is not valid"

# Lintian refuses nothing but errors here; the warnings it still gives are shown.
lintian --fail-on error --display-info "$deb" >&2 || fail "lintian reports errors"
echo "check-package: $deb is complete and lintian finds no error" >&2
