"""Quick start: build a database, search it, drop it, reopen it and search again."""
import json
import shutil
import sys
import tempfile
from pathlib import Path

import numpy as np

import tamix

DIM = 384
N = 10_000


def main():
    path = Path(tempfile.mkdtemp()) / "quickstart_db"
    rng = np.random.default_rng(42)
    vectors = rng.standard_normal((N, DIM), dtype=np.float32)
    ids = [f"doc-{i}" for i in range(N)]
    metadatas = [json.dumps({"title": f"Document {i}", "group": i % 7}) for i in range(N)]

    db = tamix.TamixPython(str(path), dimension=DIM)
    db.add(ids, vectors, metadatas)
    print(db)

    query = vectors[123] + 0.05 * rng.standard_normal(DIM, dtype=np.float32)
    hits = db.search(query, k=5)
    for rank, (doc_id, score) in enumerate(hits, 1):
        print(f"{rank}. {doc_id}  score={score:.4f}  {db.get(doc_id)}")

    db.persist()
    del db  # dropping the object closes the database

    db = tamix.TamixPython(str(path), dimension=DIM)
    again = db.search(query, k=5)
    print(f"after reopen: {db.count()} vectors, top hit {again[0][0]}")
    del db
    shutil.rmtree(path.parent)

    if again != hits or hits[0][0] != "doc-123":
        print("MISMATCH: results changed across reopen", file=sys.stderr)
        return 1
    print("OK: same results after reopen")
    return 0


if __name__ == "__main__":
    sys.exit(main())
