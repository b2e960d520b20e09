"""The mode methods and the IVF index from Python: set_mode, configure_ivf, train_ivf."""
import os
import struct
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import tamix
from conftest import DIM, fill, ids, metas, vectors

CONFIG_DEFAULT = """{
  "nlist": 100,
  "nprobe": 10,
  "max_iterations": 20,
  "tolerance": 0.001,
  "hnsw_config": {
    "m": 16,
    "m_max": 16,
    "m_max0": 32,
    "ef_construction": 200,
    "ef_search": 50,
    "ml": 0.36067376,
    "use_quantization": false
  }
}"""


def ivf_file(path, *names):
    return os.path.join(path, "ivf", *names)


def read(path):
    with open(path, "rb") as f:
        return f.read()


# --- set_mode ---------------------------------------------------------------------------

def test_set_mode_words(db, capfd):
    data = fill(db, 20)
    for word in ("Flat", "HNSW", "ivf", "flat"):
        db.set_mode(word)
        assert repr(db) == f"Tamix(dimension={DIM}, mode='{word}', vectors=20)"
        assert db.search(data[4], 1)[0][0] == "id4"  # no graph, untrained index: exact
    db.set_mode("auto")
    assert capfd.readouterr().out.splitlines() == [
        "Tamix Adaptive Core active. Analyzing environment...",
        "Tamix Auto-Tuner: System RAM 4 GB | Vectors 20 -> Selected Mode: Flat",
    ]
    for word in ("pq", "product", "Flat "):
        with pytest.raises(ValueError) as e:
            db.set_mode(word)
        assert str(e.value) == f"Invalid mode: {word}"
        assert "mode='auto'" in repr(db)
    db.set_mode("Scalar")  # asked for by name: a flat database then refuses to add
    with pytest.raises(RuntimeError, match="Quantization enabled but quantized storage"):
        fill(db, 1, start=99)


def test_flat_mode_never_strands_a_product_quantized_database(tmp_path):
    db = tamix.TamixPython.new_product_quantized(str(tmp_path / "db"), DIM, vectors(300, seed=4))
    data = fill(db, 100)
    db.set_mode("flat")
    fill(db, 5, seed=2, start=500)
    assert db.search(data[6], 1)[0][0] == "id6" and db.count() == 105


# --- configure_ivf ----------------------------------------------------------------------

def test_configure_outside_ivf_mode_makes_no_index(db_path):
    db = tamix.TamixPython(db_path, DIM)
    db.configure_ivf(50)
    with pytest.raises(RuntimeError) as e:
        db.train_ivf()
    assert str(e.value) == ("IVF Training failed: IVF mode not enabled. "
                            "Call set_mode(IndexMode::Ivf) first.")
    db.set_mode("ivf")
    db.persist()
    assert read(ivf_file(db_path, "config.json")).decode() == CONFIG_DEFAULT
    # No centroids, then the training stamp (0: untrained) and the hash of config.json.
    assert read(ivf_file(db_path, "centroids.bin"))[:16] == bytes(16)
    parts = os.listdir(ivf_file(db_path, "partitions"))
    assert sorted(parts) == sorted(f"part_{i}.graph" for i in range(100))
    assert {os.path.getsize(ivf_file(db_path, "partitions", p)) for p in parts} == {62 + 8}


def test_configure_in_ivf_mode_replaces_the_index_and_prunes_old_files(db_path):
    db = tamix.TamixPython(db_path, DIM, "ivf")
    db.persist()
    db.configure_ivf(nprobe=5, nlist=4)
    db.persist()
    config = read(ivf_file(db_path, "config.json")).decode()
    assert '"nlist": 4,\n  "nprobe": 5,\n  "max_iterations": 10,' in config
    assert sorted(os.listdir(ivf_file(db_path, "partitions"))) == [
        f"part_{i}.graph" for i in range(4)]
    for args, message in (((65537,), "nlist must be at most 65536, got 65537"),
                          ((10, 0), "nprobe must be at least 1, got 0")):
        with pytest.raises(ValueError) as e:
            db.configure_ivf(*args)
        assert str(e.value) == message
    db.persist()
    assert '"nlist": 4,' in read(ivf_file(db_path, "config.json")).decode()


# --- train_ivf and search ---------------------------------------------------------------

