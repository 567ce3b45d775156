"""Reads the parts of a TensorFlow Lite flatbuffer that the selfie networks use.

Only the tables and fields those graphs touch are decoded, straight from the flatbuffer with the
runtime's Table accessors (vtable slot 4 + 2 * field id, a union taking two ids), so no generated
schema code or TensorFlow install is needed.
"""

import struct
from dataclasses import dataclass, field

import flatbuffers
import numpy as np

# Builtin operator codes used by the two networks.
ADD = 0
AVERAGE_POOL_2D = 1
CONV_2D = 3
DEPTHWISE_CONV_2D = 4
DEQUANTIZE = 6
LOGISTIC = 14
MUL = 18
RELU = 19
RESIZE_BILINEAR = 23
CUSTOM = 32
MEAN = 40
HARD_SWISH = 117

OPERATOR_NAMES = {
    ADD: "ADD", AVERAGE_POOL_2D: "AVERAGE_POOL_2D", CONV_2D: "CONV_2D",
    DEPTHWISE_CONV_2D: "DEPTHWISE_CONV_2D", DEQUANTIZE: "DEQUANTIZE", LOGISTIC: "LOGISTIC",
    MUL: "MUL", RELU: "RELU", RESIZE_BILINEAR: "RESIZE_BILINEAR", CUSTOM: "CUSTOM", MEAN: "MEAN",
    HARD_SWISH: "HARD_SWISH",
}

TRANSPOSE_CONV_BIAS = "Convolution2DTransposeBias"

_TENSOR_TYPES = {0: np.float32, 1: np.float16, 2: np.int32, 3: np.uint8, 4: np.int64, 9: np.int8}

# Fused activations that may follow an arithmetic or convolution operator.
ACTIVATION_NONE = 0
ACTIVATION_RELU = 1
ACTIVATION_RELU6 = 3


class UnsupportedModel(Exception):
    pass


@dataclass
class Tensor:
    name: str
    shape: tuple
    dtype: type
    data: np.ndarray = None  # constant tensors only, already shaped


@dataclass
class Operator:
    kind: str  # an OPERATOR_NAMES value, or the custom code
    inputs: list
    outputs: list
    options: dict = field(default_factory=dict)


@dataclass
class Graph:
    tensors: list
    operators: list
    inputs: list
    outputs: list


class _Table:
    """A flatbuffer table, read by field id."""

    def __init__(self, buf, pos):
        self._t = flatbuffers.table.Table(buf, pos)

    def _offset(self, field_id):
        return self._t.Offset(4 + 2 * field_id)

    def scalar(self, field_id, flags, default=0):
        o = self._offset(field_id)
        return self._t.Get(flags, o + self._t.Pos) if o else default

    def int32(self, field_id, default=0):
        return self.scalar(field_id, flatbuffers.number_types.Int32Flags, default)

    def uint32(self, field_id, default=0):
        return self.scalar(field_id, flatbuffers.number_types.Uint32Flags, default)

    def int8(self, field_id, default=0):
        return self.scalar(field_id, flatbuffers.number_types.Int8Flags, default)

    def uint8(self, field_id, default=0):
        return self.scalar(field_id, flatbuffers.number_types.Uint8Flags, default)

    def boolean(self, field_id):
        return bool(self.scalar(field_id, flatbuffers.number_types.BoolFlags, False))

    def string(self, field_id):
        o = self._offset(field_id)
        return self._t.String(o + self._t.Pos).decode() if o else ""

    def table(self, field_id):
        o = self._offset(field_id)
        return _Table(self._t.Bytes, self._t.Indirect(o + self._t.Pos)) if o else None

    def tables(self, field_id):
        o = self._offset(field_id)
        if not o:
            return []
        start = self._t.Vector(o)
        return [_Table(self._t.Bytes, self._t.Indirect(start + 4 * i))
                for i in range(self._t.VectorLen(o))]

    def array(self, field_id, dtype):
        o = self._offset(field_id)
        if not o:
            return np.zeros(0, dtype)
        start = self._t.Vector(o)
        count = self._t.VectorLen(o)
        return np.frombuffer(self._t.Bytes, dtype, count, start).copy()


