"""The quantized stores from Python: their constructors, reopening, and the adaptive
conversion of a flat store to SQ8."""
import os

import numpy as np
import pytest

import tamix
from conftest import DIM, fill, ids, metas, vectors

SQ8 = tamix.TamixPython.new_scalar_quantized
PQ = tamix.TamixPython.new_product_quantized


def training(n=600, seed=5):
    return vectors(n, seed=seed)


def top_ids(db, data, k=1):
    return [[hit[0] for hit in hits] for hits in db.search_batch(data, k)]


@pytest.mark.parametrize("make", [SQ8, PQ])
def test_training_vectors_are_checked_before_anything_is_created(tmp_path, make):
    path = str(tmp_path / "db")
    cases = [
        ([], "Training vectors required. Provide 1000+ sample vectors for best results."),
        ([[0.5] * DIM, [0.5] * DIM, [0.5] * 64],
         f"Training vector 2 has dimension 64, expected {DIM}"),
        ([[0.5] * DIM, [0.5] * (DIM - 1) + [float("nan")]],
         "Training vector 1 contains NaN or infinite values"),
    ]
    for train, message in cases:
        with pytest.raises(ValueError) as e:
            make(path, DIM, train)
        assert str(e.value) == message
    assert not os.path.exists(path)


@pytest.mark.parametrize("make", [SQ8, PQ])
def test_adds_searches_and_reopens_with_every_vector(tmp_path, make):
    path = str(tmp_path / "db")
    db = make(path, DIM, training())
    data = fill(db, 500)
    assert top_ids(db, data[:50]) == [[i] for i in ids(50)]
    del db
    for round, reopen in enumerate((lambda: make(path, DIM, training(seed=9)),
                                    lambda: tamix.TamixPython(path, DIM, "flat"),
                                    lambda: tamix.TamixPython(path, DIM, "auto"))):
        db = reopen()
        assert db.count() == 500 + 10 * round
        assert sorted(db.get_all_ids()) == sorted(ids(500))
        assert top_ids(db, data[:50]) == [[i] for i in ids(50)]
        fill(db, 10, seed=3, start=1000)
        assert db.search(vectors(10, seed=3)[4], 1)[0][0] == "id1004"
        db.delete(ids(10, 1000))
        del db


@pytest.mark.parametrize("make", [SQ8, PQ])
def test_an_empty_quantized_database_reopens_with_its_store(tmp_path, make):
    path = str(tmp_path / "db")
    make(path, DIM, training()).persist()
    db = tamix.TamixPython(path, DIM)
    data = fill(db, 20)
    assert db.search(data[7], 1)[0][0] == "id7"
    del db
    assert make(path, DIM, training()).count() == 20


@pytest.mark.parametrize("make", [SQ8, PQ])
@pytest.mark.parametrize("dimension", [64, 100, 4104])
def test_what_a_constructor_creates_outside_the_main_range_it_reopens(tmp_path, make, dimension):
    path = str(tmp_path / "db")
    train = np.random.default_rng(1).standard_normal((300, dimension), dtype=np.float32)
    db = make(path, dimension, train)
    db.add(["a", "b"], train[:2], ["{}", "{}"])
    db.persist()
    del db
    db = make(path, dimension, train)
    assert db.count() == 2 and db.search(train[1], 1)[0][0] == "b"


@pytest.mark.parametrize("make", [SQ8, PQ])
def test_dimension_zero_is_refused_before_anything_is_created(tmp_path, make):
    path = str(tmp_path / "db")
    with pytest.raises(ValueError, match="^Dimension must be at least 1, got 0$"):
        make(path, 0, [[]])
    assert not os.path.exists(path)


def test_product_quantized_progress_and_info(tmp_path, capfd):
    db = PQ(str(tmp_path / "db"), DIM, training())
    out = capfd.readouterr().out.splitlines()
    assert out[0] == "Training Product Quantizer with M=16, K=256, D_sub=8"
    assert sorted(out[1:-1]) == sorted(f"Training sub-quantizer {i}/16" for i in range(1, 17))
    assert out[-1] == "Training complete!"
    assert repr(db) == f"Tamix(dimension={DIM}, mode='pq', vectors=0, memory=0MB, compression=0.0x)"
    fill(db, 20)
    assert db.info() == f"Tamix(dimension={DIM}, mode='pq', vectors=20, memory=0MB, compression=32.0x)"


