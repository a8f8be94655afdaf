#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and benchmarking need.
# Does nothing when every package is already present.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  libasio-dev nlohmann-json3-dev libicu-dev libssl-dev libsystemd-dev
  qt6-base-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  iproute2 nftables iperf3 python3 python3-zeroconf dbus python3-dbusmock
  xvfb xauth
  # What starts a session bus through the X display when there is none: the app tests check
  # that the program keeps it from doing so.
  dbus-x11
  # The smoke scenario types into the program's windows and photographs them.
  xdotool imagemagick
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  sudo=sudo
else
  sudo=
fi
echo "Installing: ${missing[*]}"
$sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
