#!/usr/bin/env bash
# Installs every Debian package that building, running and testing Tarnix needs.
# Idempotent: packages already present are left alone, and the package lists
# are refreshed at most once per run.
set -euo pipefail

PACKAGES=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-multimedia-dev libqt6svg6
  libpcap-dev zlib1g-dev libsqlite3-dev sqlite3 postgresql libpq-dev
  flex bison
  hershey-fonts-data fonts-dejavu-core
  libmicrohttpd-dev libcurl4-openssl-dev libsystemd-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang-14 libclang-rt-14-dev
  tcpdump tshark iproute2 curl python3 xdotool openssl ethtool tcpreplay
  tinyproxy-bin busybox ieee-data dnsmasq bind9-dnsutils
  pulseaudio-utils alsa-utils
  poppler-utils
  help2man librsvg2-bin desktop-file-utils appstream
  prometheus
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    SUDO=sudo
  else
    echo "setup: missing packages: ${missing[*]}" >&2
    echo "setup: run as root:  apt-get update && apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
else
  SUDO=
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# tshark asks whether non-root users may capture; answer for it.
echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections 2>/dev/null || true
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
