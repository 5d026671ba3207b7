#!/usr/bin/env bash
# The player on its real architecture, on a Debian 12 x86-64 machine: installs
# what is missing (scripts/install-deps.sh, scripts/install-deps-arm64.sh),
# cross-compiles video_player, signage_manager and the unit tests for arm64
# into build-arm64/, then runs under user-mode QEMU the unit tests and an
# end-to-end smoke test of the arm64 player (Arm64Smoke in tests/e2e, built
# natively into build/, which drives the arm64 binary as a manager would).
#   bash scripts/test-arm64.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
phase_start=$SECONDS
phase() {
  echo "test-arm64: $1 ($((SECONDS - phase_start)) s)"
  phase_start=$SECONDS
}

bash scripts/install-deps.sh
bash scripts/install-deps-arm64.sh
phase "packages present"

# The native build: its e2e_tests binary runs the smoke test, and its clips.
bash scripts/build.sh
phase "native build"

# libgstreamer-plugins-base1.0-dev:arm64 cannot be installed beside the native
# one in Debian 12 (not Multi-Arch: same): unpack the same version into
# build-arm64/deps, point its .pc files there and its .so links at the
# installed arm64 libraries.
deps=build-arm64/deps
version=$(dpkg-query -W -f='${Version}' libgstreamer-plugins-base1.0-0:arm64)
if [ "$(cat "$deps/.version" 2>/dev/null)" != "$version" ]; then
  rm -rf "$deps"
  mkdir -p "$deps/root"
  (cd "$deps" && apt-get download -qq -o APT::Sandbox::User=root \
    "libgstreamer-plugins-base1.0-dev:arm64=$version") || {
    echo "test-arm64: cannot download libgstreamer-plugins-base1.0-dev:arm64 $version;" \
      "'apt-get update && apt-get upgrade' brings the installed one to the archive's version" >&2
    exit 1
  }
  dpkg-deb -x "$deps"/libgstreamer-plugins-base1.0-dev_*_arm64.deb "$deps/root"
  libdir="$root/$deps/root/usr/lib/aarch64-linux-gnu"
  sed -i "s|^prefix=/usr\$|prefix=$root/$deps/root/usr|" "$libdir"/pkgconfig/*.pc
  for link in "$libdir"/*.so; do
    ln -sfn "/usr/lib/aarch64-linux-gnu/$(readlink "$link")" "$link"
  done
  echo "$version" > "$deps/.version"
fi

cmake -S . -B build-arm64 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake" \
  -DARM64_PKG_CONFIG_PATH="$root/$deps/root/usr/lib/aarch64-linux-gnu/pkgconfig" >/dev/null
cmake --build build-arm64 -j"$(nproc)"
bash scripts/make-clips.sh build-arm64/clips
for program in video_player signage_manager unit_tests; do
  readelf -h "build-arm64/$program" | grep -q 'Machine: *AArch64' ||
    { echo "test-arm64: build-arm64/$program is not an arm64 program" >&2; exit 1; }
done
phase "arm64 build"

# The arm64 programs run under qemu-aarch64-static with the arm64 libraries of
# / (the toolchain file sets it as ctest's emulator). The emulated process
# cannot start another arm64 program unless the kernel has a binfmt_misc
# handler for arm64: without one GStreamer must scan its plug-ins in-process,
# and a death test, which re-executes its own binary, cannot run.
export GST_REGISTRY_FORK=no
qemu=(qemu-aarch64-static -L /)
"${qemu[@]}" build-arm64/signage_manager --help >/dev/null
status=0
exclude=()
if ! grep -qs '^enabled' /proc/sys/fs/binfmt_misc/qemu-aarch64; then
  echo "test-arm64: no binfmt_misc handler for arm64: skipping MemoryGuardDeathTest (it re-executes its binary)"
  exclude=(-E '^MemoryGuardDeathTest\.')
fi
(cd build-arm64 && ctest -L unit --output-on-failure --timeout 600 "${exclude[@]}") || status=1
phase "unit tests under emulation"

: > build-arm64/smoke-player.log
(cd build && ARM64_PLAYER="$root/build-arm64/video_player" ARM64_EMULATOR="${qemu[*]}" \
  PLAYER_TEST_LOG="$root/build-arm64/smoke-player.log" \
  ../scripts/with-env.sh ctest -R '^Arm64Smoke\.' --output-on-failure --verbose) || status=1
phase "smoke test of the arm64 player under emulation"
exit $status
