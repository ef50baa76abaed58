#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the demo, the
# benchmark and the packaging check need, and only those that are missing.
#
#   bash scripts/install-deps.sh        # everything
#   bash scripts/install-deps.sh demo   # only what scripts/demo.sh builds with
set -euo pipefail

if [ "${1:-}" = demo ]; then
    packages=(cmake ninja-build g++ libedit-dev nlohmann-json3-dev libsystemd-dev pkg-config)
else
# prometheus-node-exporter: the metrics test runs a copy of its own on a
# loopback port (where systemd runs, the package also starts its service).
packages=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev
          libedit-dev libcli-dev nlohmann-json3-dev libsystemd-dev pkg-config binutils procps
          iproute2 util-linux prometheus-node-exporter
          python3 python3-pytest python3-venv
          scdoc groff-base bash-completion
          build-essential debhelper dpkg-dev fakeroot lintian man-db
          dh-python pybuild-plugin-pyproject python3-all python3-setuptools)
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi
echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
