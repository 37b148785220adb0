#!/usr/bin/env bash
# Builds korvat in Release into build-release (through setup.sh, so that as
# root the missing Debian packages are installed: the build's, python3, the
# peers zip, unzip and pigz, and libbenchmark-dev for the micro benchmarks),
# then runs bench/run.py with the arguments given, e.g.
#   scripts/bench.sh                                  # the full benchmark
#   scripts/bench.sh --corpus small --levels 6 --reps 1
#   scripts/bench.sh --micro --results-md bench/RESULTS.md --label after
#   scripts/bench.sh --smoke --micro      # the harness still works (CI runs this)
# Not as root, the packages that are missing are named and left out: without
# libbenchmark-dev the micro benchmarks are not built; run.py names missing peers.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=build-release

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

extras=()
for p in python3 zip unzip pigz libbenchmark-dev; do
  if [ "$(id -u)" -eq 0 ] || installed "$p"; then
    extras+=("$p")
  else
    echo "Not installed (run as root to install it): $p" >&2
  fi
done
bench=OFF
[[ " ${extras[*]} " == *" libbenchmark-dev "* ]] && bench=ON

KORVAT_EXTRA_PACKAGES="${extras[*]}" scripts/setup.sh "$build_dir" \
  -DCMAKE_BUILD_TYPE=Release -DKORVAT_BUILD_TESTS=OFF -DKORVAT_BENCH="$bench"
python3 bench/run.py --korvat "$build_dir/korvat" \
  --micro-bin "$build_dir/bench/micro/korvat_micro" "$@"
