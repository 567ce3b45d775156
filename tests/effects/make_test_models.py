"""Writes the tiny models the segmentation tests run: they echo one colour channel of their input
as the mask, so a test can see what the engine fed the network and which output it read."""
import sys
from pathlib import Path

import numpy as np
from onnx import TensorProto, helper, numpy_helper, save


def channel_model(path, input_shape, output_shape, nodes, initializers):
    graph = helper.make_graph(
        nodes, path.stem,
        [helper.make_tensor_value_info("image", TensorProto.FLOAT, input_shape)],
        [helper.make_tensor_value_info("mask", TensorProto.FLOAT, output_shape)],
        initializers)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)])
    model.ir_version = 8
    save(model, str(path))


def const(name, values):
    return numpy_helper.from_array(np.array(values, dtype=np.int64), name)


def main(out_dir):
    out = Path(out_dir)
    out.mkdir(parents=True, exist_ok=True)
    # NHWC 8x16: the mask is the red channel.
    channel_model(out / "nhwc_red.onnx", [1, 8, 16, 3], [1, 8, 16, 1],
                  [helper.make_node("Slice", ["image", "s", "e", "a"], ["mask"])],
                  [const("s", [0]), const("e", [1]), const("a", [3])])
    # NCHW 8x16 with a two-plane output (background, person): the person plane is the green one.
    channel_model(out / "nchw_green.onnx", [1, 3, 8, 16], [1, 2, 8, 16],
                  [helper.make_node("Slice", ["image", "s", "e", "a"], ["mask"])],
                  [const("s", [0]), const("e", [2]), const("a", [1])])


if __name__ == "__main__":
    main(sys.argv[1])
