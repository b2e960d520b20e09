"""Exact search on real images (Fashion-MNIST, 784 values each) against numpy."""
import gzip
import os

import numpy as np
import pytest

import tamix

DATA = "/usr/share/datasets/fashion-mnist"


def images(name, n):
    path = os.path.join(DATA, name)
    if not os.path.exists(path):
        pytest.skip("dataset-fashion-mnist is not installed")
    with gzip.open(path) as f:
        raw = f.read()
    # idx3: magic, count, rows, cols (big-endian u32), then bytes.
    rows, cols = int.from_bytes(raw[8:12], "big"), int.from_bytes(raw[12:16], "big")
    pixels = np.frombuffer(raw, dtype=np.uint8, offset=16)[: n * rows * cols]
    return pixels.reshape(n, rows * cols).astype(np.float32)


def test_search_matches_numpy_cosine(tmp_path):
    train, test = images("train-images-idx3-ubyte.gz", 6000), images("t10k-images-idx3-ubyte.gz", 50)
    db = tamix.TamixPython(str(tmp_path), 784)
    db.add([f"img{i}" for i in range(len(train))], train, ["{}"] * len(train))

    unit = train / np.linalg.norm(train, axis=1, keepdims=True)
    for query, hits in zip(test, db.search_batch(test, 10)):
        cos = unit @ (query / np.linalg.norm(query))
        best = np.argsort(-cos, kind="stable")[:10]
        assert [s for _, s in hits] == pytest.approx(1 - (1 - cos[best]) / 2, abs=1e-5)
        # Ids agree wherever a score stands clearly apart from its neighbours.
        top = np.concatenate([[np.inf], cos[best], [-np.inf]])
        for rank, (hit_id, _) in enumerate(hits[:-1]):
            if top[rank] - top[rank + 1] > 1e-5 and top[rank + 1] - top[rank + 2] > 1e-5:
                assert hit_id == f"img{best[rank]}"
        assert [s for _, s in db.search(query, 10)] == [s for _, s in hits]
