"""The HNSW graph from Python: its constructor, the graph file, and searches through it."""
import os
import struct

import numpy as np
import pytest

import tamix
from conftest import DIM, fill, ids, metas, vectors


def graph_file(path):
    return os.path.join(path, "hnsw.graph")


def self_hits(db, data, names):
    return sum(db.search(v, 1)[0][0] == name for v, name in zip(data, names))


def test_new_hnsw_finds_what_is_added_and_reopens(db_path):
    db = tamix.TamixPython.new_hnsw(db_path, DIM)
    assert repr(db) == f"Tamix(dimension={DIM}, mode='hnsw', vectors=0)"
    data = fill(db, 2000)
    assert self_hits(db, data[:200], ids(200)) == 200
    hits = db.search(data[5], 10)
    assert len(hits) == 10 and hits == sorted(hits, key=lambda h: -h[1])
    del db
    db = tamix.TamixPython(db_path, DIM, "hnsw")
    more = fill(db, 300, seed=9, start=5000)
    assert self_hits(db, more[:100], ids(100, 5000)) == 100
    assert self_hits(db, data[:100], ids(100)) == 100


def test_new_hnsw_on_a_filled_directory_indexes_what_it_holds(db_path):
    db = tamix.TamixPython(db_path, DIM)
    data = fill(db, 500)
    del db
    db = tamix.TamixPython.new_hnsw(db_path, DIM, m=8)
    assert sorted(db.get_all_ids()) == sorted(ids(500))
    assert self_hits(db, data[:100], ids(100)) == 100


def test_constructor_checks(tmp_path):
    with pytest.raises(ValueError) as e:
        tamix.TamixPython.new_hnsw(str(tmp_path / "a"), 100)
    assert str(e.value) == "Dimension must be between 128 and 4096, got 100"
    for m in (0, 1):
        with pytest.raises(ValueError) as e:
            tamix.TamixPython.new_hnsw(str(tmp_path / "b"), DIM, m=m)
        assert str(e.value) == f"m must be at least 2, got {m}"
    assert not os.path.exists(tmp_path / "a") and not os.path.exists(tmp_path / "b")


def test_deleted_vectors_take_no_place_in_a_graph_answer(db_path):
    db = tamix.TamixPython.new_hnsw(db_path, DIM)
    data = fill(db, 1000)
    db.delete(ids(1000)[::2])
    for q in data[:20]:
        hits = db.search(q, 10)
        assert len(hits) == 10 and all(int(h[0][2:]) % 2 == 1 for h in hits)


def clustered(n, seed, centres=100, noise_sd=1.5):
    c = np.random.default_rng(7).standard_normal((centres, DIM)).astype(np.float32)
    rng = np.random.default_rng(seed)
    noise = rng.standard_normal((n, DIM), dtype=np.float32)
    return c[rng.integers(0, centres, n)] + np.float32(noise_sd) * noise


def recall_at_10(db, queries, names, data):
    """Share of each query's exact top 10 among (names, data) that the graph answers."""
    unit = data / np.linalg.norm(data, axis=1, keepdims=True)
    top = np.argsort(-(queries @ unit.T), axis=1)[:, :10]
    found = sum(len({h[0] for h in db.search(q, 10)} & {names[i] for i in t})
                for q, t in zip(queries, top))
    return found / (10 * len(queries))


# An IVF index of one list answers through that list's graph alone.
@pytest.mark.parametrize("mode", ["hnsw", "ivf"])
def test_a_graph_with_most_vectors_deleted_answers_like_one_without(db_path, mode):
    if mode == "hnsw":
        db = tamix.TamixPython.new_hnsw(db_path, DIM)
    else:
        db = tamix.TamixPython(db_path, DIM, "ivf")
        db.configure_ivf(1, 1)
    data, names, queries = clustered(10000, 1), ids(10000), clustered(200, 2)
    db.add(names, data, metas(10000))
    if mode == "ivf":
        db.train_ivf()
    before = recall_at_10(db, queries, names, data)
    live = np.arange(0, 10000, 50)
    db.delete([n for i, n in enumerate(names) if i % 50 != 0])
    after = recall_at_10(db, queries, [names[i] for i in live], data[live])
    assert after >= before - 0.03


def test_updates_keep_graph_recall(db_path):
    db = tamix.TamixPython.new_hnsw(db_path, DIM)
    names = ids(500)
    for r in range(51):  # the first add and 50 replacements of every id
        if r:
            db.delete(names)
        data = clustered(500, 100 + r)
        db.add(names, data, metas(500))
        db.search(data[0], 1)
    assert recall_at_10(db, clustered(200, 2), names, data) >= 0.97


