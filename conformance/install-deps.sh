#!/usr/bin/env bash
# Installs what the ONNX conformance runs need, only when missing: the onnx
# package, PyTorch and torchvision from Debian, and Node.js for ONNX Runtime.
set -euo pipefail

packages=(python3-onnx python3-numpy python3-torch python3-torchvision)
# Node.js may come from elsewhere than Debian (its npm then ships inside it).
command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)
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
