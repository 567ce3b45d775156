#!/usr/bin/python3
"""Converts a selfie-segmentation TensorFlow Lite graph to ONNX: convert.py IN.tflite OUT.onnx

The ONNX model keeps the TensorFlow Lite boundary, one NHWC float input named "input" and one
NHWC output named "output", and works in NCHW inside, where ONNX's convolutions are defined.
float16 weights are folded to float32 initializers. Each TensorFlow Lite operator maps to one
ONNX operator (plus a fused activation), with SAME padding written out as explicit, possibly
asymmetric, pads.
"""

import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

import tflite_reader as tfl
from reference import same_padding

OPSET = 14
NHWC_TO_NCHW = [0, 3, 1, 2]
NCHW_TO_NHWC = [0, 2, 3, 1]
# Where an NHWC axis lives once the tensor is NCHW.
NCHW_AXIS = {0: 0, 1: 2, 2: 3, 3: 1}


class Converter:
    def __init__(self, graph):
        self.graph = graph
        self.nodes = []
        self.initializers = []
        self.constants = {i: t.data for i, t in enumerate(graph.tensors) if t.data is not None}

    def name(self, index):
        return f"t{index}"

    def constant(self, name, array):
        self.initializers.append(numpy_helper.from_array(np.ascontiguousarray(array), name))
        return name

    def node(self, op_type, inputs, outputs, **attributes):
        self.nodes.append(helper.make_node(op_type, inputs, outputs, **attributes))

    def operand(self, index):
        """An input of an element-wise operator: activations are NCHW already; a constant is
        stored in NCHW, or as [C, 1, 1] when it broadcasts along the channels."""
        if index not in self.constants:
            return self.name(index)
        value = self.constants[index].astype(np.float32)
        if value.ndim == 4:
            value = value.transpose(NHWC_TO_NCHW)
        elif value.ndim == 1:
            value = value.reshape(-1, 1, 1)
        return self.constant(f"{self.name(index)}_nchw", value)

    def activated(self, op, output):
        """The name the operator itself writes to, with its fused activation appended."""
        activation = op.options.get("activation", tfl.ACTIVATION_NONE)
        if activation == tfl.ACTIVATION_NONE:
            return output
        raw = output + "_linear"
        if activation == tfl.ACTIVATION_RELU:
            self.node("Relu", [raw], [output])
        else:
            low = self.constant(output + "_min", np.array(0, np.float32))
            high = self.constant(output + "_max", np.array(6, np.float32))
            self.node("Clip", [raw, low, high], [output])
        return raw

    def conv_pads(self, op, x_shape, kernel_hw):
        if op.options["padding"] == tfl.PADDING_VALID:
            return [0, 0, 0, 0]
        top, bottom = same_padding(x_shape[1], op.options["stride_h"], kernel_hw[0])
        left, right = same_padding(x_shape[2], op.options["stride_w"], kernel_hw[1])
        return [top, left, bottom, right]

    def convolution(self, op, depthwise):
        x_shape = self.graph.tensors[op.inputs[0]].shape
        weights = self.constants[op.inputs[1]].astype(np.float32)
        bias = self.constants[op.inputs[2]].astype(np.float32)
        if op.options.get("dilation_h", 1) != 1 or op.options.get("dilation_w", 1) != 1:
            raise tfl.UnsupportedModel("dilated convolutions are not supported")
        kernel_hw = weights.shape[1:3]
        if depthwise:
            if weights.shape[3] != x_shape[3]:
                raise tfl.UnsupportedModel("depthwise convolution with a depth multiplier")
            onnx_weights = weights.transpose(3, 0, 1, 2)  # [1, KH, KW, C] -> [C, 1, KH, KW]
            group = x_shape[3]
        else:
            onnx_weights = weights.transpose(0, 3, 1, 2)  # OHWI -> OIHW
            group = 1
        out = self.name(op.outputs[0])
        w = self.constant(out + "_w", onnx_weights)
        b = self.constant(out + "_b", bias)
        self.node("Conv", [self.name(op.inputs[0]), w, b], [self.activated(op, out)],
                  kernel_shape=list(kernel_hw), strides=[op.options["stride_h"],
                                                          op.options["stride_w"]],
                  pads=self.conv_pads(op, x_shape, kernel_hw), group=group)

    def transpose_convolution(self, op):
        _, h, w, _ = self.graph.tensors[op.inputs[0]].shape
        _, out_h, out_w, _ = self.graph.tensors[op.outputs[0]].shape
        weights = self.constants[op.inputs[1]].astype(np.float32)
        bias = self.constants[op.inputs[2]].astype(np.float32)
        _, kh, kw, _ = weights.shape
        sh, sw = op.options["stride_h"], op.options["stride_w"]
        # The full scatter is (in - 1) * stride + kernel long; SAME trims the excess from both
        # ends, the smaller half first, VALID from the end only.
        excess_h = (h - 1) * sh + kh - out_h
        excess_w = (w - 1) * sw + kw - out_w
        if excess_h < 0 or excess_w < 0:
            raise tfl.UnsupportedModel("transposed convolution output larger than its scatter")
        same = op.options["padding"] == tfl.PADDING_SAME
        top = excess_h // 2 if same else 0
        left = excess_w // 2 if same else 0
        out = self.name(op.outputs[0])
        wt = self.constant(out + "_w", weights.transpose(3, 0, 1, 2))  # OHWI -> IOHW
        b = self.constant(out + "_b", bias)
        self.node("ConvTranspose", [self.name(op.inputs[0]), wt, b], [out],
                  kernel_shape=[kh, kw], strides=[sh, sw],
                  pads=[top, left, excess_h - top, excess_w - left])

    def resize(self, op):
        size = [int(v) for v in self.constants[op.inputs[1]]]
        channels = self.graph.tensors[op.inputs[0]].shape[3]
        if op.options["align_corners"]:
            mode = "align_corners"
        elif op.options["half_pixel_centers"]:
            mode = "half_pixel"
        else:
            mode = "asymmetric"
        out = self.name(op.outputs[0])
        sizes = self.constant(out + "_sizes", np.array([1, channels] + size, np.int64))
        self.node("Resize", [self.name(op.inputs[0]), "", "", sizes], [out], mode="linear",
                  coordinate_transformation_mode=mode)

    def operator(self, op):
        k = op.kind
        x = self.name(op.inputs[0])
        out = self.name(op.outputs[0])
        if k == "DEQUANTIZE":
            if op.inputs[0] not in self.constants:
                raise tfl.UnsupportedModel("DEQUANTIZE of a computed tensor")
            self.constants[op.outputs[0]] = self.constants[op.inputs[0]].astype(np.float32)
        elif k in ("CONV_2D", "DEPTHWISE_CONV_2D"):
            self.convolution(op, depthwise=k == "DEPTHWISE_CONV_2D")
        elif k == tfl.TRANSPOSE_CONV_BIAS:
            self.transpose_convolution(op)
        elif k in ("RELU", "HARD_SWISH", "LOGISTIC"):
            self.node({"RELU": "Relu", "HARD_SWISH": "HardSwish", "LOGISTIC": "Sigmoid"}[k],
                      [x], [out])
        elif k in ("ADD", "MUL"):
            self.node("Add" if k == "ADD" else "Mul",
                      [self.operand(op.inputs[0]), self.operand(op.inputs[1])],
                      [self.activated(op, out)])
        elif k == "MEAN":
            axes = sorted(NCHW_AXIS[int(a) % 4] for a in self.constants[op.inputs[1]])
            if not op.options["keep_dims"]:
                raise tfl.UnsupportedModel("MEAN without keep_dims")
            self.node("ReduceMean", [x], [out], axes=axes, keepdims=1)
        elif k == "AVERAGE_POOL_2D":
            if op.options["padding"] != tfl.PADDING_VALID:
                raise tfl.UnsupportedModel("SAME-padded average pooling is not supported")
            self.node("AveragePool", [x], [self.activated(op, out)],
                      kernel_shape=[op.options["filter_h"], op.options["filter_w"]],
                      strides=[op.options["stride_h"], op.options["stride_w"]])
        elif k == "RESIZE_BILINEAR":
            self.resize(op)
        else:
            raise tfl.UnsupportedModel(f"operator {k} is not supported")

    def model(self):
        g = self.graph
        if len(g.inputs) != 1 or len(g.outputs) != 1:
            raise tfl.UnsupportedModel("expected one input and one output")
        in_shape = list(g.tensors[g.inputs[0]].shape)
        out_shape = list(g.tensors[g.outputs[0]].shape)
        if len(in_shape) != 4 or len(out_shape) != 4:
            raise tfl.UnsupportedModel("expected 4-D NHWC input and output")
        self.node("Transpose", ["input"], [self.name(g.inputs[0])], perm=NHWC_TO_NCHW)
        for op in g.operators:
            self.operator(op)
        self.node("Transpose", [self.name(g.outputs[0])], ["output"], perm=NCHW_TO_NHWC)
        graph = helper.make_graph(
            self.nodes, "selfie_segmentation",
            [helper.make_tensor_value_info("input", TensorProto.FLOAT, in_shape)],
            [helper.make_tensor_value_info("output", TensorProto.FLOAT, out_shape)],
            self.initializers)
        model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)],
                                  producer_name="tamro selfie_model")
        onnx.checker.check_model(model)
        return model


def convert(tflite_path, onnx_path):
    model = Converter(tfl.read(tflite_path)).model()
    onnx.save(model, onnx_path)
    return model


def main(argv):
    if len(argv) != 3:
        print("usage: convert.py IN.tflite OUT.onnx", file=sys.stderr)
        return 2
    try:
        convert(argv[1], argv[2])
    except (OSError, tfl.UnsupportedModel) as e:
        print(f"convert.py: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