def test_working_order(db_path, capfd):
    db = tamix.TamixPython(db_path, DIM)
    db.set_mode("ivf")
    db.configure_ivf(50, 5)
    data = fill(db, 3000)
    db.train_ivf()
    out = capfd.readouterr().out.splitlines()
    assert out[0] == "IVF: Training 50 centroids on 3000 vectors..."
    assert out[1].startswith("  -> Iteration 1: diff = ")
    assert out[-2:] == ["IVF: Populating partitions...", "IVF: Training complete."]
    hits = db.search(data[7], 10)
    assert hits[0][0] == "id7" and hits == sorted(hits, key=lambda h: -h[1])
    # Scores are those of the exact search, best first.
    exact = dict(db.search_batch([data[7]], 3000)[0])
    assert all(score == pytest.approx(exact[i], abs=1e-6) for i, score in hits)
    more = fill(db, 50, seed=8, start=9000)
    assert db.search(more[3], 1)[0][0] == "id9003"  # placed without retraining
    db.train_ivf()
    for q in data[:20]:
        names = [h[0] for h in db.search(q, 20)]
        assert len(names) == len(set(names)) == 20


def test_deleted_vectors_take_no_place_in_an_ivf_answer(db_path):
    db = tamix.TamixPython(db_path, DIM, "ivf")
    db.configure_ivf(20, 20)
    data = fill(db, 1000)
    db.train_ivf()
    db.delete(ids(1000)[::2])
    hits = db.search(data[1], 10)
    assert len(hits) == 10 and all(int(h[0][2:]) % 2 == 1 for h in hits)


def test_an_index_without_a_flat_store_leaves_the_search_to_the_store(tmp_path):
    db = tamix.TamixPython.new_scalar_quantized(str(tmp_path / "db"), DIM, vectors(300, seed=4))
    data = fill(db, 200)
    db.set_mode("ivf")
    db.train_ivf()
    assert db.search(data[9], 1)[0][0] == "id9"


def test_persist_writes_only_what_changed(db_path):
    db = tamix.TamixPython(db_path, DIM, "ivf")
    db.configure_ivf(8, 2)
    data = fill(db, 400)
    db.train_ivf()
    db.search(data[0], 1)
    stamps = {n: os.stat(ivf_file(db_path, n)).st_mtime_ns
              for n in ("config.json", "centroids.bin")}
    parts = {p: read(ivf_file(db_path, "partitions", p))
             for p in os.listdir(ivf_file(db_path, "partitions"))}
    db.search(data[1], 1)
    db.persist()
    assert {n: os.stat(ivf_file(db_path, n)).st_mtime_ns for n in stamps} == stamps
    assert {p: read(ivf_file(db_path, "partitions", p)) for p in parts} == parts


def test_another_thread_meets_the_borrow_during_training(db_path):
    db = tamix.TamixPython(db_path, DIM, "ivf")
    db.configure_ivf(200, 4)
    db.add(ids(20000), vectors(20000, seed=6), metas(20000))
    errors = []
    started = threading.Event()

    def train():
        started.set()
        db.train_ivf()

    worker = threading.Thread(target=train)
    worker.start()
    started.wait()
    while worker.is_alive():
        try:
            db.count()
        except RuntimeError as e:
            errors.append(str(e))
    worker.join()
    assert "Already mutably borrowed" in errors


def test_auto_never_converts_a_database_with_an_ivf_index(db_path, capfd):
    db = tamix.TamixPython(db_path, DIM, "ivf")
    db.set_mode("auto")
    data = vectors(50000, seed=3)
    db.add(ids(50000), data, metas(50000))
    assert db.search(data[5], 1)[0][0] == "id5"
    assert "Migrating" not in capfd.readouterr().out


BLOCKED_IVF_SCRIPT = textwrap.dedent("""
    import os, sys
    import numpy as np
    import tamix
    db = tamix.TamixPython(sys.argv[1], 128, "ivf")
    data = np.random.default_rng(0).standard_normal((300, 128), dtype=np.float32)
    db.add([f"id{i}" for i in range(300)], data, ["{}"] * 300)
    open(os.path.join(sys.argv[1], "ivf"), "w").close()  # a file where the directory goes
    try:
        db.persist()
    except RuntimeError as e:
        print(e)
    os._exit(0)  # a crash: no release commits after the failed persist
""")


