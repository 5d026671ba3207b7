#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test under a virtual
# display and a sound server of their own.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
cd build
exec ../scripts/with-env.sh ctest --output-on-failure -j2 --timeout 600 "$@"
