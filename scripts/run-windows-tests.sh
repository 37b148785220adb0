#!/usr/bin/env bash
# Cross-builds korvat for Windows with Debian's mingw-w64 into build-windows,
# runs the whole test suite under Wine, then checks that korvat.exe packs the
# example tree into the very bytes the Linux build (build/) writes for it.
# Installs the cross toolchain, the Windows zlib, googletest and wine64 when
# missing (as root), as scripts/setup.sh does for the Linux packages.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=build-windows
linux_dir=${KORVAT_BUILD_DIR:-build}

packages=(cmake make g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
  libz-mingw-w64-dev googletest wine64)
scripts/install-packages.sh "${packages[@]}"

# A Wine prefix of its own, made on the first start (some seconds) and kept;
# the build already runs the test program to list its tests.
export WINEPREFIX="$PWD/$build_dir/wineprefix" WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no .NET or Gecko installer on the first start
mkdir -p "$build_dir"
wine cmd /c exit >/dev/null 2>&1 || true

cmake -S . -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake \
  -DCMAKE_CROSSCOMPILING_EMULATOR="$(command -v wine)" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
  "$@" >/dev/null
cmake --build "$build_dir" -j"$(nproc)"

# A test that fails is run once more: Wine itself now and then loses a
# starting program's connection to its server ("recvmsg: Connection reset
# by peer"), which says nothing of korvat.
ctest --test-dir "$build_dir" --output-on-failure -j"$(nproc)" --repeat until-pass:2

# The same files with the same times must give the same archive on both
# systems.
scripts/setup.sh "$linux_dir" >/dev/null
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
"$linux_dir/korvat" "$out/linux.arc" -add assets examples 9 >/dev/null
wine "$build_dir/korvat.exe" "$out/windows.arc" -add assets examples 9 >/dev/null
cmp "$out/linux.arc" "$out/windows.arc"
echo "korvat.exe -add of examples/ gives the same archive as the Linux build"
