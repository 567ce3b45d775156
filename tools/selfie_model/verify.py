#!/usr/bin/python3
"""Test vectors and checks for the converted selfie-segmentation networks.

  verify.py --tflite-dir D --photo P --vectors-dir V --write   writes the vectors
  verify.py --tflite-dir D --photo P --vectors-dir V [--onnx-dir O]   checks them

Vectors, per network NAME (landscape, general) and CASE (random, photo), in V:
  NAME_CASE_input.f32      the input tensor, NHWC [1, H, W, 3], RGB in 0..1
  NAME_CASE_expected.f32   the reference interpreter's output, NHWC [1, H, W, 1], in 0..1
both raw little-endian float32 in row-major order, no header. shapes.txt has one line per
network: "NAME H W" (the input is 1 x H x W x 3, the output 1 x H x W x 1). The ONNX model's
output for an input file should match the expected file within 1e-3 per element. The random
input is uniform noise, which the networks all but certainly call background (output near 0);
the photo input is what tells a faithful conversion from a broken one.

The checks: the reference interpreter's operators against direct textbook loops on small cases
(asymmetric SAME padding, strides, the transposed convolution, half-pixel resize); the vectors
are reproduced by the interpreter from the tflite files and the photo; the ONNX files have the
boundary the engine reads; and on the photo the mask covers the person, not the background.
"""

import argparse
import os
import sys

import numpy as np

import photo
import reference as ref
import tflite_reader as tfl

NETWORKS = {
    "landscape": ("selfie_segmentation_landscape.tflite", "selfie_segmentation.onnx"),
    "general": ("selfie_segmentation.tflite", "selfie_segmentation_general.onnx"),
}
RANDOM_SEED = 19
TOLERANCE = 1e-5

# Boxes (x0, y0, x1, y1) in the 512 x 512 astronaut photograph, chosen by looking at it: the
# person's face and the suit's chest, which must be covered; the flag, the plain wall, the model
# shuttle and the wall at the right edge, which must not. The helmet held in front is left out of
# both: whether it belongs to the person is a matter of taste.
PERSON_BOXES = {"face": (185, 60, 265, 145), "chest": (60, 280, 260, 420)}
BACKGROUND_BOXES = {"flag": (0, 0, 70, 220), "wall": (305, 10, 350, 160),
                    "shuttle": (370, 0, 460, 260), "right wall": (470, 10, 510, 260)}
# Every person box must be almost fully covered. The background is judged over all its boxes
# together, each box also under half: the landscape network, given the square photo letterboxed
# into 256 x 144, half-marks the flag strip beside the black border, a real weakness of it, not
# of the conversion.
PERSON_MIN_MEAN = 0.9
BACKGROUND_MAX_MEAN = 0.1
BACKGROUND_BOX_MAX_MEAN = 0.5


def random_input(shape):
    return np.random.default_rng(RANDOM_SEED).random(shape, dtype=np.float32)


def inputs_for(graph, picture):
    shape = graph.tensors[graph.inputs[0]].shape
    cases = {"random": random_input(shape)}
    if picture is not None:
        cases["photo"] = photo.letterbox(picture, shape[2], shape[1])
    return cases


def write_vectors(graphs, picture, out_dir):
    os.makedirs(out_dir, exist_ok=True)
    lines = []
    for name, graph in graphs.items():
        _, h, w, _ = graph.tensors[graph.inputs[0]].shape
        lines.append(f"{name} {h} {w}\n")
        for case, x in inputs_for(graph, picture).items():
            x.astype("<f4").tofile(os.path.join(out_dir, f"{name}_{case}_input.f32"))
            ref.run(graph, x).astype("<f4").tofile(
                os.path.join(out_dir, f"{name}_{case}_expected.f32"))
    with open(os.path.join(out_dir, "shapes.txt"), "w") as f:
        f.writelines(lines)


# Direct definitions, one output element at a time, for the interpreter's vectorised operators.

