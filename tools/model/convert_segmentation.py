#!/usr/bin/python3
"""Converts MediaPipe's selfie-segmentation TFLite model into the ONNX model the
segmentation stage runs with ONNX Runtime.

The ONNX graph is channel-planar (NCHW) and takes the blob the stage builds from
a camera frame: B, G, R planes normalised per channel and scaled by 1/255. The
network was trained on RGB in [0, 1]: the first convolution takes the planes in
blob order with its weights divided by the per-channel scale, after a
per-channel shift that puts the blob's zero where the picture's black is (so
the convolution's zero padding stays black). The output has two planes,
background and person probability: the network's single logit z becomes
sigmoid(-z) and 1 - sigmoid(-z).

ONNX Runtime runs the graph. It computes the same function as the TFLite graph,
with one rewrite that saves time: a bilinear resize followed by a 1x1
convolution without activation becomes the convolution followed by the resize.
Both are linear and the resize's weights sum to one, so the order does not
change the result, and the convolution then runs on the smaller map and the
resize on fewer channels. The output's sigmoid runs on one plane; the other is
1 minus it. HARD_SWISH is written as HardSigmoid times its input, which every
ONNX engine runs at opset 11.

Usage: convert_segmentation.py MODEL.tflite OUT.onnx [SHA256]
The output bytes depend only on the input model, so the build is reproducible.
"""

import hashlib
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

import tflite_reader

# The stage's input normalisation per channel (B, G, R): (x - mean) * scale / 255.
MEAN_BGR = np.array([102.890434, 111.25247, 126.91212], dtype=np.float64)
SCALE_BGR = np.array([0.01588993487033495, 0.015918147611529706, 0.015070294257291065], dtype=np.float64)
OPSET = 11


