from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any, Final, Literal, Protocol, SupportsFloat, SupportsIndex, final, overload
from typing import NotRequired, TypeAlias, TypedDict

from typing_extensions import Buffer

__all__ = [
    "__version__",
    "__status__",
    "EngineError",
    "Engine",
    "Ranked",
    "Rejected",
    "Outcome",
    "tail_mass",
]

__version__: Final[str]
__status__: Final[str]

class EngineError(Exception): ...

_Float: TypeAlias = SupportsFloat | SupportsIndex
_Weights: TypeAlias = Mapping[Any, _Float] | Sequence[tuple[str, _Float]]

# A column is read without importing the library that made it: through the buffer protocol
# (numpy arrays, array.array, memoryview), through the Arrow PyCapsule interface (pyarrow,
# polars, pandas), or as a plain Python sequence.
class _ArrowArray(Protocol):
    def __arrow_c_array__(self, requested_schema: Any = None, /) -> tuple[object, object]: ...

class _ArrowStream(Protocol):
    def __arrow_c_stream__(self, requested_schema: Any = None, /) -> object: ...

# numpy declares its arrays' buffer protocol only for Python 3.12 and newer; its array
# interface stands in for it. A shape typed as two dimensions picks the batch overload
# (checked first: a declared one-dimensional shape also accepts two).
class _Array(Protocol):
    @property
    def __array_interface__(self) -> dict[str, Any]: ...

class _Vector(_Array, Protocol):
    @property
    def shape(self) -> tuple[int]: ...

class _Matrix(_Array, Protocol):
    @property
    def shape(self) -> tuple[int, int]: ...

_NativeColumn: TypeAlias = Buffer | _Array | _ArrowArray | _ArrowStream
# Identifiers: unsigned 64-bit integers or texts, as in a candidate's "id".
_Id: TypeAlias = int | str
_IdColumn: TypeAlias = _NativeColumn | Sequence[_Id]
_ScoreColumn: TypeAlias = _NativeColumn | Sequence[_Float | None]
_Column: TypeAlias = _NativeColumn | Sequence[Any]
# queries x depth: one row of ids and scores per query.
_IdRows: TypeAlias = Sequence[Sequence[_Id]]
_ScoreRows: TypeAlias = Sequence[Sequence[_Float | None]]
# One retriever's answer: its ids in rank order, and its scores or None (rank order only).
_RankedList: TypeAlias = tuple[_IdColumn, _ScoreColumn | None]
_RankedVector: TypeAlias = tuple[Sequence[_Id] | _Vector, Sequence[_Float | None] | _Vector | None]
# A batch: one row per query. Text ids in nested lists stay ambiguous (a text is a sequence).
_RankedRows: TypeAlias = tuple[Sequence[Sequence[int]] | _Matrix, _ScoreRows | _Matrix | None]