def naive_conv(x, weights, bias, stride, pads, depthwise):
    (top, _), (left, _) = pads
    n, h, w, c = x.shape
    out_c, kh, kw, _ = weights.shape
    oh, ow = -(-h // stride), -(-w // stride)
    y = np.zeros((n, oh, ow, c if depthwise else out_c), np.float64)
    for oy in range(oh):
        for ox in range(ow):
            for i in range(kh):
                for j in range(kw):
                    sy, sx = oy * stride + i - top, ox * stride + j - left
                    if 0 <= sy < h and 0 <= sx < w:
                        if depthwise:
                            y[0, oy, ox] += x[0, sy, sx] * weights[0, i, j]
                        else:
                            y[0, oy, ox] += weights[:, i, j] @ x[0, sy, sx]
    return y + bias


def naive_transpose_conv(x, weights, bias, stride, out_hw):
    _, h, w, _ = x.shape
    out_c, kh, kw, _ = weights.shape
    full = np.zeros((1, (h - 1) * stride + kh, (w - 1) * stride + kw, out_c))
    for y in range(h):
        for xx in range(w):
            for i in range(kh):
                for j in range(kw):
                    full[0, y * stride + i, xx * stride + j] += weights[:, i, j] @ x[0, y, xx]
    top = (full.shape[1] - out_hw[0]) // 2
    left = (full.shape[2] - out_hw[1]) // 2
    return full[:, top:top + out_hw[0], left:left + out_hw[1]] + bias


def naive_resize_half_pixel(x, out_hw):
    _, h, w, _ = x.shape
    y = np.zeros((1,) + tuple(out_hw) + (x.shape[3],))
    for oy in range(out_hw[0]):
        for ox in range(out_hw[1]):
            sy = min(max((oy + 0.5) * h / out_hw[0] - 0.5, 0), h - 1)
            sx = min(max((ox + 0.5) * w / out_hw[1] - 0.5, 0), w - 1)
            y0, x0 = int(sy), int(sx)
            y1, x1 = min(y0 + 1, h - 1), min(x0 + 1, w - 1)
            fy, fx = sy - y0, sx - x0
            y[0, oy, ox] = ((x[0, y0, x0] * (1 - fx) + x[0, y0, x1] * fx) * (1 - fy) +
                            (x[0, y1, x0] * (1 - fx) + x[0, y1, x1] * fx) * fy)
    return y


def check_operators():
    rng = np.random.default_rng(7)
    failures = []

    def expect(what, got, want):
        diff = float(np.max(np.abs(got - want)))
        if diff > TOLERANCE:
            failures.append(f"{what}: differs by {diff:.3g}")

    # Odd sizes with stride 2 give SAME padding its extra row and column at the far end.
    x = rng.standard_normal((1, 7, 9, 3)).astype(np.float32)
    for stride in (1, 2):
        options = dict(padding=tfl.PADDING_SAME, stride_h=stride, stride_w=stride,
                       activation=tfl.ACTIVATION_NONE)
        for k in (1, 3, 5):
            pads = (ref.same_padding(7, stride, k), ref.same_padding(9, stride, k))
            w = rng.standard_normal((4, k, k, 3)).astype(np.float32)
            b = rng.standard_normal(4).astype(np.float32)
            expect(f"CONV_2D {k}x{k}/{stride}", ref.conv2d(x, w, b, options),
                   naive_conv(x, w, b, stride, pads, depthwise=False))
            dw = rng.standard_normal((1, k, k, 3)).astype(np.float32)
            expect(f"DEPTHWISE_CONV_2D {k}x{k}/{stride}",
                   ref.depthwise_conv2d(x, dw, b[:3], options),
                   naive_conv(x, dw, b[:3], stride, pads, depthwise=True))
    for k, stride, out in ((2, 2, (10, 14)), (3, 2, (10, 14)), (4, 2, (8, 12))):
        small = rng.standard_normal((1, 5, 7, 3)).astype(np.float32)
        w = rng.standard_normal((2, k, k, 3)).astype(np.float32)
        b = rng.standard_normal(2).astype(np.float32)
        options = dict(padding=tfl.PADDING_SAME, stride_h=stride, stride_w=stride)
        expect(f"{tfl.TRANSPOSE_CONV_BIAS} {k}x{k}/{stride}",
               ref.transpose_conv2d_bias(small, w, b, (1,) + out + (2,), options),
               naive_transpose_conv(small, w, b, stride, out))
    for out in ((10, 14), (9, 7), (3, 4)):
        options = dict(align_corners=False, half_pixel_centers=True)
        expect(f"RESIZE_BILINEAR to {out}", ref.resize_bilinear(x, out, options),
               naive_resize_half_pixel(x, out))
    return failures


def check_vectors(graphs, picture, vectors_dir):
    failures = []
    for name, graph in graphs.items():
        for case, x in inputs_for(graph, picture).items():
            stem = os.path.join(vectors_dir, f"{name}_{case}")
            try:
                stored_in = np.fromfile(stem + "_input.f32", "<f4").reshape(x.shape)
                stored_out = np.fromfile(stem + "_expected.f32", "<f4")
            except (OSError, ValueError) as e:
                failures.append(f"{name} {case}: {e}")
                continue
            if not np.array_equal(stored_in, x):
                failures.append(f"{name} {case}: the stored input is not the one made here")
            got = ref.run(graph, x).reshape(-1)
            if got.shape != stored_out.shape or np.max(np.abs(got - stored_out)) > TOLERANCE:
                failures.append(f"{name} {case}: the interpreter no longer gives the stored output")
    return failures


def check_onnx(graphs, onnx_dir):
    import onnx  # only this check needs it

    failures = []
    for name, graph in graphs.items():
        path = os.path.join(onnx_dir, NETWORKS[name][1])
        try:
            model = onnx.load(path)
            onnx.checker.check_model(model)
        except Exception as e:  # the checker raises several unrelated types
            failures.append(f"{path}: {e}")
            continue
        _, h, w, _ = graph.tensors[graph.inputs[0]].shape
        boundary = [(v.name, [d.dim_value for d in v.type.tensor_type.shape.dim])
                    for v in (model.graph.input[0], model.graph.output[0])]
        if boundary != [("input", [1, h, w, 3]), ("output", [1, h, w, 1])]:
            failures.append(f"{path}: boundary {boundary}")
    return failures


def box_means(mask, boxes, model_w, model_h, src_w, src_h):
    """The mean mask over each box of the photograph, mapped through the letterbox, and over
    all of them together (by pixel)."""
    s = min(model_w / src_w, model_h / src_h)
    ox, oy = (model_w - src_w * s) / 2, (model_h - src_h * s) / 2
    means = {}
    total = count = 0.0
    for label, (x0, y0, x1, y1) in boxes.items():
        cols = slice(int(np.ceil(ox + x0 * s)), int(ox + x1 * s))
        rows = slice(int(np.ceil(oy + y0 * s)), int(oy + y1 * s))
        means[label] = float(mask[rows, cols].mean())
        total += float(mask[rows, cols].sum())
        count += mask[rows, cols].size
    return means, total / count


def check_photo(graphs, picture, report):
    failures = []
    for name, graph in graphs.items():
        _, h, w, _ = graph.tensors[graph.inputs[0]].shape
        mask = ref.run(graph, photo.letterbox(picture, w, h))[0, :, :, 0]
        src_h, src_w = picture.shape[:2]
        person, person_mean = box_means(mask, PERSON_BOXES, w, h, src_w, src_h)
        background, background_mean = box_means(mask, BACKGROUND_BOXES, w, h, src_w, src_h)
        report(f"{name}: person {person_mean:.3f} (" +
               ", ".join(f"{k} {v:.3f}" for k, v in person.items()) +
               f"); background {background_mean:.3f} (" +
               ", ".join(f"{k} {v:.3f}" for k, v in background.items()) + ")")
        if min(person.values()) < PERSON_MIN_MEAN:
            failures.append(f"{name}: the mask misses the person")
        if (background_mean > BACKGROUND_MAX_MEAN or
                max(background.values()) > BACKGROUND_BOX_MAX_MEAN):
            failures.append(f"{name}: the mask covers the background")
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tflite-dir", required=True)
    parser.add_argument("--photo", required=True)
    parser.add_argument("--vectors-dir", required=True)
    parser.add_argument("--onnx-dir")
    parser.add_argument("--write", action="store_true")
    args = parser.parse_args()

    try:
        graphs = {name: tfl.read(os.path.join(args.tflite_dir, files[0]))
                  for name, files in NETWORKS.items()}
        picture = photo.read_png(args.photo) if os.path.exists(args.photo) else None
    except (OSError, tfl.UnsupportedModel, photo.UnsupportedImage) as e:
        print(f"verify.py: {e}", file=sys.stderr)
        return 1
    if args.write:
        write_vectors(graphs, picture, args.vectors_dir)
        return 0

    failures = check_operators()
    failures += check_vectors(graphs, picture, args.vectors_dir)
    if args.onnx_dir:
        failures += check_onnx(graphs, args.onnx_dir)
    if picture is not None:
        failures += check_photo(graphs, picture, print)
    for failure in failures:
        print(f"FAIL: {failure}")
    if failures:
        return 1
    if picture is None:
        print(f"SKIP: no photograph at {args.photo}; the mask check did not run")
        return 77
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
