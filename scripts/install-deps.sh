#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing norviai need.
# Idempotent and quick when everything is present; touches no Python environment.
set -euo pipefail

packages=(
  g++ make cmake pkg-config
  clang-format clang-tidy
  libgtest-dev googletest
  libcpp-httplib-dev nlohmann-json3-dev libsqlite3-dev sqlite3
  graphviz libgraphviz-dev
  unixodbc
  postgresql
  mariadb-server mariadb-client
  chromium chromium-driver
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing Debian packages: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
