"""The module frame: attributes, import, signatures, argument matching and conversion."""
import importlib
import inspect
import sys
import textwrap

import numpy as np
import pytest

import tamix
from conftest import DIM, fill, vectors

DOC = (
    "Tamix v0.2.0 - Production Vector Database\n\nFeatures:\n"
    "- Dynamic dimensions (128-4096)\n- Multiple index types (Flat, HNSW, SQ8, PQ)\n"
    "- 4-32x compression with SQ8/PQ\n- Sub-5ms latency\n- <100MB memory for 10k vectors"
)


# --- module -----------------------------------------------------------------------------

def test_module_attributes():
    assert tamix.__all__ == ["TamixPython", "__version__", "__doc__"]
    assert tamix.__version__ == "0.2.0"
    assert tamix.__doc__ == DOC and len(DOC) == 211
    assert tamix.TamixPython.__name__ == "TamixPython"


def test_second_import_returns_the_same_module(monkeypatch):
    monkeypatch.delitem(sys.modules, "tamix")
    again = importlib.import_module("tamix")
    assert again is tamix
    assert again.__all__ == ["TamixPython", "__version__", "__doc__"]


def test_import_from_subinterpreter_is_refused(tmp_path):
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("interpreter offers no sub-interpreters")
    out = tmp_path / "result.txt"
    code = textwrap.dedent(f"""
        try:
            import tamix
            result = "imported"
        except ImportError as e:
            result = "ImportError: " + str(e)
        with open({str(out)!r}, "w") as f:
            f.write(result)
    """)
    assert testcapi.run_in_subinterp(code) == 0
    text = out.read_text()
    assert text.startswith("ImportError: ") and "sub-interpreters" in text


# --- signatures and docs ----------------------------------------------------------------

def test_class_text_signature():
    cls = tamix.TamixPython
    assert cls.__text_signature__ == '(path, dimension=1536, mode="flat")'
    assert str(inspect.signature(cls)) == "(path, dimension=1536, mode='flat')"
    assert not cls.__doc__


@pytest.mark.parametrize("name, signature", [
    ("add", "($self, ids, embeddings, metadatas)"),
    ("search", "($self, query, k)"),
    ("search_batch", "($self, queries, k)"),
    ("get", "($self, id)"),
    ("count", "($self)"),
    ("persist", "($self)"),
    ("delete", "($self, ids)"),
    ("get_all_ids", "($self)"),
    ("info", "($self)"),
])
def test_method_text_signatures(name, signature):
    assert getattr(tamix.TamixPython, name).__text_signature__ == signature


def test_method_docs():
    cls = tamix.TamixPython
    assert cls.search.__doc__ == (
        "Search for k nearest neighbors\n\nArgs:\n"
        "    query: Query vector (must match database dimension)\n    k: Number of results\n\n"
        "Returns:\n    List of (id, score) tuples sorted by score descending")
    assert cls.add.__doc__.startswith("Add vectors to database\n\nArgs:\n    ids: List")
    assert cls.search_batch.__doc__ == "Batch search"
    assert cls.get_all_ids.__doc__ == "Get all IDs in the database"
    assert cls.get.__doc__ is None


# --- argument matching ------------------------------------------------------------------

def test_missing_arguments_are_named(db):
    with pytest.raises(TypeError, match=r"search\(\) missing 1 required positional argument: 'k'$"):
        db.search([0.5] * DIM)
    with pytest.raises(TypeError, match=r"add\(\) missing 3 required positional arguments: "
                                        r"'ids', 'embeddings', and 'metadatas'$"):
        db.add()
    with pytest.raises(TypeError, match=r"missing 2 required positional arguments: "
                                        r"'query' and 'k'$"):
        db.search()


def test_surplus_and_unknown_arguments(db):
    q = [0.5] * DIM
    with pytest.raises(TypeError, match=r"search\(\) takes 2 positional arguments but 3 were"):
        db.search(q, 1, 2)
    with pytest.raises(TypeError, match=r"search\(\) got an unexpected keyword argument 'x'"):
        db.search(q, 1, x=2)
    with pytest.raises(TypeError, match=r"search\(\) got multiple values for argument 'query'"):
        db.search(q, query=q)
    with pytest.raises(TypeError):
        db.count(1)


def test_keywords_in_any_order(db):
    data = fill(db, 50)
    assert db.search(k=3, query=data[4]) == db.search(data[4], 3)
    assert db.search_batch(k=2, queries=data[:2]) == db.search_batch(data[:2], 2)
    assert db.get(id="id4") == db.get("id4")
    assert db.delete(ids=["id4"]) == 1


def test_constructor_arguments(tmp_path):
    db = tamix.TamixPython(mode="flat", dimension=DIM, path=str(tmp_path / "a"))
    assert db.info().startswith(f"Tamix(dimension={DIM}, mode='flat'")
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'path'"):
        tamix.TamixPython()
    with pytest.raises(TypeError, match=r"takes from 1 to 3 positional arguments but 4 were"):
        tamix.TamixPython(str(tmp_path / "b"), DIM, "flat", 1)
    with pytest.raises(TypeError, match=r"unexpected keyword argument 'dim'"):
        tamix.TamixPython(str(tmp_path / "c"), dim=DIM)


# --- conversion -------------------------------------------------------------------------

