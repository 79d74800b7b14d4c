#!/usr/bin/env bash
# Installs whatever the build, the tests and the benchmarks need and is missing.
# Runs as root on Debian; does nothing when everything is already there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  libgtest-dev libgmock-dev
  libmbedtls-dev liblz4-dev
  clang libclang-rt-14-dev
  util-linux procps strace coreutils attr acl
  openssl curl
  tshark
  tinyproxy microsocks dante-server
  dpkg-dev file lintian systemd logrotate man-db groff-base
)
if [ "${1:-}" = "--bench" ]; then
  packages+=(hyperfine rsync time python3 socat)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
# tshark reads the log's capture files in the tests; it needs no capture rights for that, so its
# setuid question is answered "no" rather than asked.
if [[ " ${missing[*]} " == *" tshark "* ]]; then
  echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
fi
apt-get install -y -q --no-install-recommends "${missing[@]}" ||
  { apt-get update -q && apt-get install -y -q --no-install-recommends "${missing[@]}"; }
