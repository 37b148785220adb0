#!/usr/bin/env bash
# Installs the Debian packages the build needs when any is missing (as root),
# then configures and builds korvat into the folder given (default: build).
# KORVAT_EXTRA_PACKAGES names more packages for a special build (the fuzz
# build adds clang and its libFuzzer runtime).
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build}
shift || true

packages=(cmake g++ make zlib1g-dev libdeflate-dev libgtest-dev pkg-config python3 python3-venv python3-wheel
  python3-setuptools python3-pytest ${KORVAT_EXTRA_PACKAGES:-})
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ]; then
    echo "Installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  else
    echo "Missing packages: ${missing[*]} (run as root, or install them with apt-get)" >&2
    exit 1
  fi
fi

cmake -S . -B "$build_dir" "$@" >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
