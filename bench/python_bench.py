"""Python-level throughput and latency of the flat database against FAISS and numpy.

    python3 bench/python_bench.py [--n 100000] [--dim 768]

Targets: single search within 1.5x of FAISS, batch within 2x of FAISS, add from numpy at
1 GB/s or more.
"""
import argparse
import json
import shutil
import tempfile
import time
from pathlib import Path

import numpy as np

import tamix

K = 10


def clustered(n, dim, seed, clusters=256):
    rng = np.random.default_rng(seed)
    centers = rng.standard_normal((clusters, dim), dtype=np.float32)
    data = centers[rng.integers(0, clusters, n)]
    data += 0.35 * rng.standard_normal((n, dim), dtype=np.float32)
    return data


def normalised(a):
    return a / np.linalg.norm(a, axis=1, keepdims=True)


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


def recall(tamix_lists, faiss_ids):
    found = sum(len({int(i) for i, _ in hits} & set(f.tolist()))
                for hits, f in zip(tamix_lists, faiss_ids))
    return found / (K * len(faiss_ids))


def report(args, t, f, npy):
    n, dim = args.n, args.dim
    gb = n * dim * 4 / 1e9
    print(f"\n{n} vectors x {dim} dims ({gb:.2f} GB of float32), k={K}\n")
    print(f"add from numpy : {n / t['add_np']:>12,.0f} vectors/s  {gb / t['add_np']:.2f} GB/s")
    print(f"add from lists : {n / t['add_list']:>12,.0f} vectors/s")
    print(f"first persist  : {t['persist'] * 1e3:>12.1f} ms\n")
    print(f"{'':16}{'median ms':>10}{'p99 ms':>10}{'batch s':>10}")
    for name, r in (("tamix", t), ("faiss IP", f), ("numpy", npy)):
        print(f"{name:16}{r['single'][0]:>10.3f}{r['single'][1]:>10.3f}{r['batch']:>10.3f}")
    single_ratio = t["single"][0] / f["single"][0]
    batch_ratio = t["batch"] / f["batch"]
    gbps = gb / t["add_np"]
    print(f"\nrecall@{K} vs faiss (batch): {recall(t['batch_hits'], f['batch_ids']):.3f}")
    print(f"single search / faiss: {single_ratio:.2f}x  (target <= 1.5x) "
          f"{'ok' if single_ratio <= 1.5 else 'MISSED'}")
    print(f"batch search  / faiss: {batch_ratio:.2f}x  (target <= 2x)   "
          f"{'ok' if batch_ratio <= 2 else 'MISSED'}")
    print(f"add from numpy       : {gbps:.2f} GB/s (target >= 1)   "
          f"{'ok' if gbps >= 1 else 'MISSED'}")
    print(f"single search / numpy: {t['single'][0] / npy['single'][0]:.2f}x")
    print(f"batch search  / numpy: {t['batch'] / npy['batch']:.2f}x")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=768)
    parser.add_argument("--queries", type=int, default=200)
    parser.add_argument("--batch", type=int, default=1000)
    args = parser.parse_args()

    data = clustered(args.n, args.dim, seed=1)
    rng = np.random.default_rng(2)
    picks = rng.integers(0, args.n, args.queries + args.batch)
    queries = data[picks] + 0.1 * rng.standard_normal((len(picks), args.dim), dtype=np.float32)
    single, batch = queries[:args.queries], queries[args.queries:]
    ids = [str(i) for i in range(args.n)]
    metas = [json.dumps({"i": i}) for i in range(args.n)]

    root = Path(tempfile.mkdtemp(prefix="tamix_bench_"))
    try:
        t = bench_tamix(root, data, ids, metas, single, batch)
    finally:
        shutil.rmtree(root)
    report(args, t, bench_faiss(data, single, batch), bench_numpy(data, single, batch))


if __name__ == "__main__":
    main()
