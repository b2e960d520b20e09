"""The per-object borrow flag: conflicts fail at once and every path gives it back."""
import threading
import time

import numpy as np
import pytest

import tamix
from conftest import DIM, fill, ids


def test_shared_call_during_exclusive_call_is_refused(db):
    data = fill(db, 10)

    class K:  # converted while search holds the object exclusively
        def __index__(self):
            return db.count()

    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        db.search(data[0], K())


def test_exclusive_call_during_exclusive_call_is_refused(db):
    class Rows:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            db.add([], [], [])

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        db.add(["a"], Rows(), ["{}"])


def test_borrow_is_given_back_after_failures(db):
    data = fill(db, 10)
    with pytest.raises(ValueError):
        db.search([0.5] * 3, 1)
    with pytest.raises(TypeError):
        db.add(["a"], "x", ["{}"])
    with pytest.raises(TypeError):
        db.search()
    with pytest.raises(ValueError):
        db.get("missing")
    assert db.count() == 10
    assert db.add(["new"], data[:1], ["{}"]) == 1
    assert db.search(data[3], 1)[0][0] == "id3"


def test_calls_from_another_thread_during_search_are_refused(tmp_path):
    n = 200_000
    db = tamix.TamixPython(str(tmp_path / "big"), DIM)
    data = np.random.default_rng(1).standard_normal((n, DIM), dtype=np.float32)
    db.add(ids(n), data, ["{}"] * n)
    db.persist()

    stop = threading.Event()
    failures = []

    def searcher():
        try:
            while not stop.is_set():
                db.search(data[0], 10)
        except Exception as e:  # noqa: BLE001 - reported by the main thread
            failures.append(e)

    calls = {"count": db.count, "add": lambda: db.add([], [], [])}
    seen = {}
    thread = threading.Thread(target=searcher)
    thread.start()
    try:
        deadline = time.monotonic() + 60
        while len(seen) < len(calls) and time.monotonic() < deadline and thread.is_alive():
            for name, call in calls.items():
                try:
                    call()
                except RuntimeError as e:
                    seen.setdefault(name, str(e))
    finally:
        stop.set()
        thread.join()
    assert not failures
    assert seen == {"count": "Already mutably borrowed", "add": "Already borrowed"}
