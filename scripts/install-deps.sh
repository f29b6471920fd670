#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need, only those missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-svg-dev qt6-charts-dev libqt6opengl6-dev libgl-dev libpugixml-dev libudev-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libmodbus-dev
  fonts-noto-cjk fonts-dejavu-core
  qt6-translations-l10n
)
# The validators of the installation's files, for the tests and for the package.
validators=(man-db groff-base desktop-file-utils appstream libxml2-utils)
case "${1:-}" in
  --tests) packages+=(clang iproute2 "${validators[@]}") ;;
  --package) packages+=(dpkg-dev fakeroot file lintian "${validators[@]}") ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}" >&2
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
