#!/usr/bin/env bash
# Sets up the machine, builds the engine and the command-line recorder, and runs the main job.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

bash scripts/bootstrap.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build

mkdir -p out
# Records the X display when there is one, else the built-in synthetic scene; extra arguments
# go to the recorder (e.g. --synthetic, --region X,Y,W,H). The focus zoom zooms in on the
# cursor, follows it, pulses and zooms out again; the built-in test camera is a round bubble in
# the bottom-right corner with the room behind the person blurred by the segmentation model
# (--camera /dev/video0 puts a real webcam there instead).
source=()
if [ -z "${DISPLAY:-}" ] || ! xdpyinfo >/dev/null 2>&1; then
    echo "demo: no X display; recording the built-in synthetic scene"
    source=(--synthetic)
fi
build/tools/tamro-record --seconds 10 --zoom-tour --overwrite "${source[@]}" \
    --camera test:720p30 --camera-border '#ffffff/3' --camera-effect blur \
    --output out/demo.mp4 "$@"
