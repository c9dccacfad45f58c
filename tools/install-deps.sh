#!/usr/bin/env bash
# Installs the Debian packages the build needs when any of them is missing.
set -euo pipefail
packages=(cmake ninja-build g++ libfmt-dev libisal-dev libgtest-dev libbenchmark-dev "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
$sudo apt-get install -y --no-install-recommends "${missing[@]}" \
  || { $sudo apt-get update && $sudo apt-get install -y --no-install-recommends "${missing[@]}"; }
