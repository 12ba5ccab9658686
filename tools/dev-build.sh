#!/usr/bin/env bash
# Incremental developer build: compiles the native modules with CMake/Ninja
# into build/dev and links them into src/vostra/core, so that
# `PYTHONPATH=src python -m pytest` runs against the working tree.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${VOSTRA_BUILD_DIR:-build/dev}
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-Release} \
  -DPython_EXECUTABLE="$(command -v python3)" "$@" >/dev/null
cmake --build "$dir"
for so in "$dir"/*.so; do
  case "$(basename "$so")" in
    _engine.*) ln -sf "$(realpath "$so")" src/vostra/ ;;
    *) ln -sf "$(realpath "$so")" src/vostra/core/ ;;
  esac
done
