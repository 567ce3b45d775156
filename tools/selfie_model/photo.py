"""Reads a PNG photograph and letterboxes it into a network's input the way the engine does."""

import struct
import zlib

import numpy as np


class UnsupportedImage(Exception):
    pass


def _unfilter(raw, height, stride, bpp):
    """Undoes PNG's per-row filters (None, Sub, Up, Average, Paeth). Sub, Average and Paeth
    depend on the byte to the left, so rows are walked byte by byte, on plain ints."""
    out = bytearray(height * stride)
    prev = bytearray(stride)
    pos = 0
    for y in range(height):
        kind = raw[pos]
        cur = bytearray(raw[pos + 1:pos + 1 + stride])
        pos += stride + 1
        if kind == 1:
            for x in range(bpp, stride):
                cur[x] = (cur[x] + cur[x - bpp]) & 0xFF
        elif kind == 2:
            cur = bytearray((a + b) & 0xFF for a, b in zip(cur, prev))
        elif kind == 3:
            for x in range(stride):
                left = cur[x - bpp] if x >= bpp else 0
                cur[x] = (cur[x] + ((left + prev[x]) >> 1)) & 0xFF
        elif kind == 4:
            for x in range(stride):
                a = cur[x - bpp] if x >= bpp else 0
                b = prev[x]
                c = prev[x - bpp] if x >= bpp else 0
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                pred = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
                cur[x] = (cur[x] + pred) & 0xFF
        elif kind != 0:
            raise UnsupportedImage(f"unknown PNG filter {kind} on row {y}")
        out[y * stride:(y + 1) * stride] = cur
        prev = cur
    return np.frombuffer(bytes(out), np.uint8).reshape(height, stride)


def read_png(path):
    """An 8-bit RGB or RGBA, non-interlaced PNG as an [H, W, 3] uint8 array."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise UnsupportedImage(f"{path}: not a PNG file")
    pos = 8
    idat = bytearray()
    header = None
    while pos < len(data):
        length, kind = struct.unpack_from(">I4s", data, pos)
        body = data[pos + 8:pos + 8 + length]
        pos += 12 + length
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        elif kind == b"IEND":
            break
    if header is None:
        raise UnsupportedImage(f"{path}: no IHDR chunk")
    width, height, depth, colour, _, _, interlace = header
    if depth != 8 or colour not in (2, 6) or interlace != 0:
        raise UnsupportedImage(f"{path}: only 8-bit RGB/RGBA non-interlaced PNGs are read "
                               f"(depth {depth}, colour type {colour}, interlace {interlace})")
    channels = 3 if colour == 2 else 4
    rows = _unfilter(zlib.decompress(bytes(idat)), height, width * channels, channels)
    return rows.reshape(height, width, channels)[:, :, :3]


def letterbox(rgb, model_w, model_h):
    """The engine's letterbox: scale to fit, centre, bilinear from the four neighbours (the far
    ones clamped to the last row and column) truncated to a byte, black outside; then RGB / 255
    as an NHWC [1, H, W, 3] float32 tensor."""
    src_h, src_w = rgb.shape[:2]
    s = min(model_w / src_w, model_h / src_h)
    ox = (model_w - src_w * s) / 2
    oy = (model_h - src_h * s) / 2
    sx = (np.arange(model_w) - ox) / s
    sy = (np.arange(model_h) - oy) / s
    inside = ((sy >= 0) & (sy <= src_h - 1))[:, None] & ((sx >= 0) & (sx <= src_w - 1))[None, :]
    x0 = np.clip(np.floor(sx), 0, src_w - 1).astype(int)
    y0 = np.clip(np.floor(sy), 0, src_h - 1).astype(int)
    x1 = np.minimum(x0 + 1, src_w - 1)
    y1 = np.minimum(y0 + 1, src_h - 1)
    fx = (sx - x0)[None, :, None]
    fy = (sy - y0)[:, None, None]
    img = rgb.astype(np.float64)
    top = img[y0][:, x0] * (1 - fx) + img[y0][:, x1] * fx
    bottom = img[y1][:, x0] * (1 - fx) + img[y1][:, x1] * fx
    blended = np.floor(top * (1 - fy) + bottom * fy)
    blended[~inside] = 0
    return (blended / 255).astype(np.float32)[None]


def write_ppm(path, rgb):
    rgb = np.ascontiguousarray(rgb, np.uint8)
    with open(path, "wb") as f:
        f.write(b"P6\n%d %d\n255\n" % (rgb.shape[1], rgb.shape[0]))
        f.write(rgb.tobytes())
