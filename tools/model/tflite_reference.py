#!/usr/bin/python3
"""Evaluates the selfie-segmentation TFLite graph with numpy, in the TFLite
layout (NHWC) and with TFLite's operator rules, in double precision. It is the
reference the converted ONNX model is checked against.

Usage: tflite_reference.py MODEL.tflite IMAGE.raw OUT.raw
IMAGE.raw holds H x W x 3 bytes in B, G, R order at the model's input size;
OUT.raw receives the person probability as H x W little-endian float32.
"""

import sys

import numpy as np

import tflite_reader


def same_pad(size, k, s):
    out = -(-size // s)
    total = max((out - 1) * s + k - size, 0)
    return total // 2, total - total // 2


def pad_input(x, kh, kw, opt):
    if opt["padding"] == 1:
        return x
    t, b = same_pad(x.shape[1], kh, opt["stride_h"])
    l, r = same_pad(x.shape[2], kw, opt["stride_w"])
    return np.pad(x, ((0, 0), (t, b), (l, r), (0, 0)))


def windows(x, kh, kw, sh, sw):
    """All kh x kw windows with stride: N, OH, OW, kh, kw, C."""
    n, h, w, c = x.shape
    oh, ow = (h - kh) // sh + 1, (w - kw) // sw + 1
    st = x.strides
    return np.lib.stride_tricks.as_strided(
        x, (n, oh, ow, kh, kw, c), (st[0], st[1] * sh, st[2] * sw, st[1], st[2], st[3]), writeable=False)


def act(x, a):
    if a == "RELU":
        return np.maximum(x, 0)
    if a == "RELU6":
        return np.clip(x, 0, 6)
    return x


def resize_half_pixel(x, oh, ow):
    """TFLite RESIZE_BILINEAR with half_pixel_centers, align_corners false."""
    n, h, w, c = x.shape

    def axis(out, inp):
        src = (np.arange(out) + 0.5) * (inp / out) - 0.5
        lo = np.floor(src)
        frac = src - lo
        lo_i = np.clip(lo, 0, inp - 1).astype(int)
        hi_i = np.clip(lo + 1, 0, inp - 1).astype(int)
        return lo_i, hi_i, frac

    y0, y1, fy = axis(oh, h)
    x0, x1, fx = axis(ow, w)
    fy = fy[None, :, None, None]
    fx = fx[None, None, :, None]
    top = x[:, y0][:, :, x0] * (1 - fx) + x[:, y0][:, :, x1] * fx
    bot = x[:, y1][:, :, x0] * (1 - fx) + x[:, y1][:, :, x1] * fx
    return top * (1 - fy) + bot * fy


def evaluate(path, rgb01):
    tensors, ops, inputs, outputs = tflite_reader.read(path)
    val = {t.index: t.data.astype(np.float64) for t in tensors if t.data is not None}
    val[inputs[0]] = rgb01[None].astype(np.float64)
    for op in ops:
        k, o, i = op.kind, op.options, op.inputs
        if k == "DEQUANTIZE":
            y = val[i[0]]
        elif k == "CONV_2D":
            w, b = val[i[1]], val[i[2]]
            xp = pad_input(val[i[0]], w.shape[1], w.shape[2], o)
            win = windows(xp, w.shape[1], w.shape[2], o["stride_h"], o["stride_w"])
            y = act(np.einsum("nhwijc,oijc->nhwo", win, w) + b, o["act"])
        elif k == "DEPTHWISE_CONV_2D":
            w, b = val[i[1]], val[i[2]]
            xp = pad_input(val[i[0]], w.shape[1], w.shape[2], o)
            win = windows(xp, w.shape[1], w.shape[2], o["stride_h"], o["stride_w"])
            y = act(np.einsum("nhwijc,ijc->nhwc", win, w[0]) + b, o["act"])
        elif k == "AVERAGE_POOL_2D":
            xp = pad_input(val[i[0]], o["filter_h"], o["filter_w"], o)
            y = act(windows(xp, o["filter_h"], o["filter_w"], o["stride_h"], o["stride_w"]).mean(axis=(3, 4)),
                    o["act"])
        elif k == "MEAN":
            axes = tuple(int(a) for a in val[i[1]].ravel())
            y = val[i[0]].mean(axis=axes, keepdims=o["keep_dims"])
        elif k == "ADD":
            y = act(val[i[0]] + val[i[1]], o["act"])
        elif k == "MUL":
            y = act(val[i[0]] * val[i[1]], o["act"])
        elif k == "RELU":
            y = np.maximum(val[i[0]], 0)
        elif k == "LOGISTIC":
            y = np.exp(-np.logaddexp(0.0, -val[i[0]]))
        elif k == "HARD_SWISH":
            x = val[i[0]]
            y = x * np.clip(x + 3, 0, 6) / 6
        elif k == "RESIZE_BILINEAR":
            oh, ow = (int(v) for v in val[i[1]].ravel())
            y = resize_half_pixel(val[i[0]], oh, ow)
        elif k == "CUSTOM:Convolution2DTransposeBias":
            x, w, b = val[i[0]], val[i[1]], val[i[2]]  # w: O, kh, kw, I
            _, stride_w, stride_h = np.frombuffer(op.custom[:12], dtype="<i4")
            n, h, wd, _ = x.shape
            kh, kw = w.shape[1], w.shape[2]
            y = np.zeros((n, (h - 1) * stride_h + kh, (wd - 1) * stride_w + kw, w.shape[0]))
            for a in range(kh):
                for c in range(kw):
                    y[:, a::stride_h, c::stride_w, :][:, :h, :wd] += np.einsum("nhwi,oi->nhwo", x, w[:, a, c, :])
            # SAME output size is input x stride; crop any overhang.
            y = y[:, :h * stride_h, :wd * stride_w] + b
        else:
            raise ValueError("no reference for " + k)
        val[op.outputs[0]] = y
    return val[outputs[0]][0, :, :, 0]


def main(argv):
    if len(argv) != 4:
        sys.stderr.write(__doc__)
        return 2
    tensors, _, inputs, _ = tflite_reader.read(argv[1])
    _, h, w, _ = tensors[inputs[0]].shape
    bgr = np.fromfile(argv[2], dtype=np.uint8).reshape(h, w, 3)
    rgb01 = bgr[:, :, ::-1].astype(np.float64) / 255.0
    evaluate(argv[1], rgb01).astype("<f4").tofile(argv[3])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
