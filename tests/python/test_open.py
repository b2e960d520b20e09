"""The constructor: validation, directories, failures, and the one-line description."""
import os
import sqlite3

import pytest

import tamix
from conftest import DIM, fill, ids

DIM_MESSAGE = ("Dimension must be between 128 and 4096, got {}. Common values: 384 (MiniLM), "
               "768 (MPNet/Cohere), 1024 (Cohere v3), 1536 (OpenAI)")
MODE_MESSAGE = "Invalid mode '{}'. Choose: 'flat', 'hnsw', 'sq8', 'pq', or 'auto'"


@pytest.mark.parametrize("dimension", [0, 127, 4097])
def test_dimension_out_of_range_touches_nothing(tmp_path, dimension):
    path = tmp_path / "db"
    with pytest.raises(ValueError) as info:
        tamix.TamixPython(str(path), dimension)
    assert str(info.value) == DIM_MESSAGE.format(dimension)
    assert not path.exists()


@pytest.mark.parametrize("dimension", [128, 4096])
def test_dimension_bounds_accepted(tmp_path, dimension):
    db = tamix.TamixPython(str(tmp_path / "db"), dimension)
    assert repr(db) == f"Tamix(dimension={dimension}, mode='flat', vectors=0)"


@pytest.mark.parametrize("mode", ["ivfx", " flat", "flat ", "", "flat\0x"])
def test_unknown_mode_word(tmp_path, mode):
    with pytest.raises(ValueError) as info:
        tamix.TamixPython(str(tmp_path / "db"), DIM, mode)
    assert str(info.value) == MODE_MESSAGE.format(mode)
    assert not (tmp_path / "db").exists()


def test_mode_word_is_case_blind_and_shown_as_given(tmp_path):
    db = tamix.TamixPython(str(tmp_path / "db"), DIM, "FLAT")
    assert db.info() == f"Tamix(dimension={DIM}, mode='FLAT', vectors=0)"


def test_defaults(tmp_path):
    db = tamix.TamixPython(str(tmp_path / "db"))
    assert repr(db) == "Tamix(dimension=1536, mode='flat', vectors=0)"


def test_missing_parents_are_created(tmp_path):
    path = tmp_path / "a" / "b" / "c"
    tamix.TamixPython(str(path), DIM)
    assert (path / "vectors.bin").is_file() and (path / "metadata.db").is_file()


def test_empty_path_is_the_working_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    db = tamix.TamixPython("", DIM)
    fill(db, 5)
    db.persist()
    assert {"vectors.bin", "metadata.db"} <= set(os.listdir(tmp_path))


def test_nul_in_path(tmp_path):
    with pytest.raises(RuntimeError) as info:
        tamix.TamixPython(str(tmp_path / "a\0b"), DIM)
    assert str(info.value) == "Database init failed: file name contained an unexpected NUL byte"


def test_path_that_is_a_file(tmp_path):
    (tmp_path / "file").write_text("x")
    with pytest.raises(RuntimeError, match="^Database init failed: "):
        tamix.TamixPython(str(tmp_path / "file"), DIM)


def test_second_open_of_a_live_directory_fails_and_spares_the_first(db_path):
    first = tamix.TamixPython(db_path, DIM)
    data = fill(first, 100)
    with pytest.raises(RuntimeError) as info:
        tamix.TamixPython(db_path, DIM)
    assert str(info.value) == "Database init failed: Failed to create metadata.db"
    assert first.search(data[3], 1)[0][0] == "id3"
    assert first.count() == 100


def test_reopen_with_another_dimension(db_path):
    db = tamix.TamixPython(db_path, 256)
    del db
    with pytest.raises(RuntimeError) as info:
        tamix.TamixPython(db_path, DIM)
    assert str(info.value) == ("Database init failed: Database dimension mismatch: expected "
                               f"{DIM}, found 256. Cannot change dimension of existing database.")


def test_info_counts_vectors(db):
    fill(db, 10)
    assert db.info() == repr(db) == f"Tamix(dimension={DIM}, mode='flat', vectors=10)"


# This system writes ids as text: a blob, even one of valid UTF-8 ("id5"), is damage too.
@pytest.mark.parametrize("stored", ["CAST(X'6964FF35' AS TEXT)", "X'696435'"])
def test_a_stored_id_that_is_not_utf8_is_skipped_and_the_others_stay_reachable(db_path, capfd,
                                                                               stored):
    db = tamix.TamixPython(db_path, DIM)
    data = fill(db, 10)
    del db
    with sqlite3.connect(os.path.join(db_path, "metadata.db")) as conn:
        conn.execute(f"UPDATE ids SET id = {stored} WHERE slot = 5")
    conn.close()
    capfd.readouterr()
    db = tamix.TamixPython(db_path, DIM)
    assert capfd.readouterr().err == "Skipped the stored id of slot 5: not valid UTF-8\n"
    assert sorted(db.get_all_ids()) == sorted(set(ids(10)) - {"id5"})
    hits = db.search(data[5], 10)
    assert [h[0] for h in hits] == [h[0] for h in db.search_batch([data[5]], 10)[0]]
    assert len(hits) == 9 and db.search(data[4], 1)[0][0] == "id4"


def test_a_stored_text_that_is_not_utf8_fails_get_of_its_id_alone(db_path):
    db = tamix.TamixPython(db_path, DIM)
    fill(db, 10)
    del db
    with sqlite3.connect(os.path.join(db_path, "metadata.db")) as conn:
        conn.execute("UPDATE metadata SET text = CAST(X'7B22FF227D' AS TEXT) WHERE slot = 3")
    conn.close()
    db = tamix.TamixPython(db_path, DIM)
    with pytest.raises(RuntimeError) as info:
        db.get("id3")
    assert str(info.value) == "Metadata is not valid UTF-8: id3"
    assert db.get("id4") == '{"__id__":"id4","n":4}'
