"""The HNSW graph beside hnswlib, FAISS IndexHNSWFlat and usearch (inner product on normalised
vectors), all at M 16 and ef_construction 200: build time, graph memory, and single-query
throughput and recall@10 at several ef_search values, on 1 worker and on all, for each data
set.

    python3 bench/hnsw_peers.py [--sets fashion-mnist synthetic synthetic-128] [--threads 1 8]
                                [--ef 10 15 20 30 40 50 70 100 200] [--runs 3]

Build: tamix's new_hnsw + add + persist + the first search (which inserts the vectors into
the graph); hnswlib's init_index + add_items; FAISS's add; usearch's Index + add (its
threads the worker count). Each graph is built once per process: ours is then searched at
each ef by reopening its directory after rewriting the ef_search field of hnsw.graph (a
fixed place in the documented layout), as the peers set their ef on one graph. Throughput
is compared at each of our measured points with each peer at the same recall, interpolated
linearly between the peer's measured ef points (those not beaten by another with more
recall and more throughput). Our search takes at least 2k candidates, so our points below
ef 20 repeat ef 20; the peers' extend their curves below our lowest recall, so that point
is compared at equal recall too.

Memory per vector: ours as the growth of anonymous resident memory over the first search
(the graph build and the commit of ids and metadata) and as the size of hnsw.graph (u64
slots); hnswlib's as its saved index minus the vectors it copies (links, upper layers,
labels) and as its resident growth minus those vectors, and with them: ours reads the
vectors from the store's mapping and keeps no copy.
"""
import argparse
import os
import shutil
import struct
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from datasets import NAMES, load, normalised, recall_at_k  # noqa: E402
from peer_runs import (K, SATURATED, format_ratio, least_ratio, ratio_at,  # noqa: E402
                       parse_args, rss_anon, run_all, take_turns, timed, write_result)

M, EF_CONSTRUCTION = 16, 200
# The tail of hnsw.graph: m, m_max, m_max0, ef_construction, ef_search (u64 each), ml (f32)
# and use_quantization (u8); ef_search starts 13 bytes before the end.
EF_SEARCH_FROM_END = 13


def set_graph_ef(path, ef):
    with open(path, "r+b") as f:
        f.seek(-EF_SEARCH_FROM_END, os.SEEK_END)
        f.write(struct.pack("<Q", ef))


def build_tamix(root, data, ef, r):
    import tamix

    n, dim = data.shape
    path = os.path.join(root, "tamix")

    def build():
        db = tamix.TamixPython.new_hnsw(path, dim, m=M, ef_construction=EF_CONSTRUCTION,
                                        ef_search=ef)
        db.add([str(i) for i in range(n)], data, ["{}"] * n)
        before = rss_anon()
        r["tamix_graph_s"], _ = timed(lambda: db.search(data[0], K))
        r["tamix_rss_per_vector"] = (rss_anon() - before) / n
        return db

    r["tamix_build_s"], db = timed(build)
    db.persist()
    del db
    r["tamix_file_per_vector"] = os.path.getsize(os.path.join(path, "hnsw.graph")) / n
    return path


def build_hnswlib(root, unit, threads, r):
    import hnswlib

    n, dim = unit.shape
    before = rss_anon()

    def build():
        index = hnswlib.Index(space="ip", dim=dim)
        index.init_index(max_elements=n, M=M, ef_construction=EF_CONSTRUCTION)
        index.add_items(unit, np.arange(n), num_threads=threads)
        return index

    r["hnswlib_build_s"], index = timed(build)
    vectors = n * dim * 4
    r["hnswlib_rss_per_vector"] = (rss_anon() - before - vectors) / n
    r["vector_bytes"] = dim * 4
    saved = os.path.join(root, "hnswlib.bin")
    index.save_index(saved)
    r["hnswlib_file_per_vector"] = (os.path.getsize(saved) - vectors) / n
    os.remove(saved)
    index.set_num_threads(1)
    return index


def build_faiss(unit, threads, r):
    import faiss

    faiss.omp_set_num_threads(threads)
    index = faiss.IndexHNSWFlat(unit.shape[1], M, faiss.METRIC_INNER_PRODUCT)
    index.hnsw.efConstruction = EF_CONSTRUCTION
    r["faiss_build_s"], _ = timed(lambda: index.add(unit))
    return index


def build_usearch(unit, threads, r):
    from usearch.index import Index

    def build():
        # f32 storage as the others keep: left to itself usearch picks bf16 on this hardware.
        index = Index(ndim=unit.shape[1], metric="ip", dtype="f32", connectivity=M,
                      expansion_add=EF_CONSTRUCTION)
        index.add(np.arange(len(unit)), unit, threads=threads)
        return index

    r["usearch_build_s"], index = timed(build)
    return index


