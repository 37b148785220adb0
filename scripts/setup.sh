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
scripts/install-packages.sh "${packages[@]}"

cmake -S . -B "$build_dir" "$@" >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
