"""Batch search throughput: tamix's search_batch beside FAISS IndexFlatIP's batch search (on
normalised vectors) and numpy's matrix product, on 1 worker and on all, for each data set.

    python3 bench/batch_bench.py [--sets fashion-mnist synthetic] [--k 10] [--runs 5] [--check]

Every thread count runs in a process of its own, so the worker pool (RAYON_NUM_THREADS),
FAISS's threads (faiss.omp_set_num_threads) and numpy's BLAS threads are sized before they
start. Within a process the three take turns, run by run, and each reports its best run, so
load from elsewhere on the machine falls on all three alike. --check also compares every
batch answer with 1,000 single searches (ids and scores).
"""
import argparse
import os
import shutil
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from datasets import ground_truth, load, normalised, recall_at_k  # noqa: E402
from peer_runs import best_of_turns, parse_args, run_worker, write_result  # noqa: E402


def numpy_batch(unit, queries, k):
    scores = queries @ unit.T
    top = np.argpartition(-scores, k - 1, axis=1)[:, :k]
    order = np.argsort(-np.take_along_axis(scores, top, 1), axis=1)
    return np.take_along_axis(top, order, 1)


def check_against_single(db, queries, k, batch):
    for i, (q, hits) in enumerate(zip(queries, batch)):
        single = db.search(q, k)
        if single != hits:
            raise SystemExit(f"query {i}: batch {hits[:3]}... differs from single {single[:3]}...")


def worker(args):
    import faiss

    import tamix

    faiss.omp_set_num_threads(args.threads)
    data, queries = load(args.set)
    n, dim = data.shape
    root = tempfile.mkdtemp(prefix="tamix_batch_bench_")
    try:
        db = tamix.TamixPython(os.path.join(root, "db"), dim)
        db.add([str(i) for i in range(n)], data, ["{}"] * n)
        db.persist()
        index = faiss.IndexFlatIP(dim)
        unit, unit_q = normalised(data), normalised(queries)
        index.add(unit)
        runs = {
            "tamix": lambda: db.search_batch(queries, args.k),
            "faiss": lambda: index.search(unit_q, args.k),
            "numpy": lambda: numpy_batch(unit, unit_q, args.k),
        }
        best, out = best_of_turns(runs, args.runs)  # out: the answers checked below
        truth = ground_truth(data, queries, args.k)
        found = [[int(i) for i, _ in hits] for hits in out["tamix"]]
        result = {name: len(queries) / s for name, s in best.items()}
        result["recall"] = recall_at_k(found, truth, args.k)
        result["faiss_recall"] = recall_at_k(out["faiss"][1], truth, args.k)
        if args.check:
            check_against_single(db, queries, args.k, out["tamix"])
            result["checked"] = True
        del db
    finally:
        shutil.rmtree(root)
    write_result(args, result)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--check", action="store_true")
    args = parse_args(parser, worker, runs=5)
    if args is None:
        return

    print(f"batch of 1,000 queries, k={args.k}, best of {args.runs} runs; queries per second\n")
    head = (f"{'data set':14}{'workers':>8}{'tamix':>9}{'faiss IP':>10}{'numpy':>9}"
            f"{'/faiss':>8}{'/numpy':>8}{'recall':>8}")
    print(head)
    for name in args.sets:
        for threads in args.threads:
            extra = ["--k", str(args.k), "--runs", str(args.runs)]
            r = run_worker(__file__, name, threads, extra + (["--check"] if args.check else []))
            print(f"{name:14}{threads:>8}{r['tamix']:>9,.0f}{r['faiss']:>10,.0f}"
                  f"{r['numpy']:>9,.0f}{r['tamix'] / r['faiss']:>7.2f}x"
                  f"{r['tamix'] / r['numpy']:>7.2f}x{r['recall']:>8.3f}"
                  + ("  checked" if r.get("checked") else ""), flush=True)


if __name__ == "__main__":
    main()