def measure_ef(path, dim, ef, hnsw, flat_hnsw, usearch, queries, unit_q, truth, runs):
    import tamix

    set_graph_ef(os.path.join(path, "hnsw.graph"), ef)
    db = tamix.TamixPython(path, dim, "hnsw")
    hnsw.set_ef(ef)
    flat_hnsw.hnsw.efSearch = ef
    usearch.expansion_search = ef
    rows = [unit_q[i:i + 1] for i in range(len(unit_q))]
    searchers = {
        "tamix": lambda i: db.search(queries[i], K),
        "hnswlib": lambda i: hnsw.knn_query(rows[i], K)[0],
        "faiss": lambda i: flat_hnsw.search(rows[i], K)[1],
        # Its threads=0 would mean every core, even for one query.
        "usearch": lambda i: usearch.search(rows[i], K, threads=1).keys,
    }
    qps, answers = take_turns(searchers, len(queries), runs)
    del db
    found = {
        "tamix": [[int(i) for i, _ in hits] for hits in answers["tamix"]],
        "hnswlib": [a[0] for a in answers["hnswlib"]],
        "faiss": [a[0] for a in answers["faiss"]],
        "usearch": [a.tolist() for a in answers["usearch"]],
    }
    return {name: {"qps": qps[name], "recall": recall_at_k(found[name], truth, K)}
            for name in searchers}


def worker(args):
    data, queries = load(args.set)
    truth = np.load(args.truth)
    unit, unit_q = normalised(data), normalised(queries)
    root = tempfile.mkdtemp(prefix="tamix_hnsw_peers_")
    r = {}
    try:
        path = build_tamix(root, data, args.ef[0], r)
        hnsw = build_hnswlib(root, unit, args.threads, r)
        flat_hnsw = build_faiss(unit, args.threads, r)
        usearch = build_usearch(unit, args.threads, r)
        r["ef"] = {ef: measure_ef(path, data.shape[1], ef, hnsw, flat_hnsw, usearch, queries,
                                  unit_q, truth, args.runs) for ef in args.ef}
    finally:
        shutil.rmtree(root)
    write_result(args, r)


def report(name, threads, r):
    ef = r["ef"]
    peers = ("hnswlib", "faiss", "usearch")
    curve = {lib: [(v[lib]["recall"], v[lib]["qps"]) for v in ef.values()] for lib in peers}
    print(f"\n{name}, {threads} worker(s)")
    print(f"  build s: tamix {r['tamix_build_s']:.1f} (graph {r['tamix_graph_s']:.1f}), "
          f"hnswlib {r['hnswlib_build_s']:.1f}, faiss {r['faiss_build_s']:.1f}, "
          f"usearch {r['usearch_build_s']:.1f}; "
          f"tamix / hnswlib {r['tamix_build_s'] / r['hnswlib_build_s']:.2f}x")
    print(f"  bytes per vector: tamix resident growth {r['tamix_rss_per_vector']:.0f}, "
          f"hnsw.graph {r['tamix_file_per_vector']:.0f}; hnswlib saved minus vectors "
          f"{r['hnswlib_file_per_vector']:.0f}, resident growth minus vectors "
          f"{r['hnswlib_rss_per_vector']:.0f}, with its copy of them "
          f"{r['hnswlib_rss_per_vector'] + r['vector_bytes']:.0f}")
    print(f"  {'ef':>5}" + "".join(f"{lib:>16}" for lib in ("tamix",) + peers)
          + "".join(f"{'/' + lib:>10}" for lib in peers)
          + "   (recall qps; the peer at our recall)")
    judged = []
    for e, v in ef.items():
        cells = "".join(f"{v[lib]['recall']:>8.3f}{v[lib]['qps']:>8,.0f}"
                        for lib in ("tamix",) + peers)
        ours = v["tamix"]
        ratios = [ratio_at(curve[lib], ours["recall"], ours["qps"]) for lib in peers]
        judged += [(ours["recall"], x) for x in ratios]
        print(f"  {e:>5}{cells}" + "".join(f"{format_ratio(x):>10}" for x in ratios))
    worst = least_ratio(judged)
    at50 = ef.get("50", {}).get("tamix", {}).get("recall")
    build_ok = r["tamix_build_s"] <= r["hnswlib_build_s"]
    print(f"  targets: build <= hnswlib {'ok' if build_ok else 'MISSED'}; "
          f"qps at equal recall >= every peer {'ok' if worst >= 1 else 'MISSED'} "
          f"(least ratio below recall {SATURATED}: {worst:.2f}x)"
          + ("" if at50 is None else
             f"; recall@10 at ef 50 {at50:.3f} {'ok' if at50 >= 0.95 else 'MISSED'}"),
          flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--ef", type=int, nargs="+", default=[10, 15, 20, 30, 40, 50, 70, 100, 200])
    args = parse_args(parser, worker, runs=3, sets=NAMES)
    if args is None:
        return

    print(f"HNSW, M {M}, ef_construction {EF_CONSTRUCTION}, k {K}, 1,000 single queries, "
          f"best of {args.runs} passes; load average {os.getloadavg()[0]:.1f}")
    extra = ["--runs", str(args.runs), "--ef"] + [str(e) for e in args.ef]
    run_all(__file__, args, extra, report)


if __name__ == "__main__":
    main()
