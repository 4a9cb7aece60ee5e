#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need, when missing.
# Usage: scripts/deps.sh [EXTRA_PACKAGE...]   (CI names the packaging tools this way)
set -euo pipefail
packages=(cmake ninja-build g++ clang clang-format-14 pkg-config libgtest-dev libgmock-dev libbenchmark-dev
          libcli11-dev libcpp-httplib-dev libssl-dev openssl libsqlite3-dev sqlite3 libpq-dev postgresql haproxy iproute2 file dpkg-dev "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
