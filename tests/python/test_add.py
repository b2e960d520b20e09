"""add: vector sources, validation, and what is stored."""
import json
import locale

import numpy as np
import pytest

import tamix
from conftest import DIM, fill, ids, metas, vectors


def open_db(tmp_path, name):
    return tamix.TamixPython(str(tmp_path / name), DIM)


def results(db, queries):
    return [db.search(q, 5) for q in queries]


def test_returns_number_added(db):
    assert db.add(ids(3), vectors(3), metas(3)) == 3
    assert db.add([], [], []) == 0
    assert db.count() == 3


@pytest.mark.parametrize("convert", [
    lambda a: a.tolist(),
    lambda a: [tuple(row) for row in a.tolist()],
    lambda a: a.astype(np.float64),
    lambda a: list(a),                     # list of 1-D arrays
    lambda a: list(a.astype(np.float64)),
    lambda a: np.asfortranarray(a),
    lambda a: np.repeat(a, 2, axis=1)[:, ::2],  # strided columns
    lambda a: memoryview(a),
], ids=["lists", "tuples", "f64", "rows", "f64rows", "fortran", "strided", "memoryview"])
def test_every_vector_source_stores_the_same(tmp_path, convert):
    data = vectors(200)
    queries = vectors(5, seed=9)
    reference = open_db(tmp_path, "ref")
    reference.add(ids(200), data, metas(200))
    other = open_db(tmp_path, "other")
    other.add(ids(200), convert(data), metas(200))
    assert results(other, queries) == results(reference, queries)


def test_row_slices_of_a_bigger_array(tmp_path):
    big = vectors(400)
    a, b = open_db(tmp_path, "a"), open_db(tmp_path, "b")
    a.add(ids(200), big[::2], metas(200))
    b.add(ids(200), big[::2].copy(), metas(200))
    assert results(a, big[:3]) == results(b, big[:3])


def test_float64_values_are_narrowed_like_lists(tmp_path):
    data = vectors(50, dtype=np.float64) / 3.0
    a, b = open_db(tmp_path, "a"), open_db(tmp_path, "b")
    a.add(ids(50), data, metas(50))
    b.add(ids(50), data.tolist(), metas(50))
    assert results(a, data[:4]) == results(b, data[:4].tolist())


def test_integers_are_accepted_as_floats(db):
    db.add(["ints"], [list(range(1, DIM + 1))], ["{}"])
    assert db.search([float(i) for i in range(1, DIM + 1)], 1)[0][0] == "ints"


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
def test_non_finite_vectors_are_refused(db, bad):
    data = vectors(3)
    data[1, 5] = bad
    with pytest.raises(ValueError, match="Vector 1 "):
        db.add(ids(3), data, metas(3))
    with pytest.raises(ValueError):
        db.add(ids(3), data.tolist(), metas(3))
    assert db.count() == 0


def test_lengths_must_agree(db):
    with pytest.raises(ValueError, match="^ids, embeddings, and metadatas must have same length$"):
        db.add(ids(2), vectors(2), metas(1))
    with pytest.raises(ValueError, match="same length"):
        db.add(ids(2), vectors(1, dim=7), metas(2))  # lengths before dimensions


def test_wrong_dimension_names_the_vector(db):
    batch = [[0.5] * DIM, [0.5] * 64]
    with pytest.raises(ValueError) as info:
        db.add(ids(2), batch, metas(2))
    assert str(info.value) == (
        f"Vector 1 has dimension 64, expected {DIM}. Database was created with dimension {DIM}. "
        "Common models: 384 (MiniLM), 768 (MPNet), 1536 (OpenAI)")


def test_duplicate_of_an_earlier_call_refuses_the_batch(db):
    fill(db, 5)
    with pytest.raises(ValueError) as info:
        db.add(["new", "id2"], vectors(2), metas(2))
    assert str(info.value) == "Duplicate ID: 'id2'. Use unique IDs or call delete() first."
    assert db.count() == 5
    assert "new" not in db.get_all_ids()
    db.add(["a\0b"], vectors(1), ["{}"])
    with pytest.raises(ValueError, match="^Duplicate ID: 'a\0b'. Use"):
        db.add(["a\0b"], vectors(1), ["{}"])


def test_metadata_is_normalised(db):
    db.add(["x", "y", "z"], vectors(3),
           ['{ "b": 2, "a": {"d": 1, "c": 0} }', "not json", "[1, 2]"])
    assert db.get("x") == '{"__id__":"x","a":{"c":0,"d":1},"b":2}'
    assert json.loads(db.get("y")) == {"__id__": "y"}
    assert db.get("z") == "[1,2]"


def test_metadata_numbers_ignore_the_locale(db):
    saved = locale.setlocale(locale.LC_ALL)
    try:
        locale.setlocale(locale.LC_ALL, "de_DE.UTF-8")
    except locale.Error:
        pytest.skip("no comma-decimal locale")
    try:
        db.add(["x"], vectors(1), ['{"price": 1.5, "tiny": -2.5e-3}'])
    finally:
        locale.setlocale(locale.LC_ALL, saved)
    assert db.get("x") == '{"__id__":"x","price":1.5,"tiny":-0.0025}'


def test_one_long_row_then_many_empty_ones(tmp_path):
    # Sized from the first row alone, the copy would need 32 GB.
    n, dim = 2_000_001, 4096
    db = tamix.TamixPython(str(tmp_path / "db"), dim)
    with pytest.raises(ValueError, match=f"^Vector 1 has dimension 0, expected {dim}\\."):
        db.add(["a"] * n, [[0.5] * dim] + [[]] * (n - 1), ["{}"] * n)
