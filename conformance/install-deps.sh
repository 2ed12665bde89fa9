#!/usr/bin/env bash
# Installs what the ONNX conformance runs need, only when missing: the onnx
# package, PyTorch and torchvision from Debian, and Node.js for ONNX Runtime.
set -euo pipefail

packages=(python3-onnx python3-numpy python3-torch python3-torchvision)
# Node.js may come from elsewhere than Debian (its npm then ships inside it).
command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)
exec bash "$(dirname "$0")/../scripts/install-deps.sh" "${packages[@]}"
