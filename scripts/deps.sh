#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need. Idempotent: apt-get runs
# only when something is missing. Needs root (or sudo) on a Debian 12 machine.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config ccache
  libsqlite3-dev nlohmann-json3-dev libcurl4-openssl-dev
  libgtest-dev libgmock-dev
  iproute2 util-linux
  openssl python3 ca-certificates
  chromium
)
# The browser test drives Chromium from node; a machine may carry a node (and
# npm) that is not Debian's, which then stays as it is.
if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
  packages+=(nodejs npm)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  echo "deps: installing ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
