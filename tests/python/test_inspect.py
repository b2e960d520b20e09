"""get, count, delete and get_all_ids."""
import pytest

from conftest import fill, ids


def test_get_returns_the_stored_text(db):
    fill(db, 3)
    assert db.get("id2") == '{"__id__":"id2","n":2}'


def test_get_of_unknown_id(db):
    with pytest.raises(ValueError, match="^ID not found: nope$"):
        db.get("nope")
    with pytest.raises(ValueError, match="^ID not found: no\0pe$"):
        db.get("no\0pe")


def test_get_all_ids_lists_every_id(db):
    fill(db, 20)
    assert sorted(db.get_all_ids()) == sorted(ids(20))


def test_delete_counts_known_ids_once(db):
    fill(db, 5)
    assert db.delete(["id1", "id1", "never"]) == 1
    assert db.delete([]) == 0
    assert "id1" not in db.get_all_ids()
    assert db.count() == 5
    with pytest.raises(ValueError):
        db.get("id1")


def test_deleted_id_may_be_added_again(db):
    data = fill(db, 5)
    db.delete(["id0"])
    assert db.add(["id0"], data[4:5], ["{}"]) == 1
    assert db.search(data[4], 2)[0][0] in {"id0", "id4"}
    assert db.count() == 6
