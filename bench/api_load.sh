#!/usr/bin/env bash
# The HTTP API under load, before and after in one run: the manager built
# from REV (default main) and the one of this tree, one right after the
# other, with this tree's player and clips. See docs/PERFORMANCE.md, "The API
# under load".
#   bench/api_load.sh [REV] [api_load option...]
set -euo pipefail
cd "$(dirname "$0")/.."
rev="${1:-main}"
shift || true
cmake -S . -B build-bench -DBUILD_TESTING=OFF -DBUILD_BENCH=ON >/dev/null
cmake --build build-bench -j"$(nproc)" --target api_load signage_manager video_player >/dev/null
before="build-bench/before-$(git rev-parse --short "$rev")"
if [ ! -x "$before/signage_manager" ]; then
  rm -rf "$before"
  mkdir -p "$before/src"
  git archive "$rev" | tar -x -C "$before/src"
  cmake -S "$before/src" -B "$before" -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$before" -j"$(nproc)" --target signage_manager >/dev/null
fi
cd build-bench
# A sound server of the run's own (see "Reproducing" above).
XDG_RUNTIME_DIR=$(mktemp -d) exec ../scripts/with-env.sh bash -c '
  ./api_load --manager "$1" --label "before ($2)" "${@:3}"
  ./api_load --manager ./signage_manager --label after "${@:3}"' api_load "../$before/signage_manager" "$rev" "$@"