def test_ivf_files_in_the_way_never_block_the_commit(db_path):
    done = subprocess.run([sys.executable, "-c", BLOCKED_IVF_SCRIPT, db_path],
                          capture_output=True, text=True, check=True, timeout=60)
    assert done.stdout.startswith("Persist failed: Not a directory")
    db = tamix.TamixPython(db_path, DIM, "ivf")
    assert sorted(db.get_all_ids()) == sorted(ids(300))
    with pytest.raises(RuntimeError, match="^Auto-persist failed: Not a directory"):
        db.search(vectors(1)[0], 1)
    os.remove(ivf_file(db_path))
    db.persist()
    assert read(ivf_file(db_path, "config.json")).decode() == CONFIG_DEFAULT


# --- reopening --------------------------------------------------------------------------

def file_stamps(path):
    names = [ivf_file(path, n) for n in ("config.json", "centroids.bin")]
    names += [ivf_file(path, "partitions", p) for p in os.listdir(ivf_file(path, "partitions"))]
    return {n: (os.stat(n).st_ino, os.stat(n).st_mtime_ns) for n in names}


def test_a_trained_index_survives_reopening(db_path, capfd):
    db = tamix.TamixPython(db_path, DIM, "ivf")
    db.configure_ivf(16, 1)
    data = fill(db, 2000)
    db.train_ivf()
    before = [db.search(q, 10) for q in data[:20]]
    assert before != [db.search_batch([q], 10)[0] for q in data[:20]]  # not the exact answers
    del db
    stamps = file_stamps(db_path)
    for mode in ("ivf", "flat"):  # opened in mode "ivf", or switched to it after
        db = tamix.TamixPython(db_path, DIM, mode)
        db.set_mode("ivf")
        assert [db.search(q, 10) for q in data[:20]] == before
        db.persist()
        assert file_stamps(db_path) == stamps  # nothing rewritten
        del db
    assert capfd.readouterr().err == ""
    db = tamix.TamixPython(db_path, DIM, "ivf")
    more = fill(db, 5, seed=4, start=5000)
    assert db.search(more[2], 1)[0][0] == "id5002"  # placed without training


def centroid_values(image, pick, value):
    """centroids.bin with the floats that pick(centroid, component) selects set to value."""
    out = bytearray(image)
    count = struct.unpack_from("<Q", image)[0]
    for j in range(count):
        for t in range(DIM):
            if pick(j, t):
                struct.pack_into("<f", out, 8 + j * (8 + 4 * DIM) + 8 + 4 * t, value)
    return bytes(out)


@pytest.mark.parametrize("damage, reason", [
    (lambda b: b[:100], f"centroids.bin is not 4 centroids of {DIM} floats"),
    (lambda b: centroid_values(b, lambda j, t: True, float("nan")),
     "centroids.bin: centroid 0 is not finite"),
    (lambda b: centroid_values(b, lambda j, t: j == 2 and t == 5, float("inf")),
     "centroids.bin: centroid 2 is not finite"),
], ids=["truncated", "every value NaN", "one value infinite"])
def test_ivf_files_that_fail_to_load_are_reported_and_kept(db_path, capfd, damage, reason):
    db = tamix.TamixPython(db_path, DIM, "ivf")
    db.configure_ivf(4, 1)
    data = fill(db, 300)
    db.train_ivf()
    db.persist()
    del db
    with open(ivf_file(db_path, "centroids.bin"), "r+b") as f:
        damaged = damage(f.read())
        f.seek(0)
        f.truncate()
        f.write(damaged)
    kept = {p: read(ivf_file(db_path, "partitions", p))
            for p in os.listdir(ivf_file(db_path, "partitions"))}
    capfd.readouterr()
    db = tamix.TamixPython(db_path, DIM, "ivf")
    assert capfd.readouterr().err == f"Failed to load IVF index: {reason}\n"
    assert db.search(data[3], 300) == db.search_batch([data[3]], 300)[0]  # exact
    db.persist()
    assert read(ivf_file(db_path, "centroids.bin")) == damaged
    assert {p: read(ivf_file(db_path, "partitions", p)) for p in kept} == kept
    db.train_ivf()
    db.persist()
    del db
    db = tamix.TamixPython(db_path, DIM, "ivf")
    assert capfd.readouterr().err == ""
    assert db.search(data[3], 1)[0][0] == "id3"
