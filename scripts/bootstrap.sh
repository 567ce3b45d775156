#!/usr/bin/env bash
# Installs what building, testing and running the engine needs on Debian 12: the missing apt
# packages; ONNX Runtime and the two selfie-segmentation networks unpacked from their npm packages
# into third_party/; a photograph of a person for checking the converted networks. A quick no-op
# when everything is there already.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

packages=(
    build-essential cmake ninja-build pkg-config clang-format
    libgtest-dev libgmock-dev libbenchmark-dev
    libavcodec-dev libavformat-dev libavutil-dev libswresample-dev libswscale-dev
    libx11-dev libxext-dev libxfixes-dev libxrandr-dev libxdamage-dev libxcomposite-dev
    libpulse-dev libv4l-dev libyuv-dev libspeexdsp-dev libjpeg62-turbo-dev libpng-dev
    xvfb x11-utils xcompmgr pulseaudio pulseaudio-utils ffmpeg
    nodejs npm
    python3-onnx python3-numpy python3-flatbuffers
)

onnx_package="com.github.asus4.onnxruntime@0.4.9"
onnx_dir="$root/third_party/onnxruntime"
selfie_package="@mediapipe/selfie_segmentation@0.1.1675465747"
selfie_dir="$root/third_party/selfie_segmentation"
selfie_models=(selfie_segmentation.tflite selfie_segmentation_landscape.tflite)
photo="$root/third_party/photos/astronaut.png"
photo_package="python3-skimage"
photo_member="./usr/lib/python3/dist-packages/skimage/data/astronaut.png"

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

# The networks the build converts to ONNX; without them the build ships no segmentation model.
install_selfie_models() {
    local model missing=0
    for model in "${selfie_models[@]}"; do
        [ -e "$selfie_dir/$model" ] || missing=1
    done
    [ "$missing" -eq 0 ] && return 0
    local work
    work=$(mktemp -d)
    trap 'rm -rf "$work"' RETURN
    echo "bootstrap: fetching the segmentation networks ($selfie_package)"
    if ! (cd "$work" && npm pack --silent "$selfie_package" >/dev/null); then
        echo "bootstrap: WARNING: could not fetch $selfie_package; no segmentation model will be built" >&2
        return 0
    fi
    tar -xzf "$work"/*.tgz -C "$work" "${selfie_models[@]/#/package/}"
    mkdir -p "$selfie_dir"
    for model in "${selfie_models[@]}"; do
        install -m 0644 "$work/package/$model" "$selfie_dir/"
    done
}

# A portrait the model check runs the networks on; only the picture is taken from the package,
# which is not installed.
install_photo() {
    [ -e "$photo" ] && return 0
    local work
    work=$(mktemp -d)
    trap 'rm -rf "$work"' RETURN
    echo "bootstrap: fetching a test photograph ($photo_package)"
    # apt-get download writes into the current directory; _apt must be able to write there.
    chmod 777 "$work"
    if ! (cd "$work" && apt-get download -qq "$photo_package" >/dev/null 2>&1) ||
        ! dpkg-deb --fsys-tarfile "$work"/*.deb | tar -x -C "$work" "$photo_member"; then
        echo "bootstrap: WARNING: could not fetch $photo_package; the model's photo check will be skipped" >&2
        return 0
    fi
    mkdir -p "$(dirname "$photo")"
    install -m 0644 "$work/$photo_member" "$photo"
}

install_packages
install_onnxruntime
install_selfie_models
install_photo
