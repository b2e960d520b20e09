"""persist, reopening, and what happens to open databases at interpreter exit or fork."""
import os
import resource
import signal
import subprocess
import sys
import textwrap

import pytest

import tamix
from conftest import DIM, fill, ids


def open_db(path):
    return tamix.TamixPython(path, DIM)


def test_round_trip_across_reopen(db_path):
    db = open_db(db_path)
    data = fill(db, 300)
    db.persist()
    before = db.search_batch(data[:5], 5)
    del db
    db = open_db(db_path)
    assert db.count() == 300
    assert sorted(db.get_all_ids()) == sorted(ids(300))
    assert db.search_batch(data[:5], 5) == before
    assert db.get("id9") == '{"__id__":"id9","n":9}'


def test_drop_without_persist_keeps_everything(db_path):
    db = open_db(db_path)
    data = fill(db, 40)
    del db
    db = open_db(db_path)
    assert db.count() == 40
    assert db.search(data[8], 1)[0][0] == "id8"


def test_delete_survives_reopen(db_path):
    db = open_db(db_path)
    data = fill(db, 30)
    db.delete(["id1"])
    db.persist()
    del db
    db = open_db(db_path)
    assert "id1" not in db.get_all_ids()
    assert "id1" not in [i for i, _ in db.search(data[1], 5)]
    with pytest.raises(ValueError):
        db.get("id1")


def test_stored_id_is_a_duplicate_after_reopen(db_path):
    db = open_db(db_path)
    data = fill(db, 10)
    del db
    db = open_db(db_path)
    with pytest.raises(ValueError, match="^Duplicate ID: 'id3'"):
        db.add(["id3"], data[:1], ["{}"])
    assert db.count() == 10


EXIT_SCRIPT = textwrap.dedent("""
    import ctypes, sys
    import numpy as np
    import tamix
    db = tamix.TamixPython(sys.argv[1], 128)
    data = np.random.default_rng(0).standard_normal((50, 128), dtype=np.float32)
    db.add([f"id{i}" for i in range(50)], data, ["{}"] * 50)
    if sys.argv[2] == "leak":  # never deallocated: only the exit flush can save it
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(db))
""")


@pytest.mark.parametrize("how", ["global", "leak"])
def test_open_database_is_flushed_at_exit(db_path, how):
    subprocess.run([sys.executable, "-c", EXIT_SCRIPT, db_path, how], check=True, timeout=60)
    db = open_db(db_path)
    assert db.count() == 50
    assert sorted(db.get_all_ids()) == sorted(ids(50))


DAEMON_EXIT_SCRIPT = textwrap.dedent("""
    import sys, threading, time
    import numpy as np
    import tamix
    n = 5000
    data = np.random.default_rng(0).standard_normal((n, 128), dtype=np.float32)

    def searcher(db, j):
        while True:
            db.search(data[j], 10) if j % 2 else db.search_batch(data[j:j + 2], 10)

    for j in range(4):
        db = tamix.TamixPython(f"{sys.argv[1]}/db{j}", 128)
        db.add([f"id{i}" for i in range(n)], data, ["{}"] * n)
        threading.Thread(target=searcher, args=(db, j), daemon=True).start()
    time.sleep(0.2)
""")


def test_exit_while_daemon_threads_search(tmp_path):
    # A search that ends after finalization began must not take the process down.
    for run in range(5):
        done = subprocess.run([sys.executable, "-c", DAEMON_EXIT_SCRIPT, str(tmp_path / str(run))],
                              capture_output=True, text=True, timeout=60)
        assert (done.returncode, done.stderr) == (0, "")


DAEMON_CALL_SCRIPT = textwrap.dedent("""
    import sys, threading
    import numpy as np
    import tamix
    path, call = sys.argv[1], sys.argv[2]
    n = 20000 if call == "train_ivf" else 5000
    data = np.random.default_rng(0).standard_normal((n, 128), dtype=np.float32)
    if call == "train_ivf":
        db = tamix.TamixPython(path, 128, "ivf")
        work = db.train_ivf
    else:  # the search catches the graph up before it commits
        db = tamix.TamixPython.new_hnsw(path, 128)
        work = lambda: db.search(data[0], 1)
    names = [f"id{i}" for i in range(n)]
    db.add(names[:1], data[:1], ["{}"])
    db.persist()  # a commit point, then adds that only the exit commits
    db.add(names[1:], data[1:], ["{}"] * (n - 1))
    threading.Thread(target=work, daemon=True).start()
    while True:  # until the thread holds the database
        try:
            db.count()
        except RuntimeError:
            break
""")


@pytest.mark.parametrize("call, n", [("train_ivf", 20000), ("search", 5000)])
def test_exit_flushes_once_a_daemon_threads_call_ends(db_path, call, n):
    done = subprocess.run([sys.executable, "-c", DAEMON_CALL_SCRIPT, db_path, call],
                          capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stderr) == (0, "")
    db = open_db(db_path)
    assert db.count() == n
    assert sorted(db.get_all_ids()) == sorted(ids(n))


FORK_SCRIPT = textwrap.dedent("""
    import os, sys
    import numpy as np
    import tamix
    db = tamix.TamixPython(sys.argv[1], 128)
    data = np.random.default_rng(0).standard_normal((4000, 128), dtype=np.float32)
    names = [f"id{i}" for i in range(4000)]
    db.add(names[:1500], data[:1500], ["{}"] * 1500)
    go, ready = os.pipe()
    pid = os.fork()
    if pid == 0:
        for call in (db.count, lambda: db.add(["c"], data[:1], ["{}"])):
            try:
                call()
            except RuntimeError as e:
                print(e, flush=True)
        os.read(go, 1)  # exits after the parent's persist, before its close
        sys.exit(0)
    db.add(names[1500:], data[1500:], ["{}"] * 2500)
    db.persist()
    os.write(ready, b"x")
    os.waitpid(pid, 0)
""")


def test_a_forked_child_never_writes_the_parents_database(db_path):
    done = subprocess.run([sys.executable, "-c", FORK_SCRIPT, db_path],
                          capture_output=True, text=True, check=True, timeout=60)
    assert done.stdout == "Database was opened in another process\n" * 2
    db = open_db(db_path)
    assert db.count() == 4000
    assert sorted(db.get_all_ids()) == sorted(ids(4000))


def test_failed_migration_removes_what_it_staged_and_still_commits(db_path, capfd):
    db = tamix.TamixPython(db_path, DIM, "auto")
    fill(db, 49990)
    db.persist()
    fill(db, 20, seed=1, start=49990)
    staging = os.path.join(db_path, ".sq8-migration")
    limit = resource.getrlimit(resource.RLIMIT_FSIZE)
    handler = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    # Below the staged codes (6.4 MB), above every write the commit makes.
    resource.setrlimit(resource.RLIMIT_FSIZE, (6_000_000, limit[1]))
    try:
        db.persist()
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, limit)
        signal.signal(signal.SIGXFSZ, handler)
    assert "Auto-Tuning Migration Warning: File too large" in capfd.readouterr().err
    assert not os.path.exists(staging)
    del db
    os.makedirs(os.path.join(staging, "partial"))  # as a kill mid-migration leaves it
    db = tamix.TamixPython(db_path, DIM, "auto")
    assert not os.path.exists(staging)
    assert db.count() == 50010
    assert len(db.get_all_ids()) == 50010
