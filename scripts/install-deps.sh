#!/usr/bin/env bash
# Installs the Debian packages the build and tests need, and any named as
# arguments, only when missing.
set -euo pipefail

packages=(cmake make g++ libgtest-dev libgmock-dev libbenchmark-dev rapidjson-dev python3-numpy python3-h5py python3-onnx python3-pytest python3-venv python3-setuptools python3-wheel pkgconf clang clang-format libclang-rt-14-dev crossbuild-essential-arm64 qemu-user googletest "$@")
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing packages: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then SUDO="sudo -n"; else
    echo "Missing packages (${missing[*]}) and not root: install them first." >&2
    exit 1
  fi
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq </dev/null
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