class Converter:
    def __init__(self, tensors, ops, inputs, outputs):
        self.tensors, self.ops = tensors, ops
        self.inputs, self.outputs = inputs, outputs
        self.nodes, self.inits = [], []
        self.const = {}   # tensor index -> float32 numpy array (weights)
        self.names = {}   # tensor index -> ONNX value name
        self.counter = 0
        for t in tensors:
            if t.data is not None:
                self.const[t.index] = t.data.astype(np.float32)

    def fresh(self, base):
        self.counter += 1
        return "%s_%d" % (base, self.counter)

    def init(self, base, array):
        name = self.fresh(base)
        self.inits.append(numpy_helper.from_array(np.ascontiguousarray(array), name))
        return name

    def node(self, op, inputs, base, **attrs):
        out = self.fresh(base)
        self.nodes.append(helper.make_node(op, inputs, [out], name=out + "_node", **attrs))
        return out

    def shape(self, idx):
        return self.tensors[idx].shape

    @staticmethod
    def same_pads(size, kernel, stride, dilation=1):
        """TFLite SAME padding as (before, after); the extra pixel goes after."""
        eff = (kernel - 1) * dilation + 1
        out = (size + stride - 1) // stride
        total = max((out - 1) * stride + eff - size, 0)
        return total // 2, total - total // 2

    def pads(self, opt, in_shape, kh, kw):
        if opt["padding"] == 1:  # VALID
            return [0, 0, 0, 0]
        t, b = self.same_pads(in_shape[1], kh, opt["stride_h"], opt["dil_h"])
        l, r = self.same_pads(in_shape[2], kw, opt["stride_w"], opt["dil_w"])
        return [t, l, b, r]

    def activation(self, name, act):
        if act == "RELU":
            return self.node("Relu", [name], "relu")
        if act == "RELU6":
            return self.node("Clip", [name], "relu6", min=0.0, max=6.0)
        return name

    def resize(self, x, scales):
        roi = self.init("roi", np.zeros(0, dtype=np.float32))
        return self.node("Resize", [x, roi, self.init("scales", scales)], "resize",
                         mode="linear", coordinate_transformation_mode="half_pixel")

    def pointwise_linear(self, op):
        """A 1x1, stride-1 convolution without activation."""
        if op.kind != "CONV_2D" or op.options["act"] is not None:
            return False
        o = op.options
        return list(self.shape(op.inputs[1])[1:3]) == [1, 1] and (o["stride_h"], o["stride_w"]) == (1, 1)

    @staticmethod
    def take_blob(w):
        """Weights (OIHW, I in R, G, B order) of a convolution on the picture,
        for the shifted blob instead: plane c' = 2 - c holds colour c times
        scale[c'] (the 1/255 included), so input c' gets the weights of colour
        2 - c' divided by scale[c']."""
        return (w[:, ::-1].astype(np.float64) / SCALE_BGR[None, :, None, None]).astype(np.float32)

    def convert_op(self, op):
        k, o, ins = op.kind, op.options, op.inputs
        x = lambda i=0: self.names[ins[i]]  # noqa: E731
        if k == "DEQUANTIZE":
            src = ins[0]
            if src not in self.const:
                raise ValueError("DEQUANTIZE of a non-constant tensor")
            self.const[op.outputs[0]] = self.const[src].astype(np.float32)
            return None
        if k in ("CONV_2D", "DEPTHWISE_CONV_2D"):
            w = self.const[ins[1]]  # OHWI, depthwise: 1HW(C*m)
            b = self.const[ins[2]] if len(ins) > 2 and ins[2] >= 0 else None
            kh, kw = w.shape[1], w.shape[2]
            if k == "CONV_2D":
                wo = w.transpose(0, 3, 1, 2)  # OIHW
                group = 1
            else:
                cin = self.shape(ins[0])[3]
                wo = w.transpose(3, 0, 1, 2)  # (C*m)1HW
                group = cin
            if ins[0] == self.inputs[0]:
                wo = self.take_blob(wo)
            resize = self.deferred_resize.pop(ins[0], None)
            src = x() if resize is None else resize[0]
            pads = self.pads(o, self.shape(ins[0]), kh, kw)
            args = [src, self.init("w", wo)] + ([self.init("b", b)] if b is not None else [])
            y = self.node("Conv", args, "conv", kernel_shape=[kh, kw], strides=[o["stride_h"], o["stride_w"]],
                          dilations=[o["dil_h"], o["dil_w"]], group=group, pads=pads)
            if resize is not None:
                return self.resize(y, resize[1])
            return self.activation(y, o["act"])
        if k in ("AVERAGE_POOL_2D", "MEAN"):
            s_in, s_out = self.shape(ins[0]), self.shape(op.outputs[0])
            if s_out[1] != 1 or s_out[2] != 1:
                raise ValueError("only whole-map averages are supported")
            if k == "MEAN":
                axes = sorted(int(a) for a in self.const[ins[1]].astype(np.int64).ravel()) \
                    if ins[1] in self.const else sorted(int(a) for a in self.tensors[ins[1]].data.ravel())
                if axes != [1, 2] or not o["keep_dims"]:
                    raise ValueError("MEAN over %s not supported" % axes)
            elif (o["filter_h"], o["filter_w"]) != (s_in[1], s_in[2]):
                raise ValueError("average pool smaller than the map")
            y = self.node("GlobalAveragePool", [x()], "gap")
            return self.activation(y, o.get("act"))
        if k in ("ADD", "MUL", "SUB"):
            onnx_op = {"ADD": "Add", "MUL": "Mul", "SUB": "Sub"}[k]
            y = self.node(onnx_op, [x(0), x(1)], k.lower())
            return self.activation(y, o["act"])
        if k == "RELU":
            return self.node("Relu", [x()], "relu")
        if k == "LOGISTIC":
            y = self.node("Sigmoid", [x()], "sigmoid")
            if op.outputs[0] != self.outputs[0]:
                return y
            # y is the background plane; the person plane is 1 - y (a batch
            # normalisation with scale -1 and offset 1), next to it.
            one = lambda v: self.init("bn", np.array([v], dtype=np.float32))  # noqa: E731
            person = self.node("BatchNormalization", [y, one(-1.0), one(1.0), one(0.0), one(1.0)], "person",
                               epsilon=0.0)
            return self.node("Concat", [y, person], "planes", axis=1)
        if k == "HARD_SWISH":
            # x * relu6(x + 3) / 6.
            hs = self.node("HardSigmoid", [x()], "hsig", alpha=1.0 / 6.0, beta=0.5)
            return self.node("Mul", [x(), hs], "hswish")
        if k == "RESIZE_BILINEAR":
            if o["align_corners"] or not o["half_pixel"]:
                raise ValueError("only half-pixel bilinear resizing is supported")
            s_in, s_out = self.shape(ins[0]), self.shape(op.outputs[0])
            scales = np.array([1, 1, s_out[1] / s_in[1], s_out[2] / s_in[2]], dtype=np.float32)
            users = self.consumers.get(op.outputs[0], [])
            if len(users) == 1 and op.outputs[0] not in self.outputs and self.pointwise_linear(users[0]):
                self.deferred_resize[op.outputs[0]] = (x(), scales)
                return None
            return self.resize(x(), scales)
        if k == "CUSTOM:Convolution2DTransposeBias":
            opts = np.frombuffer(op.custom[:12], dtype="<i4")
            padding, stride_w, stride_h = int(opts[0]), int(opts[1]), int(opts[2])
            w, b = self.const[ins[1]], self.const[ins[2]]  # OHWI, O
            kh, kw = w.shape[1], w.shape[2]
            if padding != 1 or (kh, kw) != (stride_h, stride_w):
                raise ValueError("transpose convolution: only SAME with kernel = stride")
            wt = w.transpose(3, 0, 1, 2)  # I O H W
            if op.outputs[0] in self.final_logit:
                # The background plane's logit: -z.
                wt, b = -wt, -b
            return self.node("ConvTranspose", [x(), self.init("w", wt), self.init("b", b)], "deconv",
                             kernel_shape=[kh, kw], strides=[stride_h, stride_w])
        raise ValueError("unsupported operator " + k)

    def convert(self):
        if len(self.inputs) != 1 or len(self.outputs) != 1:
            raise ValueError("expected one input and one output")
        in_shape = self.shape(self.inputs[0])
        n, h, w, c = in_shape
        if n != 1 or c != 3:
            raise ValueError("expected a 1xHxWx3 input")
        # The output must be sigmoid(transpose convolution): find that logit.
        last = [op for op in self.ops if self.outputs[0] in op.outputs][0]
        if last.kind != "LOGISTIC":
            raise ValueError("expected a sigmoid output")
        producer = [op for op in self.ops if last.inputs[0] in op.outputs][0]
        if producer.kind != "CUSTOM:Convolution2DTransposeBias" or self.shape(producer.outputs[0])[3] != 1:
            raise ValueError("expected a one-channel transpose convolution before the sigmoid")
        self.final_logit = {producer.outputs[0]}
        self.consumers, self.deferred_resize = {}, {}
        for op in self.ops:
            for i in op.inputs:
                self.consumers.setdefault(i, []).append(op)

        # Blob plane c' (B, G, R) is (255 * rgb[2 - c'] - mean[c']) * scale[c'] / 255;
        # shifted by mean[c'] * scale[c'] / 255 it is rgb[2 - c'] * scale[c'],
        # zero where the picture is black. The convolutions that read the
        # picture take that scale and order in their weights (take_blob).
        users = self.consumers.get(self.inputs[0], [])
        if not users or any(u.kind != "CONV_2D" or u.inputs[0] != self.inputs[0] for u in users):
            raise ValueError("expected the input to feed convolutions only")
        shift = (MEAN_BGR * SCALE_BGR / 255.0).astype(np.float32).reshape(1, 3, 1, 1)
        self.names[self.inputs[0]] = self.node("Add", ["input", self.init("shift", shift)], "shift")

        for op in self.ops:
            y = self.convert_op(op)
            if y is not None:
                self.names[op.outputs[0]] = y
        # Rename the final value to "output".
        final = self.names[self.outputs[0]]
        for nd in self.nodes:
            nd.output[:] = ["output" if v == final else v for v in nd.output]
        graph = helper.make_graph(
            self.nodes, "selfie_segmentation",
            [helper.make_tensor_value_info("input", TensorProto.FLOAT, [1, 3, h, w])],
            [helper.make_tensor_value_info("output", TensorProto.FLOAT, [1, 2, h, w])],
            initializer=self.inits)
        model = helper.make_model(graph, producer_name="vantor-convert-segmentation", producer_version="1",
                                  opset_imports=[helper.make_opsetid("", OPSET)])
        model.ir_version = 6
        model.doc_string = ("MediaPipe selfie segmentation (Apache-2.0), weights converted from TFLite to ONNX; "
                            "input: BGR blob normalised per channel and scaled by 1/255; "
                            "output plane 0: background probability, plane 1: person probability")
        onnx.checker.check_model(model)
        return model


def main(argv):
    if len(argv) not in (3, 4):
        sys.stderr.write(__doc__)
        return 2
    src, dst = argv[1], argv[2]
    with open(src, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    if len(argv) == 4 and digest != argv[3].lower():
        sys.stderr.write("%s: sha256 %s, expected %s\n" % (src, digest, argv[3]))
        return 1
    model = Converter(*tflite_reader.read(src)).convert()
    data = model.SerializeToString(deterministic=True)
    with open(dst, "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