def test_graph_file_is_written_only_when_the_graph_changed(db_path):
    db = tamix.TamixPython.new_hnsw(db_path, DIM)
    db.persist()
    assert os.path.getsize(graph_file(db_path)) == 62  # the empty graph
    data = fill(db, 100)
    db.search(data[0], 1)
    stamp = os.stat(graph_file(db_path)).st_mtime_ns
    with open(graph_file(db_path), "rb") as f:
        image = f.read()
    db.search(data[1], 1)
    db.persist()
    assert os.stat(graph_file(db_path)).st_mtime_ns == stamp
    with open(graph_file(db_path), "rb") as f:
        assert f.read() == image


@pytest.mark.parametrize("content, line", [
    (b"", "Failed to load HNSW graph: io error: unexpected end of file"),
    (bytes(8) + b"\x02" + bytes(53), "Failed to load HNSW graph: tag for enum is not valid, found 2"),
    (bytes(17) + struct.pack("<5Qf?", 16, 0, 0, 200, 50, 50.0, False),
     "Failed to load HNSW graph: invalid configuration: m_max 0"),
])
def test_damaged_graph_is_reported_and_the_database_searches_exactly(db_path, capfd, content,
                                                                     line):
    db = tamix.TamixPython(db_path, DIM)
    data = fill(db, 50)
    del db
    with open(graph_file(db_path), "wb") as f:
        f.write(content)
    capfd.readouterr()
    db = tamix.TamixPython(db_path, DIM, "hnsw")
    assert capfd.readouterr().err == line + "\n"
    hits = db.search(data[3], 5)
    assert len(hits) == 5 and hits[0] == ("id3", pytest.approx(1.0))


def graph_records(image):
    """The node records of a graph image as (slot, bytes), and the bytes after them."""
    records, at = [], 8
    for _ in range(struct.unpack_from("<Q", image)[0]):
        start = at
        slot, _, _, lists = struct.unpack_from("<4Q", image, at)
        at += 32
        for _ in range(lists):
            at += 8 + 8 * struct.unpack_from("<Q", image, at)[0]
        records.append((slot, image[start:at]))
    return records, image[at:]


# A graph missing records of committed slots below others is refused and built again whole
# with the file's configuration: nodes inserted one by one into lists that still lead to their
# old places answered worse. Its entry is one such record.
@pytest.mark.parametrize("entry_kept", [False, True])
def test_a_graph_missing_node_records_answers_as_a_whole_one(db_path, capfd, entry_kept):
    db = tamix.TamixPython.new_hnsw(db_path, DIM, m=8, ef_construction=64, ef_search=128)
    data, names = fill(db, 3000), ids(3000)
    db.persist()
    with open(graph_file(db_path), "rb") as f:
        records, tail = graph_records(f.read())
    entry = struct.unpack_from("<Q", tail, 1)[0]
    near = [s for s in range(3000) if s % 10 < 3]
    gone = [s for s in near if s != entry] if entry_kept else [entry]
    intact = recall_at_10(db, data[near], names, data)
    del db
    kept = [r for r in records if r[0] not in set(gone)]
    with open(graph_file(db_path), "wb") as f:
        f.write(struct.pack("<Q", len(kept)) + b"".join(r for _, r in kept) + tail)
    capfd.readouterr()
    db = tamix.TamixPython(db_path, DIM, "hnsw")
    reason = (f"slot {gone[0]} has no node record ({len(gone)} slots up to 2999 lack one)"
              if entry_kept else f"entry point {entry} has no node record")
    assert capfd.readouterr().err == f"Failed to load HNSW graph: {reason}\n"
    assert recall_at_10(db, data[near], names, data) >= intact - 0.03
    assert self_hits(db, data, names) == 3000
    db.persist()
    with open(graph_file(db_path), "rb") as f:
        assert len(graph_records(f.read())[0]) == 3000
    del db
    tamix.TamixPython(db_path, DIM, "hnsw")
    assert capfd.readouterr().err == ""


def test_a_directory_named_like_the_graph_is_no_graph(db_path, capfd):
    os.makedirs(graph_file(db_path))
    db = tamix.TamixPython(db_path, DIM, "hnsw")
    data = fill(db, 20)
    assert db.search(data[3], 1)[0][0] == "id3"
    assert capfd.readouterr().err == ""


def test_auto_never_converts_a_database_with_a_graph(db_path, capfd):
    db = tamix.TamixPython.new_hnsw(db_path, DIM, ef_construction=40)
    data = vectors(50000, seed=3)
    db.add(ids(50000), data, metas(50000))
    db.persist()
    del db
    capfd.readouterr()
    db = tamix.TamixPython(db_path, DIM, "auto")
    assert db.search(data[9], 1)[0][0] == "id9"
    out = capfd.readouterr().out
    assert "Migrating" not in out and not os.path.exists(os.path.join(db_path, "sq8_vectors.bin"))
