"""Reads a TensorFlow Lite model (a FlatBuffer) into plain Python objects.

No schema compiler output is used: tables are read by vtable slot, in the field
order of the public TFLite schema. Only what the segmentation models need is
read; float16 and float32 buffers become numpy arrays.
"""

import flatbuffers
import numpy as np
from flatbuffers import number_types as N
from flatbuffers.table import Table

# Builtin operator codes used by the models (schema enum BuiltinOperator).
OPS = {
    0: "ADD", 1: "AVERAGE_POOL_2D", 2: "CONCATENATION", 3: "CONV_2D",
    4: "DEPTHWISE_CONV_2D", 6: "DEQUANTIZE", 14: "LOGISTIC", 17: "MAX_POOL_2D",
    18: "MUL", 19: "RELU", 21: "RELU6", 22: "RESHAPE", 23: "RESIZE_BILINEAR",
    25: "SOFTMAX", 32: "CUSTOM", 34: "PAD", 40: "MEAN", 41: "SUB", 117: "HARD_SWISH",
}
# Schema enum TensorType.
TYPES = {0: np.float32, 1: np.float16, 2: np.int32, 3: np.uint8, 4: np.int64}
ACTIVATIONS = {0: None, 1: "RELU", 3: "RELU6"}


class _T:
    """A table with typed accessors by field index (slot)."""

    def __init__(self, buf, pos):
        self.t = Table(buf, pos)

    def _off(self, field):
        return self.t.Offset(4 + 2 * field)

    def scalar(self, field, kind, default=0):
        o = self._off(field)
        return self.t.Get(kind, o + self.t.Pos) if o else default

    def string(self, field):
        o = self._off(field)
        return self.t.String(o + self.t.Pos).decode() if o else None

    def vector(self, field, kind):
        o = self._off(field)
        if not o:
            return []
        n = self.t.VectorLen(o)
        start = self.t.Vector(o)
        size = kind.bytewidth
        return [self.t.Get(kind, start + i * size) for i in range(n)]

    def bytes(self, field):
        o = self._off(field)
        if not o:
            return b""
        n = self.t.VectorLen(o)
        start = self.t.Vector(o)
        return bytes(self.t.Bytes[start:start + n])

    def table(self, field):
        o = self._off(field)
        return _T(self.t.Bytes, self.t.Indirect(o + self.t.Pos)) if o else None

    def tables(self, field):
        o = self._off(field)
        if not o:
            return []
        n = self.t.VectorLen(o)
        start = self.t.Vector(o)
        return [_T(self.t.Bytes, self.t.Indirect(start + 4 * i)) for i in range(n)]


class Tensor:
    def __init__(self, index, name, shape, dtype, data):
        self.index, self.name, self.shape, self.dtype, self.data = index, name, shape, dtype, data


class Op:
    def __init__(self, kind, inputs, outputs, options, custom):
        self.kind, self.inputs, self.outputs, self.options, self.custom = kind, inputs, outputs, options, custom


def _options(kind, t):
    """Builtin options table of `kind` as a dict (schema field order, defaults)."""
    if t is None:
        t_get = lambda f, k=N.Int8Flags, d=0: d  # noqa: E731
    else:
        t_get = lambda f, k=N.Int8Flags, d=0: t.scalar(f, k, d)  # noqa: E731
    I32 = N.Int32Flags
    if kind == "CONV_2D":
        return dict(padding=t_get(0), stride_w=t_get(1, I32), stride_h=t_get(2, I32),
                    act=ACTIVATIONS[t_get(3)], dil_w=t_get(4, I32, 1), dil_h=t_get(5, I32, 1))
    if kind == "DEPTHWISE_CONV_2D":
        return dict(padding=t_get(0), stride_w=t_get(1, I32), stride_h=t_get(2, I32),
                    multiplier=t_get(3, I32), act=ACTIVATIONS[t_get(4)],
                    dil_w=t_get(5, I32, 1), dil_h=t_get(6, I32, 1))
    if kind in ("AVERAGE_POOL_2D", "MAX_POOL_2D"):
        return dict(padding=t_get(0), stride_w=t_get(1, I32), stride_h=t_get(2, I32),
                    filter_w=t_get(3, I32), filter_h=t_get(4, I32), act=ACTIVATIONS[t_get(5)])
    if kind in ("ADD", "MUL", "SUB"):
        return dict(act=ACTIVATIONS[t_get(0)])
    if kind == "RESIZE_BILINEAR":
        return dict(align_corners=bool(t_get(2, N.BoolFlags)), half_pixel=bool(t_get(3, N.BoolFlags)))
    if kind == "MEAN":
        return dict(keep_dims=bool(t_get(0, N.BoolFlags)))
    if kind == "CONCATENATION":
        return dict(axis=t_get(0, I32), act=ACTIVATIONS[t_get(1)])
    return {}


def read(path):
    """Returns (tensors, ops, inputs, outputs) of the model's first subgraph."""
    with open(path, "rb") as f:
        buf = bytearray(f.read())
    model = _T(buf, flatbuffers.encode.Get(N.UOffsetTFlags.packer_type, buf, 0))
    codes = []
    for oc in model.tables(1):
        code = max(oc.scalar(0, N.Int8Flags), oc.scalar(3, N.Int32Flags))
        codes.append(("CUSTOM:" + oc.string(1)) if code == 32 else OPS.get(code, "UNKNOWN_%d" % code))
    buffers = [b.bytes(0) for b in model.tables(4)]
    sub = model.tables(2)[0]
    tensors = []
    for i, t in enumerate(sub.tables(0)):
        shape = t.vector(0, N.Int32Flags)
        dtype = TYPES[t.scalar(1, N.Int8Flags)]
        raw = buffers[t.scalar(2, N.Uint32Flags)]
        data = np.frombuffer(raw, dtype=dtype).reshape(shape).copy() if raw else None
        tensors.append(Tensor(i, t.string(3), shape, dtype, data))
    ops = []
    for o in sub.tables(3):
        kind = codes[o.scalar(0, N.Uint32Flags)]
        opt = o.table(4)
        custom = o.bytes(5)
        ops.append(Op(kind, o.vector(1, N.Int32Flags), o.vector(2, N.Int32Flags),
                      _options(kind, opt), custom))
    return tensors, ops, sub.vector(1, N.Int32Flags), sub.vector(2, N.Int32Flags)
