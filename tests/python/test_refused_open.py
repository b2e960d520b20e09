"""Opens that refuse a directory whose files cannot hold what its last commit counts, and
leave every file as it was."""
import os
import sqlite3
import subprocess
import sys

import pytest

import tamix
from conftest import DIM, fill, ids, vectors

SQ8 = tamix.TamixPython.new_scalar_quantized
PQ = tamix.TamixPython.new_product_quantized
STORES = {"flat": "vectors.bin", "sq8": "sq8_vectors.bin", "pq": "quantized_vectors.bin"}
RECORD = {"flat": 4 * DIM, "sq8": DIM, "pq": DIM // 8}


def snapshot(path):
    files = {}
    for root, _, names in os.walk(path):
        for name in names:
            with open(os.path.join(root, name), "rb") as f:
                files[os.path.relpath(os.path.join(root, name), path)] = f.read()
    return files


def constructors(store):
    main = ("Database init failed: ", lambda path: tamix.TamixPython(path, DIM))
    own = {"sq8": SQ8, "pq": PQ}.get(store)
    return [main] if own is None else [main, ("", lambda path: own(path, DIM, vectors(300)))]


def committed(path, store):
    db = constructors(store)[-1][1](path)
    fill(db, 1200)
    db.persist()


def missing(file):
    os.rename(file, file + ".away")
    return 0


def count_zero(file):
    with open(file, "r+b") as f:
        f.seek(8)
        f.write(bytes(8))
    return 0


def put_back(file, original):
    if os.path.exists(file + ".away"):
        os.remove(file + ".away")
    with open(file, "wb") as f:
        f.write(original)


def truncated(store):
    def damage(file):
        os.truncate(file, 24 + 700 * RECORD[store])
        return 700
    return damage


@pytest.mark.parametrize("store", STORES)
@pytest.mark.parametrize("damage", ["missing", "count_zero", "truncated"])
def test_a_vector_file_behind_the_commit_is_refused_and_changes_nothing(tmp_path, store, damage):
    path = str(tmp_path / "db")
    committed(path, store)
    file = os.path.join(path, STORES[store])
    with open(file, "rb") as f:
        original = f.read()
    held = {"missing": missing, "count_zero": count_zero, "truncated": truncated(store)}[damage](file)
    before = snapshot(path)
    for prefix, make in constructors(store):
        with pytest.raises(RuntimeError) as info:
            make(path)
        assert str(info.value) == (f"{prefix}{STORES[store]} holds {held} vectors but the last "
                                   "commit counts 1200")
        assert snapshot(path) == before
    put_back(file, original)
    assert sorted(constructors(store)[-1][1](path).get_all_ids()) == sorted(ids(1200))


@pytest.mark.parametrize("key,value", [
    ("vector_count", "'abc'"), ("vector_count", "X'01'"), ("vector_count", "-5"),
    ("vector_count", "1.5"), ("vector_store", "7"), ("vector_store", "'x'"),
])
@pytest.mark.parametrize("store", ["flat", "sq8"])
def test_a_damaged_commit_point_is_refused_and_changes_nothing(tmp_path, store, key, value):
    path = str(tmp_path / "db")
    committed(path, store)
    with sqlite3.connect(os.path.join(path, "metadata.db")) as conn:
        conn.execute(f"UPDATE state SET value = {value} WHERE key = ?", (key,))
    conn.close()
    before = snapshot(path)
    for prefix, make in constructors(store):
        with pytest.raises(RuntimeError) as info:
            make(path)
        assert str(info.value) == f"{prefix}metadata.db: invalid {key} {value}"
        assert snapshot(path) == before


KILLED_AFTER_PERSIST = """
import os, signal, sys
import numpy as np, tamix
db = tamix.TamixPython(sys.argv[1], 128)
n = 1200
db.add([f"id{i}" for i in range(n)],
       np.random.default_rng(0).standard_normal((n, 128)).astype(np.float32), ["{}"] * n)
db.persist()
os.kill(os.getpid(), signal.SIGKILL)
"""


def test_a_refused_open_after_a_crash_keeps_the_wal_apart(tmp_path):
    path = str(tmp_path / "db")
    subprocess.run([sys.executable, "-c", KILLED_AFTER_PERSIST, path], timeout=60)
    assert os.path.getsize(os.path.join(path, "metadata.db-wal")) > 0  # the commit lives there
    missing(os.path.join(path, "vectors.bin"))
    before = snapshot(path)
    with pytest.raises(RuntimeError, match="vectors.bin holds 0 vectors but the last commit"):
        tamix.TamixPython(path, DIM)
    assert snapshot(path) == before
    os.rename(os.path.join(path, "vectors.bin.away"), os.path.join(path, "vectors.bin"))
    assert sorted(tamix.TamixPython(path, DIM).get_all_ids()) == sorted(ids(1200))


@pytest.mark.parametrize("damage", ["missing", "count_zero"])
def test_rows_without_a_commit_point_are_kept_when_their_vectors_are_lost(tmp_path, damage):
    path = str(tmp_path / "db")
    committed(path, "flat")
    with sqlite3.connect(os.path.join(path, "metadata.db")) as conn:
        conn.execute("DELETE FROM state")  # as written before commit points existed
    conn.close()
    file = os.path.join(path, "vectors.bin")
    with open(file, "rb") as f:
        original = f.read()
    {"missing": missing, "count_zero": count_zero}[damage](file)
    before = snapshot(path)
    with pytest.raises(RuntimeError) as info:
        tamix.TamixPython(path, DIM)
    assert str(info.value) == ("Database init failed: vectors.bin holds 0 vectors but "
                               "metadata.db holds rows for 1200 vectors")
    assert snapshot(path) == before
    put_back(file, original)
    assert sorted(tamix.TamixPython(path, DIM).get_all_ids()) == sorted(ids(1200))


OPEN_MEASURED = """
import resource, sys, tamix
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
db = tamix.TamixPython(sys.argv[1], 128)
grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
print(db.count(), len(db.get_all_ids()), grown)
"""


def test_an_uncommitted_tail_costs_the_open_nothing(tmp_path):
    path = str(tmp_path / "db")
    committed(path, "flat")
    file = os.path.join(path, "vectors.bin")
    tail = 4_000_000
    with open(file, "r+b") as f:  # a crashed writer's header over a sparse tail
        f.seek(8)
        f.write((1200 + tail).to_bytes(8, "little"))
    os.truncate(file, 24 + (1200 + tail) * RECORD["flat"])
    done = subprocess.run([sys.executable, "-c", OPEN_MEASURED, path], capture_output=True,
                          text=True, timeout=120, check=True)
    count, listed, grown_kib = map(int, done.stdout.split())
    assert (count, listed) == (1200, 1200)
    assert grown_kib < 200 * 1024  # the tail alone would map 2 GB of records