def test_text_parameters_need_str(tmp_path, db):
    with pytest.raises(TypeError, match=r"^argument 'path': 'int' object cannot be converted "
                                        r"to 'PyString'$"):
        tamix.TamixPython(5)
    with pytest.raises(TypeError, match=r"^argument 'mode': 'bytes' object"):
        tamix.TamixPython(str(tmp_path / "m"), DIM, b"flat")
    with pytest.raises(TypeError, match=r"^argument 'id': 'NoneType' object cannot be "
                                        r"converted to 'PyString'$"):
        db.get(None)

    class Odd:
        __qualname__ = "O\0dd"

    with pytest.raises(TypeError, match="^argument 'id': 'O\0dd' object cannot"):
        db.get(Odd())


def test_str_subclass_is_text(tmp_path):
    class Path(str):
        pass

    db = tamix.TamixPython(Path(tmp_path / "sub"), DIM)
    fill(db, 3)
    assert db.get(Path("id1")) == '{"__id__":"id1","n":1}'


def test_unsigned_conversion(tmp_path, db):
    with pytest.raises(TypeError, match=r"^argument 'dimension': 'str' object cannot be "
                                        r"interpreted as an integer$"):
        tamix.TamixPython(str(tmp_path / "a"), "128")
    with pytest.raises(TypeError, match=r"^argument 'k': 'float' object"):
        db.search([0.5] * DIM, 1.0)
    with pytest.raises(OverflowError) as info:
        tamix.TamixPython(str(tmp_path / "b"), -1)
    assert not str(info.value).startswith("argument")
    with pytest.raises(OverflowError):
        db.search([0.5] * DIM, -1)


def test_index_protocol_gives_integers(tmp_path):
    class Dim:
        def __index__(self):
            return 256

    assert tamix.TamixPython(str(tmp_path / "a"), Dim()).info().startswith("Tamix(dimension=256")
    assert tamix.TamixPython(str(tmp_path / "b"), np.int64(128)).info().startswith(
        "Tamix(dimension=128")


def test_vector_parameter_refusals(db):
    with pytest.raises(TypeError, match=r"^argument 'query': Can't extract `str` to `Vec`$"):
        db.search("x" * DIM, 1)
    with pytest.raises(TypeError, match=r"^argument 'query': 'int' object cannot be converted "
                                        r"to 'Sequence'$"):
        db.search(5, 1)
    with pytest.raises(TypeError, match=r"^argument 'query': must be real number, not str$"):
        db.search([0.5] * (DIM - 1) + ["a"], 1)
    with pytest.raises(TypeError, match=r"^argument 'query': 'dict' object"):
        db.search({}, 1)
    for dtype in (np.complex64, np.complex128):
        with pytest.raises(TypeError, match=r"^argument 'query': must be real number, not complex"):
            db.search(np.ones(DIM, dtype=dtype), 1)
        with pytest.raises(TypeError, match=r"^argument 'embeddings': must be real number, not "
                                            r"complex"):
            db.add(["a"], np.ones((1, DIM), dtype=dtype), ["{}"])
    assert db.count() == 0


def test_list_of_vectors_refusals(db):
    with pytest.raises(TypeError, match=r"^argument 'embeddings': Can't extract `str` to `Vec`$"):
        db.add(["a"], ["x" * DIM], ["{}"])
    with pytest.raises(TypeError, match=r"^argument 'queries': 'float' object cannot be "
                                        r"converted to 'Sequence'$"):
        db.search_batch([0.5] * DIM, 1)
    # A 1-D array where rows are expected fails as a list of floats does.
    with pytest.raises(TypeError, match=r"^argument 'queries': '\w+' object cannot be "
                                        r"converted to 'Sequence'$"):
        db.search_batch(np.zeros(DIM, dtype=np.float32), 1)


def test_list_of_texts_refusals(db):
    vec = [[0.5] * DIM]
    with pytest.raises(TypeError, match=r"^argument 'ids': Can't extract `str` to `Vec`$"):
        db.add("a", vec, ["{}"])
    with pytest.raises(TypeError, match=r"^argument 'metadatas': 'int' object cannot be "
                                        r"converted to 'PyString'$"):
        db.add(["a"], vec, [1])
    with pytest.raises(TypeError, match=r"^argument 'ids': 'int' object cannot be converted "
                                        r"to 'Sequence'$"):
        db.delete(3)


def test_first_failing_argument_is_reported(db):
    with pytest.raises(TypeError, match=r"^argument 'ids'"):
        db.add(1, 2, 3)
    with pytest.raises(TypeError, match=r"^argument 'embeddings'"):
        db.add(["a"], 2, 3)


def test_other_sequences_are_accepted(db):
    data = vectors(3)
    rows = [tuple(float(x) for x in row) for row in data]
    assert db.add(("a", "b", "c"), tuple(rows), ("{}", "{}", "{}")) == 3
    assert db.search(rows[1], 1)[0][0] == "b"
    assert db.search(range(1, DIM + 1), 1)[0][0] in {"a", "b", "c"}


def test_subclass_works(db_path):
    class Sub(tamix.TamixPython):
        def first(self, query):
            return self.search(query, 1)[0][0]

    db = Sub(db_path, DIM)
    data = fill(db, 10)
    assert isinstance(db, Sub) and db.first(data[2]) == "id2"
    assert repr(db) == f"Tamix(dimension={DIM}, mode='flat', vectors=10)"

