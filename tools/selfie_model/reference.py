"""A small numpy interpreter of the selfie TensorFlow Lite graphs, operator by operator in NHWC.

It follows TensorFlow Lite's own arithmetic (SAME padding with the extra row/column at the end,
half-pixel bilinear resize, hard-swish as x * relu6(x + 3) / 6) and shares nothing with the ONNX
converter but the flatbuffer reader, so the two check each other.
"""

import numpy as np

import tflite_reader as tfl

# Activations are carried in double precision, so the reference is nearer the exact result than
# any float32 runtime compared with it, and only the runtime's own rounding shows in a comparison.
COMPUTE = np.float64


def same_padding(size, stride, kernel, dilation=1):
    """TensorFlow's SAME padding for one axis: (before, after), the odd pixel going after."""
    out = -(-size // stride)
    total = max((out - 1) * stride + (kernel - 1) * dilation + 1 - size, 0)
    return total // 2, total - total // 2


def _pads(x_shape, kernel_hw, options):
    if options["padding"] == tfl.PADDING_VALID:
        return (0, 0), (0, 0)
    return (same_padding(x_shape[1], options["stride_h"], kernel_hw[0]),
            same_padding(x_shape[2], options["stride_w"], kernel_hw[1]))


def _patches(x, kernel_hw, options):
    """[N, OH, OW, KH, KW, C] windows of the padded input, without copying."""
    if options.get("dilation_h", 1) != 1 or options.get("dilation_w", 1) != 1:
        raise tfl.UnsupportedModel("dilated convolutions are not supported")
    kh, kw = kernel_hw
    ph, pw = _pads(x.shape, kernel_hw, options)
    x = np.pad(x, ((0, 0), ph, pw, (0, 0)))
    sh, sw = options["stride_h"], options["stride_w"]
    windows = np.lib.stride_tricks.sliding_window_view(x, (kh, kw), axis=(1, 2))
    # sliding_window_view puts the window axes last: [N, H', W', C, KH, KW].
    return windows[:, ::sh, ::sw].transpose(0, 1, 2, 4, 5, 3)


def _activate(x, activation):
    if activation == tfl.ACTIVATION_RELU:
        return np.maximum(x, 0)
    if activation == tfl.ACTIVATION_RELU6:
        return np.clip(x, 0, 6)
    return x


def conv2d(x, weights, bias, options):
    """weights [O, KH, KW, I]."""
    cols = _patches(x, weights.shape[1:3], options)
    n, oh, ow = cols.shape[:3]
    flat = np.ascontiguousarray(cols).reshape(n * oh * ow, -1)
    y = flat @ weights.reshape(weights.shape[0], -1).T + bias
    return _activate(y.reshape(n, oh, ow, -1), options["activation"])


def depthwise_conv2d(x, weights, bias, options):
    """weights [1, KH, KW, C]; only a depth multiplier of 1 occurs in these graphs."""
    if weights.shape[3] != x.shape[3]:
        raise tfl.UnsupportedModel("depthwise convolution with a depth multiplier")
    cols = _patches(x, weights.shape[1:3], options)
    y = np.einsum("nhwijc,ijc->nhwc", cols, weights[0], optimize=True) + bias
    return _activate(y, options["activation"])


def transpose_conv2d_bias(x, weights, bias, out_shape, options):
    """weights [O, KH, KW, I]: each input pixel spreads a KH x KW patch at stride steps; the
    padding of SAME is that of the forward convolution from output to input."""
    _, kh, kw, _ = weights.shape
    n, h, w, _ = x.shape
    sh, sw = options["stride_h"], options["stride_w"]
    full = np.zeros((n, (h - 1) * sh + kh, (w - 1) * sw + kw, weights.shape[0]), COMPUTE)
    for i in range(kh):
        for j in range(kw):
            full[:, i:i + (h - 1) * sh + 1:sh, j:j + (w - 1) * sw + 1:sw] += x @ weights[:, i, j].T
    top = left = 0
    if options["padding"] == tfl.PADDING_SAME:
        top = max((h - 1) * sh + kh - out_shape[1], 0) // 2
        left = max((w - 1) * sw + kw - out_shape[2], 0) // 2
    return full[:, top:top + out_shape[1], left:left + out_shape[2]] + bias


def average_pool2d(x, options):
    if options["padding"] != tfl.PADDING_VALID:
        raise tfl.UnsupportedModel("SAME-padded average pooling is not supported")
    kernel = (options["filter_h"], options["filter_w"])
    y = _patches(x, kernel, options).mean(axis=(3, 4))
    return _activate(y, options["activation"])


def _source_index(out_size, in_size, align_corners, half_pixel):
    """TensorFlow Lite's bilinear sample positions: lower and upper index and the weight of the
    upper one."""
    if align_corners and out_size > 1:
        scale = (in_size - 1) / (out_size - 1)
    else:
        scale = in_size / out_size
    pos = np.arange(out_size, dtype=np.float32)
    pos = (pos + 0.5) * scale - 0.5 if half_pixel else pos * scale
    low = np.floor(pos)
    lower = np.maximum(low, 0).astype(int)
    upper = np.minimum(np.ceil(pos), in_size - 1).astype(int)
    return lower, upper, (pos - lower).astype(np.float32)


def resize_bilinear(x, size, options):
    ys = _source_index(size[0], x.shape[1], options["align_corners"], options["half_pixel_centers"])
    xs = _source_index(size[1], x.shape[2], options["align_corners"], options["half_pixel_centers"])
    y0, y1, fy = ys
    x0, x1, fx = xs
    fy = fy[None, :, None, None]
    fx = fx[None, None, :, None]
    top = x[:, y0][:, :, x0] * (1 - fx) + x[:, y0][:, :, x1] * fx
    bottom = x[:, y1][:, :, x0] * (1 - fx) + x[:, y1][:, :, x1] * fx
    return top * (1 - fy) + bottom * fy


def logistic(x):
    # exp of the negative magnitude only, so large logits do not overflow.
    e = np.exp(-np.abs(x))
    return np.where(x >= 0, 1 / (1 + e), e / (1 + e))


def run(graph, image):
    """Runs the graph on one NHWC float32 input; returns the first output, as float32."""
    values = {i: t.data.astype(COMPUTE) if t.dtype in (np.float16, np.float32) else t.data
              for i, t in enumerate(graph.tensors) if t.data is not None}
    values[graph.inputs[0]] = np.asarray(image, COMPUTE)
    for op in graph.operators:
        args = [values[i] if i >= 0 else None for i in op.inputs]
        o = op.options
        k = op.kind
        if k == "DEQUANTIZE":
            y = args[0].astype(COMPUTE)
        elif k == "CONV_2D":
            y = conv2d(args[0], args[1], args[2], o)
        elif k == "DEPTHWISE_CONV_2D":
            y = depthwise_conv2d(args[0], args[1], args[2], o)
        elif k == tfl.TRANSPOSE_CONV_BIAS:
            y = transpose_conv2d_bias(args[0], args[1], args[2],
                                      graph.tensors[op.outputs[0]].shape, o)
        elif k == "RELU":
            y = np.maximum(args[0], 0)
        elif k == "HARD_SWISH":
            y = args[0] * np.clip(args[0] + 3, 0, 6) / 6
        elif k == "LOGISTIC":
            y = logistic(args[0])
        elif k == "ADD":
            y = _activate(args[0] + args[1], o["activation"])
        elif k == "MUL":
            y = _activate(args[0] * args[1], o["activation"])
        elif k == "MEAN":
            y = args[0].mean(axis=tuple(int(a) for a in args[1]), keepdims=o["keep_dims"])
        elif k == "AVERAGE_POOL_2D":
            y = average_pool2d(args[0], o)
        elif k == "RESIZE_BILINEAR":
            y = resize_bilinear(args[0], args[1], o)
        else:
            raise tfl.UnsupportedModel(f"operator {k} is not supported")
        expected = graph.tensors[op.outputs[0]].shape
        if tuple(y.shape) != tuple(expected):
            raise tfl.UnsupportedModel(f"{k} gave {y.shape}, the graph says {expected}")
        values[op.outputs[0]] = y.astype(COMPUTE)
    return values[graph.outputs[0]].astype(np.float32)
