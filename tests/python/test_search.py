"""search and search_batch: results, query sources and refusals."""
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import tamix
from conftest import DIM, fill, vectors


@pytest.fixture
def data(db):
    return fill(db, 500)


def test_nearest_is_the_vector_itself(db, data):
    hits = db.search(data[7], 5)
    assert len(hits) == 5 and hits[0][0] == "id7"
    assert all(type(i) is str and type(s) is float for i, s in hits)
    scores = [s for _, s in hits]
    assert scores == sorted(scores, reverse=True)
    assert scores[0] == pytest.approx(1.0, abs=1e-5)


def test_query_sources_agree(db, data):
    q = data[11]
    expected = db.search(q, 8)
    assert db.search(q.tolist(), 8) == expected
    assert db.search(tuple(q.tolist()), 8) == expected
    assert db.search(q.astype(np.float64), 8) == expected
    assert db.search(np.repeat(q, 3)[::3], 8) == expected
    assert db.search(memoryview(q), 8) == expected


def test_k_zero_and_k_beyond_count(db, data):
    assert db.search(data[0], 0) == []
    assert len(db.search(data[0], 10_000)) == 500


def test_wrong_query_dimension(db, data):
    with pytest.raises(
            ValueError, match=f"^Query dimension 64 doesn't match database dimension {DIM}$"):
        db.search(data[0][:64], 1)


@pytest.mark.parametrize("bad", [np.nan, np.inf])
def test_non_finite_queries_are_refused(db, data, bad):
    q = data[0].copy()
    q[3] = bad
    with pytest.raises(ValueError):
        db.search(q, 1)
    with pytest.raises(ValueError, match="^Query 1 "):
        db.search_batch(np.stack([data[0], q]), 1)


def test_vectors_added_just_before_are_found(db, data):
    new = vectors(1, seed=77)
    db.add(["fresh"], new, ["{}"])
    assert db.search(new[0], 1)[0][0] == "fresh"


def test_deleted_ids_are_left_out(db, data):
    db.delete(["id3"])
    assert "id3" not in [i for i, _ in db.search(data[3], 10)]


def test_batch_equals_single_searches(db, data):
    queries = vectors(20, seed=5)
    batch = db.search_batch(queries, 6)
    single = [db.search(q, 6) for q in queries]
    for got, want in zip(batch, single):
        scores = [s for _, s in want]
        assert [s for _, s in got] == scores
        if len(set(scores)) == len(scores):  # equal scores may come in either order
            assert got == want


def test_batch_query_sources_agree(db, data):
    queries = vectors(10, seed=6)
    expected = db.search_batch(queries, 4)
    assert db.search_batch(queries.tolist(), 4) == expected
    assert db.search_batch(list(queries), 4) == expected
    assert db.search_batch(queries.astype(np.float64), 4) == expected
    assert db.search_batch(np.asfortranarray(queries), 4) == expected


def test_batch_edges(db, data):
    assert db.search_batch([], 3) == []
    assert db.search_batch(data[:2], 0) == [[], []]
    with pytest.raises(
            ValueError, match=f"^Query 1 dimension 5 doesn't match database dimension {DIM}$"):
        db.search_batch([data[0], [1.0] * 5], 1)


def test_search_on_empty_database(db):
    assert db.search([0.5] * DIM, 3) == []
    assert db.search_batch([[0.5] * DIM], 3) == [[]]


ONE_WORKER_SEARCH = textwrap.dedent("""
    import sys
    import numpy as np
    import tamix
    db = tamix.TamixPython(sys.argv[1], 128)
    print(repr([db.search(q, 7) for q in np.load(sys.argv[2])]))
""")


def test_one_worker_answers_as_the_pool_does(db_path, tmp_path):
    # One worker scans without the pool, a path the pool of this process never takes.
    db = tamix.TamixPython(db_path, DIM)
    fill(db, 3000)
    db.delete(["id5", "id700", "id2999"])
    queries = vectors(4, seed=1)
    expected = [db.search(q, 7) for q in queries]
    del db
    query_file = str(tmp_path / "q.npy")
    np.save(query_file, queries)
    done = subprocess.run([sys.executable, "-c", ONE_WORKER_SEARCH, db_path, query_file],
                          capture_output=True, text=True, timeout=60,
                          env={**os.environ, "RAYON_NUM_THREADS": "1"})
    assert done.stderr == "" and eval(done.stdout) == expected
