"""The IVF index beside FAISS IndexIVFFlat (inner product on normalised vectors), both with
100 lists trained by 10 k-means iterations on the first min(n, 10,000) vectors: training
and population time, and single-query throughput and recall@10 at several nprobe values,
on 1 worker and on all, for each data set. hnswlib's build time of the same vectors stands
beside our population (each of our partitions is a small HNSW graph).

    python3 bench/ivf_peers.py [--sets fashion-mnist synthetic] [--threads 1 8]
                               [--nprobe 1 2 4 10 16 32] [--runs 3] [--no-hnswlib]

configure_ivf sets nprobe and drops the trained index, so ours is trained once per nprobe
(and FAISS as often, each keeping its best time). train_ivf prints a line as it starts
populating: the time from the call to that line is our training (sample, k-means), the rest
our population. FAISS's training is its train() on the sample, its population add().
Throughput is compared at each of our points with FAISS at the same recall, interpolated
linearly between FAISS's nprobe points. With more than one worker our single query searches its
partitions on the pool; FAISS answers one query on one thread.
"""
import argparse
import os
import shutil
import sys
import tempfile
import threading
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from datasets import load, normalised, recall_at_k  # noqa: E402
from peer_runs import (K, SATURATED, format_ratio, least_ratio, ratio_at,  # noqa: E402
                       parse_args, run_all, take_turns, timed, write_result)

NLIST, ITERATIONS, SAMPLE = 100, 10, 10_000
POPULATING = "IVF: Populating partitions..."


def with_line_times(fn):
    """Runs fn with the process's standard output (file descriptor 1) going to a pipe and
    returns (start, end, [(time, line)]): each printed line with the moment it arrived."""
    read_end, write_end = os.pipe()
    lines = []

    def read():
        with os.fdopen(read_end) as f:
            for line in f:
                lines.append((time.perf_counter(), line.rstrip("\n")))

    reader = threading.Thread(target=read)
    reader.start()
    sys.stdout.flush()
    saved = os.dup(1)
    os.dup2(write_end, 1)
    os.close(write_end)
    try:
        start = time.perf_counter()
        fn()
        end = time.perf_counter()
    finally:
        os.dup2(saved, 1)
        os.close(saved)
    reader.join()
    return start, end, lines


def train_tamix(db, nprobe):
    db.configure_ivf(nlist=NLIST, nprobe=nprobe)
    start, end, lines = with_line_times(db.train_ivf)
    populating = next(t for t, line in lines if line == POPULATING)
    iterations = sum(1 for _, line in lines if "-> Iteration" in line)
    return {"train_s": populating - start, "populate_s": end - populating,
            "total_s": end - start, "iterations": iterations}


def train_faiss(unit, threads):
    import faiss

    faiss.omp_set_num_threads(threads)
    index = faiss.IndexIVFFlat(faiss.IndexFlatIP(unit.shape[1]), unit.shape[1], NLIST,
                               faiss.METRIC_INNER_PRODUCT)
    index.cp.niter = ITERATIONS
    train_s, _ = timed(lambda: index.train(unit[:SAMPLE]))
    populate_s, _ = timed(lambda: index.add(unit))
    return index, {"train_s": train_s, "populate_s": populate_s}


def hnswlib_build_s(unit, threads):
    import hnswlib

    index = hnswlib.Index(space="ip", dim=unit.shape[1])
    index.init_index(max_elements=len(unit), M=16, ef_construction=200)
    seconds, _ = timed(lambda: index.add_items(unit, np.arange(len(unit)), num_threads=threads))
    return seconds


def measure_nprobe(db, nprobe, unit, queries, unit_q, truth, args):
    ours = train_tamix(db, nprobe)
    index, theirs = train_faiss(unit, args.threads)
    index.nprobe = nprobe
    rows = [unit_q[i:i + 1] for i in range(len(unit_q))]
    searchers = {
        "tamix": lambda i: db.search(queries[i], K),
        "faiss": lambda i: index.search(rows[i], K)[1],
    }
    qps, answers = take_turns(searchers, len(queries), args.runs)
    found = {"tamix": [[int(i) for i, _ in hits] for hits in answers["tamix"]],
             "faiss": [a[0] for a in answers["faiss"]]}
    return {"tamix": dict(ours, qps=qps["tamix"], recall=recall_at_k(found["tamix"], truth, K)),
            "faiss": dict(theirs, qps=qps["faiss"], recall=recall_at_k(found["faiss"], truth, K))}


