#!/usr/bin/env bash
# The manager with the real player, a hundred switches under each display
# server of the tests (Xvfb, weston's desktop and kiosk shells, sway), one
# player throughout. Prints a table of counts; fails when a run did not hold.
#   bench/compositor_switches.sh [--switches N] [--only x11|weston-desktop|weston-kiosk|sway]
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-bench -DBUILD_TESTING=OFF -DBUILD_BENCH=ON >/dev/null
cmake --build build-bench -j2 --target compositor_switches >/dev/null
cd build-bench
# A sound server of the run's own (see "Reproducing" in docs/PERFORMANCE.md).
XDG_RUNTIME_DIR=$(mktemp -d) exec ../scripts/with-env.sh ./compositor_switches "$@"