def _options(code, table):
    """Decodes the builtin options of the operators used here."""
    if table is None:
        return {}
    if code == CONV_2D:
        return dict(padding=table.int8(0), stride_w=table.int32(1), stride_h=table.int32(2),
                    activation=table.int8(3), dilation_w=table.int32(4, 1),
                    dilation_h=table.int32(5, 1))
    if code == DEPTHWISE_CONV_2D:
        return dict(padding=table.int8(0), stride_w=table.int32(1), stride_h=table.int32(2),
                    depth_multiplier=table.int32(3), activation=table.int8(4),
                    dilation_w=table.int32(5, 1), dilation_h=table.int32(6, 1))
    if code == AVERAGE_POOL_2D:
        return dict(padding=table.int8(0), stride_w=table.int32(1), stride_h=table.int32(2),
                    filter_w=table.int32(3), filter_h=table.int32(4), activation=table.int8(5))
    if code in (ADD, MUL):
        return dict(activation=table.int8(0))
    if code == MEAN:
        return dict(keep_dims=table.boolean(0))
    if code == RESIZE_BILINEAR:
        return dict(align_corners=table.boolean(2), half_pixel_centers=table.boolean(3))
    return {}


def _transpose_conv_options(raw):
    """The custom operator's options are a plain C struct: padding enum (1 SAME, 2 VALID), then
    the width and height strides, as 32-bit integers."""
    if len(raw) < 12:
        raise UnsupportedModel(f"{TRANSPOSE_CONV_BIAS}: {len(raw)} bytes of options, need 12")
    padding, stride_w, stride_h = struct.unpack_from("<iii", bytes(raw))
    if padding not in (1, 2):
        raise UnsupportedModel(f"{TRANSPOSE_CONV_BIAS}: unknown padding {padding}")
    return dict(padding=0 if padding == 1 else 1, stride_w=stride_w, stride_h=stride_h)


PADDING_SAME = 0
PADDING_VALID = 1


def read(path):
    with open(path, "rb") as f:
        buf = bytearray(f.read())
    if buf[4:8] != b"TFL3":
        raise UnsupportedModel(f"{path}: not a TensorFlow Lite model")
    model = _Table(buf, flatbuffers.encode.Get(flatbuffers.packer.uoffset, buf, 0))

    codes = []
    for oc in model.tables(1):
        # Field 3 is the 32-bit code of newer writers; field 0 the original byte, still filled in
        # for codes below 127.
        code = max(oc.int8(0), oc.int32(3))
        codes.append((code, oc.string(1)))
    buffers = [b.array(0, np.uint8) for b in model.tables(4)]
    subgraphs = model.tables(2)
    if len(subgraphs) != 1:
        raise UnsupportedModel(f"{path}: {len(subgraphs)} subgraphs, expected 1")
    sub = subgraphs[0]

    tensors = []
    for t in sub.tables(0):
        type_id = t.int8(1)
        if type_id not in _TENSOR_TYPES:
            raise UnsupportedModel(f"tensor type {type_id} is not supported")
        if t.table(4) is not None and len(t.table(4).array(2, np.float32)):
            raise UnsupportedModel(f"tensor {t.string(3)} is quantized")
        dtype = _TENSOR_TYPES[type_id]
        shape = tuple(int(d) for d in t.array(0, np.int32))
        raw = buffers[t.uint32(2)] if t.uint32(2) < len(buffers) else np.zeros(0, np.uint8)
        data = np.frombuffer(raw.tobytes(), dtype).reshape(shape) if raw.size else None
        tensors.append(Tensor(t.string(3), shape, dtype, data))

    operators = []
    for op in sub.tables(3):
        code, custom = codes[op.uint32(0)]
        inputs = [int(i) for i in op.array(1, np.int32)]
        outputs = [int(i) for i in op.array(2, np.int32)]
        if code == CUSTOM:
            if custom != TRANSPOSE_CONV_BIAS:
                raise UnsupportedModel(f"custom operator {custom} is not supported")
            operators.append(Operator(custom, inputs, outputs,
                                      _transpose_conv_options(op.array(5, np.uint8))))
            continue
        if code not in OPERATOR_NAMES:
            raise UnsupportedModel(f"operator {code} is not supported")
        options = _options(code, op.table(4))
        if options.get("activation", ACTIVATION_NONE) not in (
                ACTIVATION_NONE, ACTIVATION_RELU, ACTIVATION_RELU6):
            raise UnsupportedModel(f"fused activation {options['activation']} is not supported")
        operators.append(Operator(OPERATOR_NAMES[code], inputs, outputs, options))

    return Graph(tensors, operators, [int(i) for i in sub.array(1, np.int32)],
                 [int(i) for i in sub.array(2, np.int32)])