def test_stored_quantizer_is_kept_once_codes_exist(tmp_path, capfd):
    path = str(tmp_path / "db")
    db = PQ(path, DIM, training())
    data = fill(db, 100)
    before = db.search(data[7], 5)
    del db
    with open(os.path.join(path, "codebooks.bin"), "rb") as f:
        codebooks = f.read()
    capfd.readouterr()
    db = PQ(path, DIM, training(seed=77))
    assert capfd.readouterr().out == ""  # no training ran
    assert db.search(data[7], 5) == before
    with open(os.path.join(path, "codebooks.bin"), "rb") as f:
        assert f.read() == codebooks


@pytest.mark.parametrize("make", [SQ8, PQ])
def test_second_open_of_a_live_directory_changes_no_file(tmp_path, make):
    path = str(tmp_path / "db")
    db = make(path, DIM, training())
    fill(db, 50)
    db.persist()
    snapshot = {n: open(os.path.join(path, n), "rb").read() for n in os.listdir(path)}
    with pytest.raises(RuntimeError, match="Failed to create metadata.db"):
        make(path, DIM, training(seed=8))
    assert {n: open(os.path.join(path, n), "rb").read() for n in os.listdir(path)} == snapshot


def test_a_directory_of_another_store_is_refused(tmp_path):
    path = str(tmp_path / "db")
    db = tamix.TamixPython(path, DIM)
    fill(db, 10)
    del db
    with pytest.raises(RuntimeError, match="vectors.bin"):
        SQ8(path, DIM, training())
    assert tamix.TamixPython(path, DIM).count() == 10


def test_migration_at_the_threshold_prints_its_lines_and_keeps_every_vector(tmp_path, capfd):
    path = str(tmp_path / "db")
    # A stale code file from an earlier attempt must not shift a single slot.
    stale = SQ8(path, DIM, training())
    fill(stale, 30, seed=11, start=90000)
    del stale
    os.remove(os.path.join(path, "metadata.db"))
    db = tamix.TamixPython(path, DIM, "auto")
    data = vectors(50000, seed=1)
    db.add(ids(49999), data[:49999], metas(49999))
    db.persist()
    capfd.readouterr()
    db.add(["last"], data[49999:], ['{}'])
    assert db.search(data[49999], 1)[0][0] == "last"
    assert capfd.readouterr().out.splitlines() == [
        "Tamix Adaptive Core: Migrating from Flat to Sq8",
        "  -> Compressing to SQ8 (Scalar Quantization)...",
        "  -> Quantizing 50000 vectors...",
        "  -> SQ8 Migration Complete.",
    ]
    assert db.count() == 50000
    probe = list(range(0, 49999, 997))
    assert top_ids(db, data[probe]) == [[f"id{i}"] for i in probe]
    db.search(data[0], 1)
    assert capfd.readouterr().out == ""  # nothing left to convert
    del db
    db = tamix.TamixPython(path, DIM)
    assert db.count() == 50000 and top_ids(db, data[probe]) == [[f"id{i}"] for i in probe]


def test_auto_on_a_reopened_large_flat_store_keeps_adding_and_converts(tmp_path, capfd):
    path = str(tmp_path / "db")
    db = tamix.TamixPython(path, DIM)
    data = vectors(50001, seed=2)
    db.add(ids(50000), data[:50000], metas(50000))
    del db
    db = tamix.TamixPython(path, DIM, "auto")
    db.add(["more"], data[50000:], ['{}'])
    assert db.search(data[50000], 1)[0][0] == "more"
    assert "  -> SQ8 Migration Complete." in capfd.readouterr().out.splitlines()
    assert db.count() == 50001


def test_auto_prints_nothing_where_no_conversion_applies(tmp_path, capfd):
    path = str(tmp_path / "db")
    db = PQ(path, DIM, training())
    fill(db, 20)
    del db
    capfd.readouterr()
    db = tamix.TamixPython(path, DIM, "auto")
    data = fill(db, 5, seed=4, start=100)
    db.search(data[0], 1)
    db.search_batch(data, 1)
    assert capfd.readouterr().out.splitlines() == [
        "Tamix Adaptive Core active. Analyzing environment...",
        "Tamix Auto-Tuner: System RAM 4 GB | Vectors 20 -> Selected Mode: Flat",
    ]
    assert db.search(data[0], 1)[0][0] == "id100"
