#!/usr/bin/env bash
# Builds korvat, packs the example tree into an archive, lists the archive and
# extracts it again, then checks that the extracted files match the originals.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
korvat=build/korvat
echo "== korvat example.arc -add assets examples 9"
"$korvat" "$out/example.arc" -add assets examples 9
echo "== korvat example.arc -list"
"$korvat" "$out/example.arc" -list
echo "== korvat example.arc -stats"
"$korvat" "$out/example.arc" -stats
echo "== korvat example.arc -extract $out/unpacked"
"$korvat" "$out/example.arc" -extract "$out/unpacked"
diff -r examples/assets "$out/unpacked/assets" && echo "extracted files match the originals"
