"""The data every Python benchmark measures on, with exact answers to check recall against.

    from datasets import load, ground_truth, recall_at_k
    data, queries = load("fashion-mnist")       # or "synthetic", "synthetic-128"

Fashion-MNIST comes from Debian's dataset-fashion-mnist (installed by `make setup`); the
synthetic sets are drawn from a fixed seed, so every run and every benchmark sees the same
vectors. "synthetic-128" is the same recipe at 128 floats, where a graph's per-hop memory
traffic outweighs its distances.
"""
import gzip
import os

import numpy as np

FASHION_MNIST_DIR = "/usr/share/datasets/fashion-mnist"
NAMES = ("fashion-mnist", "synthetic", "synthetic-128")


def _idx_images(name, count=None):
    path = os.path.join(FASHION_MNIST_DIR, name)
    if not os.path.exists(path):
        raise FileNotFoundError(f"{path} is missing: install the Debian package "
                                "dataset-fashion-mnist")
    with gzip.open(path) as f:
        raw = f.read()
    # idx3: magic, count, rows, cols (big-endian u32), then one byte per pixel.
    n, rows, cols = (int.from_bytes(raw[i:i + 4], "big") for i in (4, 8, 12))
    n = n if count is None else min(n, count)
    pixels = np.frombuffer(raw, dtype=np.uint8, offset=16, count=n * rows * cols)
    return pixels.reshape(n, rows * cols).astype(np.float32)


def fashion_mnist():
    """The 60,000 training images as 60,000 x 784 float32 pixel values (0 to 255)."""
    return _idx_images("train-images-idx3-ubyte.gz")


def fashion_mnist_queries(count=1000):
    """The first `count` test images: pictures the training set does not hold."""
    return _idx_images("t10k-images-idx3-ubyte.gz", count)


def _synthetic_points(rng, centres, n, noise_sd):
    labels = rng.integers(0, len(centres), n)
    noise = rng.standard_normal((n, centres.shape[1]), dtype=np.float32)
    return centres[labels] + np.float32(noise_sd) * noise


def _centres(dim, centres, centre_sd, seed):
    rng = np.random.default_rng(seed)
    return np.float32(centre_sd) * rng.standard_normal((centres, dim), dtype=np.float32), rng


def synthetic(n=100_000, dim=768, centres=1000, centre_sd=1.0, noise_sd=1.5, seed=42):
    """n float32 points around `centres` Gaussian centres (standard deviation centre_sd),
    each with Gaussian noise of standard deviation noise_sd per component."""
    c, rng = _centres(dim, centres, centre_sd, seed)
    return _synthetic_points(rng, c, n, noise_sd)


def synthetic_queries(count=1000, dim=768, centres=1000, centre_sd=1.0, noise_sd=1.5, seed=42):
    """Fresh points around the same centres as synthetic(..., seed), from another stream."""
    c, _ = _centres(dim, centres, centre_sd, seed)
    return _synthetic_points(np.random.default_rng([seed, 1]), c, count, noise_sd)


def load(name, queries=1000):
    """(data, queries) of a named set: "fashion-mnist", "synthetic" (the defaults above) or
    "synthetic-128"."""
    if name == "fashion-mnist":
        return fashion_mnist(), fashion_mnist_queries(queries)
    if name == "synthetic":
        return synthetic(), synthetic_queries(queries)
    if name == "synthetic-128":
        return synthetic(dim=128), synthetic_queries(queries, dim=128)
    raise ValueError(f"unknown data set {name!r}; one of {NAMES}")


def normalised(a):
    """Rows scaled to unit length (zero rows stay zero)."""
    norms = np.linalg.norm(a, axis=1, keepdims=True)
    return a / np.where(norms == 0, 1, norms)


def ground_truth(data, queries, k, block=256):
    """Row i: the indices of the k rows of `data` with the highest cosine to queries[i], best
    first, computed in float64 (ties by lower index)."""
    unit = normalised(data.astype(np.float64))
    q = normalised(queries.astype(np.float64))
    out = np.empty((len(q), k), dtype=np.int64)
    for first in range(0, len(q), block):
        cos = q[first:first + block] @ unit.T
        top = np.argpartition(-cos, k - 1, axis=1)[:, :k]
        for i, row in enumerate(top):
            order = np.lexsort((row, -cos[i, row]))
            out[first + i] = row[order]
    return out


def recall_at_k(found, truth, k):
    """Mean share of each query's true top k that its k first results hold. `found` holds one
    sequence of indices per query (results may be shorter than k)."""
    hits = sum(len(set(list(f)[:k]) & set(t[:k].tolist())) for f, t in zip(found, truth))
    return hits / (k * len(truth))
