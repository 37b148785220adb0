#!/usr/bin/env bash
# Builds korvat and runs the whole test suite. Extra arguments go to cmake's
# configure step, e.g. -DKORVAT_SANITIZE=ON; KORVAT_BUILD_DIR picks the folder.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${KORVAT_BUILD_DIR:-build}
scripts/setup.sh "$build_dir" "$@"
ctest --test-dir "$build_dir" --output-on-failure -j"$(nproc)"
