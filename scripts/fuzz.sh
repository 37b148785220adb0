#!/usr/bin/env bash
# Builds the libFuzzer targets with clang++ into build-fuzz (installing clang
# and its libFuzzer runtime when missing) and runs each target on its seed
# corpus for FUZZ_SECONDS seconds (default 60). A crash, leak, sanitizer
# report, timeout or broken promise fails the run and leaves the input in
# build-fuzz/artifacts/. FUZZ_TARGETS picks the targets (default: "archive
# names journal"); extra arguments go to every fuzzer run (e.g. -fork=2 to use two cores).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
targets=${FUZZ_TARGETS:-archive names journal}
build_dir=build-fuzz

KORVAT_EXTRA_PACKAGES="clang libclang-rt-dev" scripts/setup.sh "$build_dir" \
  -DCMAKE_CXX_COMPILER=clang++ -DKORVAT_FUZZ=ON -DKORVAT_BUILD_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo
rm -rf "$build_dir/seeds"
"$build_dir/fuzz/make_seeds" "$build_dir/seeds"
mkdir -p "$build_dir/artifacts"

for target in $targets; do
  # New inputs go to the first folder; the seeds and the inputs that once
  # failed (tests/fuzz_inputs) are read as they are.
  corpus=$build_dir/corpus/$target
  mkdir -p "$corpus"
  inputs=("$build_dir/seeds/$target")
  [ -d "tests/fuzz_inputs/$target" ] && inputs+=("tests/fuzz_inputs/$target")
  echo "== fuzz_$target for ${seconds}s"
  "$build_dir/fuzz/fuzz_$target" "$corpus" "${inputs[@]}" -max_total_time="$seconds" \
    -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$build_dir/artifacts/$target-" "$@"
done
