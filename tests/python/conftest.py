import json

import numpy as np
import pytest

import tamix

DIM = 128


def vectors(n, dim=DIM, seed=0, dtype=np.float32):
    return np.random.default_rng(seed).standard_normal((n, dim)).astype(dtype)


def ids(n, start=0):
    return [f"id{i}" for i in range(start, start + n)]


def metas(n):
    return [json.dumps({"n": i}) for i in range(n)]


def fill(db, n, seed=0, start=0):
    data = vectors(n, seed=seed)
    db.add(ids(n, start), data, metas(n))
    return data


@pytest.fixture
def db_path(tmp_path):
    return str(tmp_path / "db")


@pytest.fixture
def db(db_path):
    return tamix.TamixPython(db_path, DIM)
