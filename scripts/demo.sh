#!/usr/bin/env bash
# Sets up the machine, builds the engine and the command-line recorder, and runs the main job.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

bash scripts/bootstrap.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build

if [ ! -x build/tools/tamro-record ]; then
    echo "demo: the engine is built (build/libtamro.so); the recorder itself is not there yet."
    exit 0
fi
mkdir -p out
build/tools/tamro-record --synthetic --seconds 10 --output out/demo.mp4
