#!/usr/bin/env bash
# Builds the Debian package in an optimised tree of its own (build-package/, or BUILD_DIR) and
# writes the installation folder BUILD/medium/: norvelco.deb, the same package under its Debian
# name (norvelco_VERSION_ARCH.deb) and the launcher Setup. Checks the package before it is done.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --package
build=${BUILD_DIR:-build-package}
# Debian's hardening flags (fortified functions, stack protector, full RELRO, immediate binding).
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
# Without -g: the package is stripped anyway.
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS | sed "s/^-g //")"
ldflags=$(dpkg-buildflags --get LDFLAGS)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
    -DNORVELCO_SANITIZE=OFF -DNORVELCO_TESTS=OFF -DNORVELCO_BENCH=OFF -DNORVELCO_FUZZ=OFF
cmake --build "$build" -j "$(nproc)"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
deb=norvelco_${version}_${arch}.deb
rm -f "$build/$deb"
(cd "$build" && cpack -G DEB >/dev/null)

medium=$build/medium
rm -rf "$medium"
mkdir -p "$medium"
cp "$build/$deb" "$medium/norvelco.deb"
cp "$build/$deb" "$medium/$deb"
strip -o "$medium/Setup" "$build/bin/Setup"

bash packaging/check-package.sh "$medium/norvelco.deb" "$version" "$arch"
echo "Installation folder: $medium" >&2
ls -l "$medium" >&2
