"""The exact search beside FAISS IndexFlatIP (on normalised vectors) by dimension and size:
adding from numpy, single queries, and batches of 1,000 queries at each k beside FAISS's batch
and beside the same 1,000 single searches.

    python3 bench/exact_peers.py [--dims 128 768] [--sizes 10000 100000] [--threads 1 8]
                                 [--k 10 100] [--runs 3]

Synthetic data of bench/datasets.py (1,000 Gaussian centres, noise 1.5, seed 42) at each
dimension. One process per dimension, size and worker count; in it the searchers take turns
pass by pass and each reports its best pass. Batches run up to 100,000 vectors only. FAISS's
OpenMP threads wait passively (OMP_WAIT_POLICY=PASSIVE unless set).
"""
import argparse
import json
import os
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from datasets import normalised, synthetic, synthetic_queries  # noqa: E402
from peer_runs import (best_of_turns, parse_args, run_worker, take_turns,  # noqa: E402
                       write_result)

K = 10
BATCH = 1000
MAX_BATCH_SIZE = 100_000


def single_count(n, dim):
    """Queries per pass: about a second of scanning on one worker."""
    return min(1000, max(20, int(3e9 / (n * dim))))


def batches(db, index, queries, unit_q, k, runs):
    """Seconds per 1,000 queries, best of `runs`: tamix's batch, FAISS's, tamix's singles."""
    fns = {
        "batch": lambda: db.search_batch(queries, k),
        "faiss": lambda: index.search(unit_q, k),
        "singles": lambda: [db.search(q, k) for q in queries],
    }
    return best_of_turns(fns, runs)[0]


def worker(args):
    import faiss

    import tamix

    faiss.omp_set_num_threads(args.threads)
    n, dim = args.n, args.dim
    data = synthetic(n, dim)
    queries = synthetic_queries(BATCH, dim)
    root = tempfile.mkdtemp(prefix="tamix_exact_bench_")
    try:
        db = tamix.TamixPython(os.path.join(root, "db"), dim)
        ids = [str(i) for i in range(n)]
        metas = [json.dumps({"i": i}) for i in range(n)]
        t = time.perf_counter()
        db.add(ids, data, metas)
        result = {"add": n / (time.perf_counter() - t)}
        db.persist()
        index = faiss.IndexFlatIP(dim)
        index.add(normalised(data))
        unit_q = normalised(queries)
        count = single_count(n, dim)
        qps, _ = take_turns({
            "tamix": lambda i: db.search(queries[i], K),
            "faiss": lambda i: index.search(unit_q[i:i + 1], K),
        }, count, args.runs)
        result["single"] = qps
        if n <= MAX_BATCH_SIZE:
            result["batch"] = {k: batches(db, index, queries, unit_q, k, args.runs)
                               for k in args.k}
        del db
    finally:
        shutil.rmtree(root)
    write_result(args, result)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dims", type=int, nargs="+", default=[128, 768])
    parser.add_argument("--sizes", type=int, nargs="+", default=[10_000, 100_000])
    parser.add_argument("--k", type=int, nargs="+", default=[10, 100])
    parser.add_argument("--dim", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--n", type=int, help=argparse.SUPPRESS)
    args = parse_args(parser, worker, runs=3)
    if args is None:
        return

    # FAISS's OpenMP threads spinning while they wait starve everything else on a shared machine.
    env = {"OMP_WAIT_POLICY": os.environ.get("OMP_WAIT_POLICY", "PASSIVE")}
    print(f"{'dim':>5}{'vectors':>10}{'workers':>8}{'add/s':>11}{'GB/s':>6}"
          f"{'qps':>9}{'faiss':>9}{'ratio':>7}   batch ms at k: tamix / faiss / singles")
    for dim in args.dims:
        for n in args.sizes:
            for threads in args.threads:
                extra = ["--dim", str(dim), "--n", str(n), "--runs", str(args.runs), "--k"]
                r = run_worker(__file__, "synthetic", threads, extra + [str(k) for k in args.k],
                               env)
                s = r["single"]
                line = (f"{dim:>5}{n:>10,}{threads:>8}{r['add']:>11,.0f}"
                        f"{r['add'] * dim * 4 / 1e9:>6.2f}{s['tamix']:>9,.0f}{s['faiss']:>9,.0f}"
                        f"{s['tamix'] / s['faiss']:>7.2f}x  ")
                for k, b in r.get("batch", {}).items():
                    line += (f" k={k}: {b['batch'] * 1e3:.0f} / {b['faiss'] * 1e3:.0f}"
                             f" / {b['singles'] * 1e3:.0f}")
                print(line, flush=True)
    print(f"\nload average at the end {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
