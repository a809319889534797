#!/usr/bin/python3
"""Writes a recognition decoder and joint network of the real sizes with
random weights, for the decoding benchmark: tools/bench/asr_models.py OUTDIR.

Decoder: token embedding (8193 x 640) and a two-layer LSTM of width 640 over
the state [2, 1, 640]. Joint: encoder (1024) and decoder (640) projections to
640, ReLU, then 8193 token logits and 5 duration logits; the blank's bias is
set so that about three frames in four are blank, roughly like speech.
Nothing here is committed; the benchmark regenerates it when missing.
"""
import pathlib
import sys

import numpy as np
from onnx import TensorProto, helper, numpy_helper
import onnx

VOCAB = 8193
BLANK = 8192
DURATIONS = 5
HIDDEN = 640
ENC = 1024


def save(graph, folder, name):
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)], producer_name="asr-bench")
    model.ir_version = 8
    target = folder / f"{name}.mlmodelc"
    target.mkdir(parents=True, exist_ok=True)
    onnx.save(model, str(target / "model.onnx"))


def c(name, array):
    return numpy_helper.from_array(np.asarray(array), name=name)


def decoder(folder, rng):
    scale = 1.0 / np.sqrt(HIDDEN)
    init = [c("embedding", (rng.standard_normal((VOCAB, HIDDEN)) * 0.5).astype(np.float32)),
            c("shape_seq", np.array([1, 1, HIDDEN], dtype=np.int64)),
            c("layer0", np.array([0], dtype=np.int64)), c("layer1", np.array([1], dtype=np.int64)),
            c("layer2", np.array([2], dtype=np.int64)), c("axis0", np.array([0], dtype=np.int64)),
            c("zero", np.array([0.0], dtype=np.float32))]
    nodes = [helper.make_node("Gather", ["embedding", "targets"], ["emb"], axis=0),  # [1, 1, 640]
             helper.make_node("Cast", ["target_length"], ["len_f"], to=TensorProto.FLOAT),
             helper.make_node("Mul", ["len_f", "zero"], ["len_zero"]),
             helper.make_node("Add", ["emb", "len_zero"], ["x0"]),
             helper.make_node("Split", ["h_in"], ["h0", "h1"], axis=0),
             helper.make_node("Split", ["c_in"], ["c0", "c1"], axis=0)]
    x = "x0"
    for layer in range(2):
        init += [c(f"W{layer}", (rng.standard_normal((1, 4 * HIDDEN, HIDDEN)) * scale).astype(np.float32)),
                 c(f"R{layer}", (rng.standard_normal((1, 4 * HIDDEN, HIDDEN)) * scale).astype(np.float32)),
                 c(f"B{layer}", np.zeros((1, 8 * HIDDEN), dtype=np.float32))]
        nodes += [helper.make_node("LSTM", [x, f"W{layer}", f"R{layer}", f"B{layer}", "", f"h{layer}", f"c{layer}"],
                                   [f"Y{layer}", f"Yh{layer}", f"Yc{layer}"], hidden_size=HIDDEN),
                  helper.make_node("Reshape", [f"Y{layer}", "shape_seq"], [f"x{layer + 1}"])]
        x = f"x{layer + 1}"
    nodes += [helper.make_node("Concat", ["Yh0", "Yh1"], ["h_out"], axis=0),
              helper.make_node("Concat", ["Yc0", "Yc1"], ["c_out"], axis=0),
              helper.make_node("Transpose", [x], ["decoder"], perm=[0, 2, 1])]
    graph = helper.make_graph(
        nodes, "decoder",
        [helper.make_tensor_value_info("targets", TensorProto.INT32, [1, 1]),
         helper.make_tensor_value_info("target_length", TensorProto.INT32, [1]),
         helper.make_tensor_value_info("h_in", TensorProto.FLOAT, [2, 1, HIDDEN]),
         helper.make_tensor_value_info("c_in", TensorProto.FLOAT, [2, 1, HIDDEN])],
        [helper.make_tensor_value_info("decoder", TensorProto.FLOAT, [1, HIDDEN, 1]),
         helper.make_tensor_value_info("h_out", TensorProto.FLOAT, [2, 1, HIDDEN]),
         helper.make_tensor_value_info("c_out", TensorProto.FLOAT, [2, 1, HIDDEN])],
        initializer=init)
    save(graph, folder, "Decoder")


