#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, only
# when one of them is missing. apt-get update runs at most once.
set -euo pipefail
pkgs=(cmake g++ make pkg-config libace-dev libboost-dev libboost-regex-dev
      nlohmann-json3-dev libyajl-dev libcurl4-openssl-dev libssl-dev
      libzstd-dev liblzo2-dev libgtest-dev googletest python3 zstd util-linux
      iproute2 openssl clang-format libmicrohttpd-dev)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]}" >&2
  echo "install-deps: installing them needs root; run this command as root (or: sudo apt-get install -y ${missing[*]})" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}"
