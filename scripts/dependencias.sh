#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demonstration need.
# Does nothing when they are all present, so it is safe to run every time.
set -euo pipefail

paquetes=(
  cmake ninja-build g++ clang libclang-rt-14-dev clang-format pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev openssl libcurl4-openssl-dev curl libarchive-dev libarchive-tools libplist-dev
  libdeflate-dev zlib1g-dev
  libglib2.0-dev libgtk-3-dev libcpp-httplib-dev
  xvfb xauth zip unzip attr python3 zstd
  openbox xcompmgr libx11-dev libxtst-dev imagemagick
)

faltan=()
for p in "${paquetes[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || faltan+=("$p")
done
[ ${#faltan[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${faltan[@]}"