def worker(args):
    import tamix

    data, queries = load(args.set)
    truth = np.load(args.truth)
    unit, unit_q = normalised(data), normalised(queries)
    n, dim = data.shape
    root = tempfile.mkdtemp(prefix="tamix_ivf_peers_")
    r = {}
    try:
        db = tamix.TamixPython(os.path.join(root, "db"), dim)
        db.set_mode("ivf")
        db.add([str(i) for i in range(n)], data, ["{}"] * n)
        db.persist()
        r["nprobe"] = {p: measure_nprobe(db, p, unit, queries, unit_q, truth, args)
                       for p in args.nprobe}
        del db
    finally:
        shutil.rmtree(root)
    if args.hnswlib:
        r["hnswlib_build_s"] = hnswlib_build_s(unit, args.threads)
    write_result(args, r)


def best(r, lib, key):
    return min(v[lib][key] for v in r["nprobe"].values())


def report(name, threads, r):
    probes = r["nprobe"]
    iterations = sorted({v["tamix"]["iterations"] for v in probes.values()})
    train = (best(r, "tamix", "train_s"), best(r, "faiss", "train_s"))
    populate = (best(r, "tamix", "populate_s"), best(r, "faiss", "populate_s"))
    print(f"\n{name}, {threads} worker(s), best of {len(probes)} trainings each")
    print(f"  training s: tamix {train[0]:.2f} ({'/'.join(map(str, iterations))} iterations), "
          f"faiss {train[1]:.2f}; tamix / faiss {train[0] / train[1]:.2f}x")
    hnswlib = r.get("hnswlib_build_s")
    print(f"  population s: tamix {populate[0]:.2f}, faiss add {populate[1]:.2f}"
          + ("" if hnswlib is None else
             f"; hnswlib build {hnswlib:.1f}, tamix / hnswlib {populate[0] / hnswlib:.2f}x"))
    print(f"  {'nprobe':>6}{'tamix':>16}{'faiss':>16}{'/faiss':>10}"
          f"   (recall qps; faiss at our recall)")
    curve = [(v["faiss"]["recall"], v["faiss"]["qps"]) for v in probes.values()]
    judged = []
    for p, v in probes.items():
        cells = "".join(f"{v[lib]['recall']:>8.3f}{v[lib]['qps']:>8,.0f}"
                        for lib in ("tamix", "faiss"))
        ratio = ratio_at(curve, v["tamix"]["recall"], v["tamix"]["qps"])
        judged.append((v["tamix"]["recall"], ratio))
        print(f"  {p:>6}{cells}{format_ratio(ratio):>10}")
    worst = least_ratio(judged)
    print(f"  targets: training <= faiss {'ok' if train[0] <= train[1] else 'MISSED'}; "
          f"qps at equal recall >= faiss {'ok' if worst >= 1 else 'MISSED'} "
          f"(least ratio below recall {SATURATED}: {worst:.2f}x)", flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--nprobe", type=int, nargs="+", default=[1, 2, 4, 10, 16, 32])
    parser.add_argument("--no-hnswlib", dest="hnswlib", action="store_false")
    args = parse_args(parser, worker, runs=3)
    if args is None:
        return

    print(f"IVF, nlist {NLIST}, {ITERATIONS} k-means iterations on the first {SAMPLE:,} "
          f"vectors, k {K}, 1,000 single queries, best of {args.runs} passes; "
          f"load average {os.getloadavg()[0]:.1f}")
    extra = ["--runs", str(args.runs), "--nprobe"] + [str(p) for p in args.nprobe]
    run_all(__file__, args, extra + ([] if args.hnswlib else ["--no-hnswlib"]), report)


if __name__ == "__main__":
    main()
