"""An agent's memory in a few lines: chunk a document, remember the chunks with real embeddings,
link them in reading order, ask questions, then reopen the database and find everything again.

Run it with `bash scripts/demo.sh` (which installs what it needs), or directly:
    python examples/agent_memory.py [database-directory]
"""

from __future__ import annotations

import re
import shutil
import sys
import tempfile
from pathlib import Path

import tessaradb

sys.path.insert(0, str(Path(__file__).resolve().parent))
from embedder import DIMENSION, MiniLMEmbedder  # noqa: E402

DOCUMENT = Path(__file__).resolve().parent / "data" / "field_notes.md"
QUESTIONS = [
    "Why did the engine overheat?",
    "Which animals swam next to the boat?",
    "What does the crew eat when supplies run low?",
    "How does the crew know a storm is coming?",
]


def section_of(text: str, titles: list[str]) -> str:
    """The heading a markdown chunk starts with (the chunker keeps it at the front)."""
    body = text.lstrip("#").strip()
    return next((t for t in sorted(titles, key=len, reverse=True) if body.startswith(t)), "untitled")


def show_hits(db: tessaradb.TessaraDB, hits: list[tessaradb.Hit], limit: int = 2) -> None:
    for hit in hits[:limit]:
        memory = db.get(hit.id)
        section = memory.metadata.get("section", "?")
        text = memory.content.decode("utf-8").lstrip("#").strip()
        text = text[len(section):].strip() if text.startswith(section) else text
        print(f"    {hit.score:.3f}  [{section}]  {text[:110]}{'...' if len(text) > 110 else ''}")


def main() -> None:
    workdir = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(tempfile.mkdtemp(prefix="tessaradb-demo-"))
    path = str(workdir / "agent.mem")
    shutil.rmtree(path, ignore_errors=True)
    embedder = MiniLMEmbedder()

    chunks = tessaradb.chunk(DOCUMENT.read_text(encoding="utf-8"), strategy="markdown", chunk_size=512, overlap=0)
    titles = re.findall(r"^#+ (.+)$", DOCUMENT.read_text(encoding="utf-8"), re.MULTILINE)
    texts = [c.text for c in chunks]
    vectors = embedder.embed(texts)
    print(f"Chunked {DOCUMENT.name} into {len(chunks)} chunks and embedded them ({DIMENSION} floats each).")

    with tessaradb.TessaraDB.open(path, dimension=DIMENSION, sync="batch", index_mode="hnsw", max_entries=None) as db:
        ids = []
        for chunk, vector in zip(chunks, vectors):
            section = section_of(chunk.text, titles)
            ids.append(db.remember_embedding(
                vector,
                content=chunk.text,
                namespace="field-notes",
                metadata={"source": DOCUMENT.name, "section": section, "chunk": str(chunk.index)},
            ))
        for earlier, later in zip(ids, ids[1:]):
            db.connect(earlier, later, "next")
        print(f"Remembered {len(ids)} memories, linked in reading order: {db!r}")

        for question in QUESTIONS:
            hits = db.ask_in_namespace("field-notes", embedder.embed_one(question), top_k=3)
            print(f"\n  Q: {question}")
            show_hits(db, hits)
            following = db.get_neighbors(hits[0].id)
            if following:
                print(f"    (the best chunk continues in memory {following[0][0]}, edge '{following[0][1]}')")
        db.flush()

    del db  # dropping the handle closes the database: threads stop, the HNSW graph is saved
    print("\nReopening the database from disk...")
    db = tessaradb.TessaraDB.open(path, dimension=DIMENSION, sync="strict", index_mode="hnsw", max_entries=None)
    stats = db.stats()
    print(f"  {stats}")
    question = "Which birds were diving for fish?"
    print(f"  Q: {question}")
    show_hits(db, db.ask_embedding(embedder.embed_one(question), top_k=3, filter={"source": DOCUMENT.name}))
    assert stats.entries == len(ids), "every remembered chunk survives the reopen"
    print(f"\nAll {stats.entries} memories survived the reopen. Database directory: {path}")


if __name__ == "__main__":
    main()
