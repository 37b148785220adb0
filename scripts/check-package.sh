#!/usr/bin/env bash
# Checks the installed package, apart from the test suite since each check
# takes several seconds: C++ and C programs built against the library
# installed into a scratch prefix, its exported interface compared with
# cmake/abi.txt, and the Python package installed into a new venv. Builds
# through setup.sh as run-tests.sh does (KORVAT_BUILD_DIR picks the folder,
# extra arguments go to cmake's configure step), so after run-tests.sh with
# the same arguments nothing is rebuilt.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${KORVAT_BUILD_DIR:-build}
scripts/setup.sh "$build_dir" "$@"
KORVAT_PACKAGE_CHECKS=1 ctest --test-dir "$build_dir" --output-on-failure --no-tests=error \
  -L package -j"$(nproc)"
