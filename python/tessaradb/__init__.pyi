"""TessaraDB — embedded vector + graph memory for AI agents."""

from types import TracebackType
from typing import Literal, Sequence, SupportsFloat, SupportsIndex, TypedDict, Union, final

from typing_extensions import Buffer, Self

__all__ = [
    "ChunkResult",
    "Hit",
    "Memory",
    "Stats",
    "TessaraDB",
    "TessaraDBConfigError",
    "TessaraDBError",
    "TessaraDBIOError",
    "TessaraDBNotFoundError",
    "chunk",
]

# Any sequence of real numbers except str; objects exporting a one-dimensional float32 or float64
# buffer (numpy arrays) are read directly.
Embedding = Union[Sequence[SupportsFloat], Buffer]

class _HnswIndexMode(TypedDict, total=False):
    type: str  # "hnsw" (the default when absent) or "exact"
    m: int
    ef_construction: int
    ef_search: int

IndexMode = Union[Literal["exact", "hnsw"], str, _HnswIndexMode, dict[str, object]]
SyncPolicyName = Union[Literal["strict", "batch", "async"], str]
ChunkStrategyName = Union[Literal["fixed", "recursive", "semantic", "markdown", "json"], str]

class TessaraDBError(Exception): ...
class TessaraDBNotFoundError(TessaraDBError): ...
class TessaraDBConfigError(TessaraDBError): ...
class TessaraDBIOError(TessaraDBError): ...

@final
class Hit:
    """A scored query hit. Returned by `TessaraDB.ask_embedding()`."""

    def __init__(self, id: SupportsIndex, score: SupportsFloat) -> None: ...
    @property
    def id(self) -> int: ...
    @property
    def score(self) -> float: ...

@final
class Memory:
    """A full memory entry. Returned by `TessaraDB.get()`."""

    @property
    def id(self) -> int: ...
    @property
    def namespace(self) -> str: ...
    @property
    def metadata(self) -> dict[str, str]: ...
    @property
    def created_at(self) -> int: ...
    @property
    def importance(self) -> float: ...
    @property
    def content(self) -> bytes: ...

@final
class Stats:
    """Database statistics. Returned by `TessaraDB.stats()`."""

    @property
    def entries(self) -> int: ...
    @property
    def indexed_embeddings(self) -> int: ...
    @property
    def wal_length(self) -> int: ...
    @property
    def vector_dimension(self) -> int: ...
    @property
    def storage_version(self) -> int: ...

@final
class ChunkResult:
    @property
    def text(self) -> str: ...
    @property
    def index(self) -> int: ...
    @property
    def metadata(self) -> dict[str, str] | None: ...

@final
class TessaraDB:
    """Embedded vector + graph memory database for AI agents."""

    # Every argument is required: `open(path, dimension=..., sync=..., index_mode=...,
    # max_entries=...)`, positionally or by keyword.
    @staticmethod
    def open(
        path: str,
        dimension: SupportsIndex,
        sync: SyncPolicyName,
        index_mode: IndexMode,
        max_entries: SupportsIndex | None,
    ) -> TessaraDB: ...
    def remember_embedding(
        self,
        embedding: Embedding,
        *,
        metadata: dict[str, str] | None = None,
        namespace: str = "default",
        content: str = "",
    ) -> int: ...
    def ask_embedding(
        self, embedding: Embedding, *, top_k: SupportsIndex = 5, filter: dict[str, str] | None = None
    ) -> list[Hit]: ...
    def ask_in_namespace(
        self,
        namespace: str,
        embedding: Embedding,
        *,
        top_k: SupportsIndex = 5,
        filter: dict[str, str] | None = None,
    ) -> list[Hit]: ...
    def get(self, mid: SupportsIndex) -> Memory: ...
    def delete_memory(self, mid: SupportsIndex) -> None: ...
    def connect(self, from_id: SupportsIndex, to_id: SupportsIndex, relation: str) -> None: ...
    def get_neighbors(self, id: SupportsIndex) -> list[tuple[int, str]]: ...
    def compact(self) -> None: ...
    def flush(self) -> None: ...
    def checkpoint(self) -> None: ...
    def stats(self) -> Stats: ...
    def __len__(self) -> int: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        _exc_type: type[BaseException] | None,
        _exc_value: BaseException | None,
        _traceback: TracebackType | None,
    ) -> Literal[False]: ...

# Every argument is required: chunk(text, strategy, chunk_size=..., overlap=...).
def chunk(
    text: str, strategy: ChunkStrategyName, chunk_size: SupportsIndex, overlap: SupportsIndex
) -> list[ChunkResult]: ...
