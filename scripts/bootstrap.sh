#!/usr/bin/env bash
# Installs what building, testing and running the engine needs on Debian 12: the missing apt
# packages, and ONNX Runtime unpacked from its npm package into third_party/. A quick no-op when
# everything is there already.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

packages=(
    build-essential cmake ninja-build pkg-config clang-format
    libgtest-dev libgmock-dev libbenchmark-dev
    libavcodec-dev libavformat-dev libavutil-dev libswresample-dev libswscale-dev
    libx11-dev libxext-dev libxfixes-dev libxrandr-dev libxdamage-dev libxcomposite-dev
    libpulse-dev libv4l-dev libyuv-dev libspeexdsp-dev libjpeg62-turbo-dev libpng-dev
    xvfb x11-utils pulseaudio pulseaudio-utils ffmpeg
    nodejs npm
)

onnx_package="com.github.asus4.onnxruntime@0.4.9"
onnx_dir="$root/third_party/onnxruntime"

as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    elif command -v sudo >/dev/null; then
        sudo "$@"
    else
        echo "bootstrap: need root to run: $*" >&2
        return 1
    fi
}

missing_packages() {
    local pkg
    for pkg in "${packages[@]}"; do
        # node and npm may come from outside Debian's packages; a working command is enough.
        case "$pkg" in
            nodejs) command -v node >/dev/null && continue ;;
            npm) command -v npm >/dev/null && continue ;;
        esac
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
            echo "$pkg"
    done
}

install_packages() {
    local missing
    mapfile -t missing < <(missing_packages)
    [ "${#missing[@]}" -eq 0 ] && return 0
    echo "bootstrap: installing ${missing[*]}"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}"
}

install_onnxruntime() {
    [ -e "$onnx_dir/lib/libonnxruntime.so.1" ] && [ -e "$onnx_dir/include/onnxruntime_c_api.h" ] &&
        return 0
    local work
    work=$(mktemp -d)
    trap 'rm -rf "$work"' RETURN
    echo "bootstrap: fetching ONNX Runtime ($onnx_package)"
    if ! (cd "$work" && npm pack --silent "$onnx_package" >/dev/null); then
        # The engine runs without it: segmentation then reports itself unavailable.
        echo "bootstrap: WARNING: could not fetch $onnx_package; ML effects will be unavailable" >&2
        return 0
    fi
    local headers="package/Plugins/iOS~/onnxruntime.xcframework/ios-arm64/onnxruntime.framework/Headers"
    tar -xzf "$work"/*.tgz -C "$work" "package/Plugins/Linux/x64/libonnxruntime.so" "$headers"
    mkdir -p "$onnx_dir/lib" "$onnx_dir/include"
    cp "$work/package/Plugins/Linux/x64/libonnxruntime.so" "$onnx_dir/lib/"
    cp "$work/$headers"/*.h "$onnx_dir/include/"
    ln -sf libonnxruntime.so "$onnx_dir/lib/libonnxruntime.so.1"
}

install_packages
install_onnxruntime
