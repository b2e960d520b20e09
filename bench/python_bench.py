"""Python-level throughput and latency of the flat database against FAISS and numpy.

    python3 bench/python_bench.py [--set synthetic|fashion-mnist]

Targets: single search within 1.5x of FAISS's time, batch no slower than FAISS's, add from
numpy at 1 GB/s or more. bench/batch_bench.py measures the batch per worker count.
"""
import argparse
import json
import os
import shutil
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import tamix

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from datasets import NAMES, ground_truth, load, normalised, recall_at_k  # noqa: E402

K = 10


def latencies(fn, queries):
    for q in queries[:5]:
        fn(q)
    times = []
    for q in queries:
        t = time.perf_counter()
        fn(q)
        times.append(time.perf_counter() - t)
    times = np.array(times) * 1e3
    return float(np.median(times)), float(np.percentile(times, 99))


def timed(fn):
    t = time.perf_counter()
    out = fn()
    return time.perf_counter() - t, out


def numpy_top_k(matrix, q):
    scores = matrix @ q
    top = np.argpartition(-scores, K)[:K]
    return top[np.argsort(-scores[top])]


def numpy_batch(matrix, queries):
    scores = queries @ matrix.T
    top = np.argpartition(-scores, K, axis=1)[:, :K]
    return np.take_along_axis(top, np.argsort(-np.take_along_axis(scores, top, 1), 1), 1)


def bench_tamix(root, data, ids, metas, single, batch):
    r = {}
    db = tamix.TamixPython(str(root / "np"), data.shape[1])
    r["add_np"], _ = timed(lambda: db.add(ids, data, metas))
    r["persist"], _ = timed(db.persist)
    r["single"] = latencies(lambda q: db.search(q, K), single)
    db.search_batch(batch[:10], K)
    r["batch"], r["batch_hits"] = timed(lambda: db.search_batch(batch, K))
    r["single_hits"] = db.search(single[0], K)
    del db

    rows = data.tolist()
    db = tamix.TamixPython(str(root / "lists"), data.shape[1])
    r["add_list"], _ = timed(lambda: db.add(ids, rows, metas))
    del db
    return r


def bench_faiss(data, single, batch):
    import faiss

    r = {}
    index = faiss.IndexFlatIP(data.shape[1])
    index.add(normalised(data))
    single_n, batch_n = normalised(single), normalised(batch)
    r["single"] = latencies(lambda q: index.search(q[None, :], K), single_n)
    index.search(batch_n[:10], K)
    r["batch"], (_, r["batch_ids"]) = timed(lambda: index.search(batch_n, K))
    return r


def bench_numpy(data, single, batch):
    matrix = normalised(data)
    single_n, batch_n = normalised(single), normalised(batch)
    r = {"single": latencies(lambda q: numpy_top_k(matrix, q), single_n)}
    r["batch"], _ = timed(lambda: numpy_batch(matrix, batch_n))
    return r


def report(args, data, batch, t, f, npy):
    n, dim = data.shape
    gb = n * dim * 4 / 1e9
    print(f"\n{args.set}: {n} vectors x {dim} dims ({gb:.2f} GB of float32), k={K}\n")
    print(f"add from numpy : {n / t['add_np']:>12,.0f} vectors/s  {gb / t['add_np']:.2f} GB/s")
    print(f"add from lists : {n / t['add_list']:>12,.0f} vectors/s")
    print(f"first persist  : {t['persist'] * 1e3:>12.1f} ms\n")
    print(f"{'':16}{'median ms':>10}{'p99 ms':>10}{'batch s':>10}")
    for name, r in (("tamix", t), ("faiss IP", f), ("numpy", npy)):
        print(f"{name:16}{r['single'][0]:>10.3f}{r['single'][1]:>10.3f}{r['batch']:>10.3f}")
    single_ratio = t["single"][0] / f["single"][0]
    batch_ratio = t["batch"] / f["batch"]
    gbps = gb / t["add_np"]
    truth = ground_truth(data, batch, K)
    found = [[int(i) for i, _ in hits] for hits in t["batch_hits"]]
    print(f"\nrecall@{K} (batch): tamix {recall_at_k(found, truth, K):.3f}, "
          f"faiss {recall_at_k(f['batch_ids'], truth, K):.3f}")
    print(f"single search / faiss: {single_ratio:.2f}x  (target <= 1.5x) "
          f"{'ok' if single_ratio <= 1.5 else 'MISSED'}")
    print(f"batch search  / faiss: {batch_ratio:.2f}x  (target <= 1x)   "
          f"{'ok' if batch_ratio <= 1 else 'MISSED'}")
    print(f"add from numpy       : {gbps:.2f} GB/s (target >= 1)   "
          f"{'ok' if gbps >= 1 else 'MISSED'}")
    print(f"single search / numpy: {t['single'][0] / npy['single'][0]:.2f}x")
    print(f"batch search  / numpy: {t['batch'] / npy['batch']:.2f}x")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--set", default="synthetic", choices=NAMES)
    parser.add_argument("--queries", type=int, default=200)
    parser.add_argument("--batch", type=int, default=1000)
    args = parser.parse_args()

    data, queries = load(args.set, queries=args.queries + args.batch)
    single, batch = queries[:args.queries], queries[args.queries:]
    n = len(data)
    ids = [str(i) for i in range(n)]
    metas = [json.dumps({"i": i}) for i in range(n)]

    root = Path(tempfile.mkdtemp(prefix="tamix_bench_"))
    try:
        t = bench_tamix(root, data, ids, metas, single, batch)
    finally:
        shutil.rmtree(root)
    report(args, data, batch, t, bench_faiss(data, single, batch),
           bench_numpy(data, single, batch))


if __name__ == "__main__":
    main()
