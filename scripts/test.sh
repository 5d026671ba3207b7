#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test under a virtual
# display and a sound server of their own.
#   scripts/test.sh [--repeat N] [CTEST OPTION...]
# --repeat N runs every selected test N times and fails when any run fails,
# so that a test that fails only now and then shows up.
set -euo pipefail
cd "$(dirname "$0")/.."
args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --repeat)
      [[ "${2:-}" =~ ^[1-9][0-9]*$ ]] || { echo "test.sh: --repeat needs a count of 1 or more" >&2; exit 2; }
      args+=(--repeat "until-fail:$2")
      shift 2
      ;;
    --repeat=*)
      n="${1#--repeat=}"
      [[ "$n" =~ ^[1-9][0-9]*$ ]] || { echo "test.sh: --repeat needs a count of 1 or more" >&2; exit 2; }
      args+=(--repeat "until-fail:$n")
      shift
      ;;
    *)
      args+=("$1")
      shift
      ;;
  esac
done
bash scripts/install-deps.sh
bash scripts/build.sh
cd build
exec ../scripts/with-env.sh ctest --output-on-failure -j2 --timeout 600 "${args[@]}"
