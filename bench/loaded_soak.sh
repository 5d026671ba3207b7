#!/usr/bin/env bash
# The loaded switching soak of the tests, run long: prompt switches at every
# moment of the file on screen, with a core kept busy. Prints its seed and,
# at the end, how many switches landed at each moment, how long a switch held
# the main loop, the longest wait for the loop, and descriptors and threads.
#   bench/loaded_soak.sh [SWITCHES (2000)] [SEED]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh >/dev/null
export SOAK_SWITCHES="${1:-2000}"
if [ -n "${2:-}" ]; then export SOAK_SEED="$2"; fi
cd build
exec ../scripts/with-env.sh ./soak_tests --gtest_filter='LoadedSoak.*'