@final
class Engine:
    def __init__(self) -> None: ...
    def scorer(
        self,
        name: str,
        *,
        scale: Literal["unit", "unbounded", "rank"] = "unit",
        cost: Literal["cheap", "expensive"] = "cheap",
        normalize: Literal["sigmoid", "clamp01", "minmax"] | None = None,
        normalize_range: tuple[_Float, _Float] | None = None,
        fn: Callable[[list[Any]], Sequence[_Float | None]] | None = None,
    ) -> None: ...
    def fuse(
        self,
        method: Literal["rrf", "weighted_sum", "max"],
        *,
        k: _Float | None = None,
        weights: _Weights | None = None,
    ) -> None: ...
    def missing(
        self, policy: Literal["skip", "impute", "reject"], *, value: _Float | None = None
    ) -> None: ...
    def rejections(
        self, policy: Literal["keep", "count", "sample"], *, n: SupportsIndex | None = None
    ) -> None: ...
    def max_per_group(self, key: str, max: SupportsIndex, *, id: str | None = None) -> None: ...
    def max_total(self, max: SupportsIndex, *, id: str | None = None) -> None: ...
    def require_at_least(
        self, key: str, value: str, n: SupportsIndex, *, id: str | None = None
    ) -> None: ...
    def unary_min(self, axis: str, min: _Float, *, id: str | None = None) -> None: ...
    def coverage_objective(self) -> None: ...
    def budget_top_k(self, k: SupportsIndex) -> None: ...
    def budget_tail_mass(self, epsilon: _Float, fallback_k: SupportsIndex) -> None: ...
    def budget_tokens(self, max: SupportsIndex) -> None: ...
    def admission(self, axis: str) -> None: ...
    def pool_multiplier(self, multiplier: SupportsIndex) -> None: ...
    def threshold(self, value: _Float) -> None: ...
    def min_fit(self, value: _Float) -> None: ...
    def run(self, candidates: Iterable[Mapping[str, object]]) -> Outcome: ...
    @overload
    def run_columns(
        self,
        ids: _IdRows | _NativeColumn,
        scores: Mapping[str, _ScoreRows | _Matrix],
        *,
        groups: Mapping[str, _Column] | None = None,
        cost: _Column | None = None,
        cover: _Column | None = None,
        row_offset: SupportsIndex = 0,
        pad_id: _Id | None = None,
        threads: SupportsIndex | None = None,
    ) -> list[Outcome]: ...
    @overload
    def run_columns(
        self,
        ids: _IdColumn,
        scores: Mapping[str, Sequence[_Float | None] | _Vector],
        *,
        groups: Mapping[str, _Column] | None = None,
        cost: _Column | None = None,
        cover: _Column | None = None,
        row_offset: SupportsIndex = 0,
        pad_id: _Id | None = None,
        threads: SupportsIndex | None = None,
    ) -> Outcome: ...
    @overload
    def run_columns(
        self,
        ids: _IdColumn | _IdRows,
        scores: Mapping[str, _ScoreColumn | _ScoreRows],
        *,
        groups: Mapping[str, _Column] | None = None,
        cost: _Column | None = None,
        cover: _Column | None = None,
        row_offset: SupportsIndex = 0,
        pad_id: _Id | None = None,
        threads: SupportsIndex | None = None,
    ) -> Outcome | list[Outcome]: ...
    @overload
    def run_lists(
        self,
        lists: Mapping[str, _RankedRows],
        *,
        groups: Mapping[str, Mapping[Any, object]] | None = None,
        cost: Mapping[Any, SupportsIndex] | None = None,
        cover: Mapping[Any, Sequence[object]] | None = None,
        pad_id: _Id | None = None,
        threads: SupportsIndex | None = None,
    ) -> list[Outcome]: ...
    @overload
    def run_lists(
        self,
        lists: Mapping[str, _RankedVector],
        *,
        groups: Mapping[str, Mapping[Any, object]] | None = None,
        cost: Mapping[Any, SupportsIndex] | None = None,
        cover: Mapping[Any, Sequence[object]] | None = None,
        pad_id: _Id | None = None,
        threads: SupportsIndex | None = None,
    ) -> Outcome: ...
    @overload
    def run_lists(
        self,
        lists: Sequence[Mapping[str, _RankedList]],
        *,
        groups: Mapping[str, Mapping[Any, object]] | None = None,
        cost: Mapping[Any, SupportsIndex] | None = None,
        cover: Mapping[Any, Sequence[object]] | None = None,
        pad_id: _Id | None = None,
        threads: SupportsIndex | None = None,
    ) -> list[Outcome]: ...
    @overload
    def run_lists(
        self,
        lists: Mapping[str, _RankedList | _RankedRows],
        *,
        groups: Mapping[str, Mapping[Any, object]] | None = None,
        cost: Mapping[Any, SupportsIndex] | None = None,
        cover: Mapping[Any, Sequence[object]] | None = None,
        pad_id: _Id | None = None,
        threads: SupportsIndex | None = None,
    ) -> Outcome | list[Outcome]: ...
    def shortlist(self, candidates: Iterable[Mapping[str, object]]) -> Shortlist: ...
    def shortlist_columns(
        self,
        ids: _IdColumn,
        scores: Mapping[str, _ScoreColumn],
        *,
        groups: Mapping[str, _Column] | None = None,
        cost: _Column | None = None,
        cover: _Column | None = None,
        row_offset: SupportsIndex = 0,
    ) -> Shortlist: ...
    def run_shortlists(self, shortlists: Iterable[Shortlist]) -> Outcome: ...

# Stage 1's result: the pool, its counts and its trace, ready for run_shortlists. It pickles,
# so partitions can be shortlisted in other processes.
@final
class Shortlist:
    @property
    def input_count(self) -> int: ...
    @property
    def pool_size(self) -> int: ...

class _Term(TypedDict):
    scorer: str
    input: Literal["value", "rank", "imputed", "skipped"]
    value: float | None
    weight: float
    contribution: float

class _Fusion(TypedDict):
    method: Literal["weighted_sum", "rrf", "max"]
    k: NotRequired[float]
    missing_policy: Literal["skip", "impute", "reject"]
    terms: list[_Term]

_Reason: TypeAlias = Literal[
    "not_scored",
    "unary_constraint",
    "set_constraint",
    "below_threshold",
    "outranked",
    "out_of_pool",
]

class _Selection(TypedDict):
    exact: bool
    guarantee: float | None
    pool_size: int
    pool_exhausted: bool
    cut_margin: float | None

class _ScorerTrace(TypedDict):
    scorer: str
    calls: int
    missing: int
    elapsed_nanos: int
    cost: Literal["cheap", "expensive"]

class _BudgetEvidence(TypedDict):
    s: float
    fit_quality: float
    fallback: bool
    reason: Literal["poor_fit", "too_few_samples", "not_a_mass_distribution"] | None
    derived_k: int

class _Trace(TypedDict):
    input_count: int
    pool_capacity: int
    admission_scorer: str | None
    scorers: list[_ScorerTrace]
    budget: _BudgetEvidence | None

@final
class Ranked:
    @property
    def id(self) -> str: ...
    @property
    def rank(self) -> int: ...
    @property
    def fused(self) -> float: ...
    @property
    def scores(self) -> dict[str, float | None]: ...
    @property
    def fusion(self) -> _Fusion: ...
    @property
    def constraints(self) -> list[str]: ...
    @property
    def candidate(self) -> Any: ...
    def to_json(self) -> str: ...

@final
class Rejected:
    @property
    def id(self) -> str: ...
    @property
    def reason(self) -> _Reason: ...
    @property
    def detail(self) -> str | None: ...
    @property
    def fused(self) -> float | None: ...
    @property
    def candidate(self) -> Any: ...

@final
class Outcome:
    @property
    def ranked(self) -> list[Ranked]: ...
    @property
    def rejected(self) -> list[Rejected]: ...
    @property
    # Keyed by the six reasons (a misspelt key is an error), and the counts sum as ints.
    def rejected_counts(self) -> dict[_Reason, int]: ...
    @property
    def selection(self) -> _Selection: ...
    @property
    def trace(self) -> _Trace: ...
    def is_complete(self) -> bool: ...

def tail_mass(s: _Float, k: SupportsIndex, v: SupportsIndex) -> float: ...
