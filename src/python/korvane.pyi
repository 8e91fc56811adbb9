import sys
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any, Final, Literal, Protocol, SupportsFloat, SupportsIndex, final
from typing import NotRequired, TypeAlias, TypedDict

if sys.version_info >= (3, 12):
    from collections.abc import Buffer as _Buffer
else:  # numpy's arrays declare the buffer protocol to checkers from 3.12 on
    _Buffer: TypeAlias = Any

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

_Float = SupportsFloat | SupportsIndex
_Weights = Mapping[Any, _Float] | Sequence[tuple[str, _Float]]

class _ArrowArray(Protocol):
    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]: ...

class _ArrowStream(Protocol):
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...

# A one-dimensional buffer (numpy array, array.array, memoryview), an Arrow array or
# chunked array, or a Python sequence.
_Column: TypeAlias = _Buffer | _ArrowArray | _ArrowStream | Sequence[Any]

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
        fn: Callable[[list[Any]], Sequence[_Float | None] | _Buffer] | None = None,
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
    def run(self, candidates: Iterable[dict[str, Any]]) -> Outcome: ...
    def run_columns(
        self,
        ids: _Column,
        scores: Mapping[str, _Column],
        *,
        groups: Mapping[str, _Column] | None = None,
        cost: _Column | None = None,
        cover: _Column | None = None,
        row_offset: SupportsIndex = 0,
        pad_id: int | str | None = None,
    ) -> Outcome: ...
    def run_lists(
        self,
        lists: Mapping[str, tuple[_Column, _Column | None] | list[_Column | None]],
        *,
        groups: Mapping[str, Mapping[Any, Any]] | None = None,
        cost: Mapping[Any, SupportsIndex | None] | None = None,
        cover: Mapping[Any, Sequence[Any] | None] | None = None,
        pad_id: int | str | None = None,
    ) -> Outcome: ...

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

class _RejectedCounts(TypedDict):
    not_scored: int
    unary_constraint: int
    set_constraint: int
    below_threshold: int
    outranked: int
    out_of_pool: int

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
    def reason(
        self,
    ) -> Literal[
        "not_scored",
        "unary_constraint",
        "set_constraint",
        "below_threshold",
        "outranked",
        "out_of_pool",
    ]: ...
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
    def rejected_counts(self) -> _RejectedCounts: ...
    @property
    def selection(self) -> _Selection: ...
    @property
    def trace(self) -> _Trace: ...
    def is_complete(self) -> bool: ...

def tail_mass(s: _Float, k: SupportsIndex, v: SupportsIndex) -> float: ...
