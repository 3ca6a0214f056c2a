#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running need. Safe to run again.
#   install-deps.sh [fuzz]    fuzz: also clang and its libFuzzer runtime, for the fuzz preset
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libsqlite3-dev libjsoncpp-dev libsodium-dev libcpp-httplib-dev libcli11-dev
  libgtest-dev libgmock-dev libbenchmark-dev libapt-pkg-dev
  sqlite3 curl python3 python3-yaml
  nginx openssl libssl-dev
  chromium chromium-driver python3-selenium
  libfcgi-dev libjs-chart.js prometheus lintian smartmontools dpkg-dev fakeroot
  file ccache jq
)
if [ "${1:-}" = fuzz ]; then packages+=(clang libclang-rt-dev); fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages (${missing[*]}); run this script as root to install them" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
