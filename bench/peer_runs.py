"""What the side-by-side benchmarks share: one process per data set and worker count, exact
answers computed once, query timing by turns, and the comparison of throughput at equal
recall.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from datasets import NAMES, ground_truth, load  # noqa: E402

K = 10


def truth_path(root, name, k=K):
    """Exact top-k of the set's queries, computed once (with every core) and kept in root."""
    path = os.path.join(root, f"truth_{name}_{k}.npy")
    if not os.path.exists(path):
        data, queries = load(name)
        np.save(path, ground_truth(data, queries, k))
    return path


def run_worker(script, name, threads, args, env=None):
    """Runs `script --worker` for one data set on `threads` workers and returns what it wrote
    with write_result. The pool, OpenMP and BLAS are sized before the process starts; `env`
    adds to its environment."""
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads), OMP_NUM_THREADS=str(threads),
               OPENBLAS_NUM_THREADS=str(threads), **(env or {}))
    with tempfile.NamedTemporaryFile(suffix=".json") as out:
        cmd = [sys.executable, os.path.abspath(script), "--worker", "--set", name,
               "--threads", str(threads), "--out", out.name] + args
        proc = subprocess.run(cmd, env=env, capture_output=True, text=True)
        if proc.returncode != 0:
            sys.stderr.write(proc.stdout + proc.stderr)
            raise SystemExit(f"{name} on {threads} workers failed")
        with open(out.name) as f:
            return json.load(f)


def parse_args(parser, worker, runs, sets=("fashion-mnist", "synthetic")):
    """Adds what every side-by-side benchmark takes (--sets, default `sets`, --threads,
    --runs, and hidden, what run_worker passes) and parses. In a worker process runs
    worker(args) on its one thread count and returns None."""
    parser.add_argument("--sets", nargs="+", default=list(sets), choices=NAMES)
    parser.add_argument("--threads", type=int, nargs="+", default=[1, os.cpu_count()])
    parser.add_argument("--runs", type=int, default=runs)
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--set", help=argparse.SUPPRESS)
    parser.add_argument("--truth", help=argparse.SUPPRESS)
    parser.add_argument("--out", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if not args.worker:
        return args
    args.threads = args.threads[0]
    worker(args)
    return None


def write_result(args, result):
    with open(args.out, "w") as f:
        json.dump(result, f)


def run_all(script, args, extra, report):
    """For each of args.sets and args.threads: the worker, given the set's exact answers
    (computed once) and the `extra` arguments, then report(name, threads, its result)."""
    cache = tempfile.mkdtemp(prefix="tamix_truth_")
    try:
        for name in args.sets:
            truth = truth_path(cache, name)
            for threads in args.threads:
                result = run_worker(script, name, threads, ["--truth", truth] + extra)
                report(name, threads, result)
    finally:
        shutil.rmtree(cache)
    print(f"\nload average at the end {os.getloadavg()[0]:.1f}")


def rss_anon():
    """Bytes of anonymous resident memory of this process (heap, not mapped files)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("RssAnon:"):
                return int(line.split()[1]) * 1024
    return 0


def timed(fn):
    t = time.perf_counter()
    out = fn()
    return time.perf_counter() - t, out


def take_turns(searchers, count, runs):
    """Single-query throughput of each searcher (name -> fn(i) searching query i): a first
    pass whose answers are returned, then `runs` passes over all queries, the searchers
    taking turns pass by pass so that load from elsewhere falls on all alike. Best pass."""
    answers = {name: [fn(i) for i in range(count)] for name, fn in searchers.items()}
    best = {name: float("inf") for name in searchers}
    for _ in range(runs):
        for name, fn in searchers.items():
            t = time.perf_counter()
            for i in range(count):
                fn(i)
            best[name] = min(best[name], time.perf_counter() - t)
    return {name: count / s for name, s in best.items()}, answers


def best_of_turns(fns, runs):
    """Each fn (name -> fn()) run whole: a first run whose answer is returned, then `runs`
    runs taking turns. Best seconds of each, and the first answers."""
    answers = {name: fn() for name, fn in fns.items()}
    best = {name: float("inf") for name in fns}
    for _ in range(runs):
        for name, fn in fns.items():
            t = time.perf_counter()
            fn()
            best[name] = min(best[name], time.perf_counter() - t)
    return best, answers


def frontier(curve):
    """The (recall, qps) points no other point beats with as much recall and more qps, by
    recall: where recall saturates, a larger ef only costs time and is left out."""
    front, fastest = [], float("-inf")
    for recall, qps in sorted(curve, key=lambda p: (-p[0], -p[1])):
        if qps > fastest:
            front.append((recall, qps))
            fastest = qps
    return front[::-1]


def qps_at(curve, recall):
    """Throughput at `recall` by linear interpolation between the (recall, qps) points of
    `curve`'s frontier; None outside the recalls measured."""
    points = frontier(curve)
    if not points or recall < points[0][0] or recall > points[-1][0]:
        return None
    for (r0, q0), (r1, q1) in zip(points, points[1:]):
        if r0 <= recall <= r1:
            return q0 if r1 == r0 else q0 + (q1 - q0) * (recall - r0) / (r1 - r0)
    return points[0][1]


def ratio_at(peer, recall, qps):
    """One measured point of ours against a peer's curve at the same recall: the ratio of
    throughputs and a mark: "" when the peer's curve was interpolated; ">=" (a lower bound)
    when the peer never reached our recall and its best recall was slower than ours; "<="
    (an upper bound) when the peer never went down to our recall and its fastest point
    beats ours; None when the peer cannot be placed there."""
    at = qps_at(peer, recall)
    if at is not None:
        return qps / at, ""
    front = frontier(peer)
    if recall > front[-1][0] and qps >= front[-1][1]:
        return qps / front[-1][1], ">="
    if recall < front[0][0] and qps <= front[0][1]:
        return qps / front[0][1], "<="
    return None, ""


# From this recall on the last few hits of 10,000 decide the interpolation: such points are
# shown but not judged.
SATURATED = 0.999


def least_ratio(rows):
    """The least ratio of (our recall, ratio) rows below SATURATED; inf when none."""
    ratios = [r[0] for recall, r in rows if r[0] is not None and recall < SATURATED]
    return min(ratios, default=float("inf"))


def format_ratio(r):
    value, mark = r
    return "n/a" if value is None else f"{mark}{value:.2f}x"