def joint(folder, rng):
    w_enc = (rng.standard_normal((ENC, HIDDEN)) / np.sqrt(ENC)).astype(np.float32)
    w_dec = (rng.standard_normal((HIDDEN, HIDDEN)) / np.sqrt(HIDDEN)).astype(np.float32)
    w_out = (rng.standard_normal((HIDDEN, VOCAB + DURATIONS)) / np.sqrt(HIDDEN)).astype(np.float32)
    bias = np.zeros(VOCAB + DURATIONS, dtype=np.float32)
    # Blank wins about three times in four on typical inputs.
    samples = np.maximum(rng.standard_normal((200, ENC)).astype(np.float32) @ w_enc +
                         0.3 * rng.standard_normal((200, HIDDEN)).astype(np.float32) @ w_dec, 0.0)
    logits = samples @ w_out
    best_other = np.max(np.delete(logits[:, :VOCAB], BLANK, axis=1), axis=1)
    bias[BLANK] = float(np.quantile(best_other - logits[:, BLANK], 0.75))
    init = [c("w_enc", w_enc), c("w_dec", w_dec), c("w_out", w_out), c("bias", bias),
            c("enc_shape", np.array([1, ENC], dtype=np.int64)), c("dec_shape", np.array([1, HIDDEN], dtype=np.int64)),
            c("start0", np.array([0], dtype=np.int64)), c("vocab_end", np.array([VOCAB], dtype=np.int64)),
            c("all_end", np.array([VOCAB + DURATIONS], dtype=np.int64)), c("axis1", np.array([1], dtype=np.int64)),
            c("out_shape", np.array([1, 1, 1], dtype=np.int64))]
    nodes = [helper.make_node("Reshape", ["encoder_step", "enc_shape"], ["e"]),
             helper.make_node("Reshape", ["decoder_step", "dec_shape"], ["d"]),
             helper.make_node("MatMul", ["e", "w_enc"], ["pe"]),
             helper.make_node("MatMul", ["d", "w_dec"], ["pd"]),
             helper.make_node("Add", ["pe", "pd"], ["sum"]),
             helper.make_node("Relu", ["sum"], ["hidden"]),
             helper.make_node("MatMul", ["hidden", "w_out"], ["raw"]),
             helper.make_node("Add", ["raw", "bias"], ["logits"]),
             helper.make_node("Slice", ["logits", "start0", "vocab_end", "axis1"], ["token_logits"]),
             helper.make_node("Slice", ["logits", "vocab_end", "all_end", "axis1"], ["duration_logits"]),
             helper.make_node("ArgMax", ["token_logits"], ["token64"], axis=1, keepdims=1),
             helper.make_node("Cast", ["token64"], ["token32"], to=TensorProto.INT32),
             helper.make_node("Reshape", ["token32", "out_shape"], ["token_id"]),
             helper.make_node("Softmax", ["token_logits"], ["probs"], axis=1),
             helper.make_node("ReduceMax", ["probs"], ["best"], axes=[1], keepdims=1),
             helper.make_node("Reshape", ["best", "out_shape"], ["token_prob"]),
             helper.make_node("ArgMax", ["duration_logits"], ["dur64"], axis=1, keepdims=1),
             helper.make_node("Cast", ["dur64"], ["dur32"], to=TensorProto.INT32),
             helper.make_node("Reshape", ["dur32", "out_shape"], ["duration"])]
    graph = helper.make_graph(
        nodes, "joint",
        [helper.make_tensor_value_info("encoder_step", TensorProto.FLOAT, [1, ENC, 1]),
         helper.make_tensor_value_info("decoder_step", TensorProto.FLOAT, [1, HIDDEN, 1])],
        [helper.make_tensor_value_info("token_id", TensorProto.INT32, [1, 1, 1]),
         helper.make_tensor_value_info("token_prob", TensorProto.FLOAT, [1, 1, 1]),
         helper.make_tensor_value_info("duration", TensorProto.INT32, [1, 1, 1])],
        initializer=init)
    save(graph, folder, "JointDecision")


def main():
    out = pathlib.Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(2024)
    decoder(out, rng)
    joint(out, rng)
    (out / "ready").write_text("ok\n")


if __name__ == "__main__":
    main()
