import importlib
import inspect
import shutil
import subprocess
import sys

import pytest

import korvane

NAMES = ["__version__", "__status__", "EngineError", "Engine", "Ranked", "Rejected", "Outcome",
         "tail_mass"]


class TestModuleAttributes:
    def test_all_lists_the_eight_names_in_order(self):
        assert type(korvane.__all__) is list
        assert korvane.__all__ == NAMES
        for name in NAMES:
            assert hasattr(korvane, name)

    def test_texts(self):
        assert korvane.__version__ == "0.1.0"
        assert korvane.__status__ == (
            "fusion, constraints, set objective, adaptive budget, and evidence are available")
        assert korvane.__doc__ == ""
        assert korvane.__name__ == "korvane"

    def test_nothing_else_is_public(self):
        public = {name for name in dir(korvane) if not name.startswith("_")}
        # Shortlist is reachable by name for pickling, but is not one of __all__.
        assert public == {name for name in NAMES if not name.startswith("_")} | {"Shortlist"}

    def test_reload_keeps_the_same_classes_and_a_whole_all(self):
        engine_error, engine_class = korvane.EngineError, korvane.Engine
        module = importlib.reload(korvane)
        assert module.__all__ == NAMES
        assert module.EngineError is engine_error
        assert module.Engine is engine_class

    def test_a_fresh_import_shares_the_exception_class(self):
        saved = sys.modules.pop("korvane")
        try:
            fresh = importlib.import_module("korvane")
            assert fresh is not saved
            assert fresh.__all__ == NAMES
            assert fresh.EngineError is saved.EngineError
        finally:
            sys.modules["korvane"] = saved

    @pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
    def test_the_library_exports_only_its_init_function(self):
        out = subprocess.run(["nm", "-D", "--defined-only", korvane.__file__],
                             capture_output=True, text=True, check=True).stdout
        assert [line.split()[-1] for line in out.splitlines() if line.strip()] == [
            "PyInit_korvane"]


class TestEngineError:
    def test_class(self):
        error = korvane.EngineError
        assert error.__bases__ == (Exception,)
        assert error.__module__ == "korvane"
        assert error.__name__ == "EngineError"
        assert error.__qualname__ == "EngineError"
        assert error.__doc__ == "엔진 설정이 성립하지 않거나 요구 조건을 채울 수 없을 때 난다."
        assert set(vars(error)) <= {"__module__", "__doc__", "__weakref__"}

    def test_instances_carry_the_message(self):
        exc = korvane.EngineError("요구 조건")
        assert exc.args == ("요구 조건",)
        assert str(exc) == "요구 조건"
        with pytest.raises(korvane.EngineError, match="^x$"):
            raise korvane.EngineError("x")
        assert not issubclass(korvane.EngineError, ValueError)


class TestClasses:
    @pytest.mark.parametrize("name, doc", [
        ("Ranked", "골라진 후보 하나."),
        ("Rejected", "떨어진 후보 하나."),
        ("Outcome", "실행 결과 전부."),
    ])
    def test_result_classes_cannot_be_created(self, name, doc):
        cls = getattr(korvane, name)
        assert cls.__module__ == "korvane"
        assert cls.__qualname__ == name
        assert cls.__doc__ == doc
        with pytest.raises(TypeError) as excinfo:
            cls()
        assert str(excinfo.value) == f"cannot create 'korvane.{name}' instances"
        with pytest.raises(TypeError):
            cls.__new__(cls)

    @pytest.mark.parametrize("name", ["Engine", "Ranked", "Rejected", "Outcome"])
    def test_classes_are_final_and_immutable(self, name):
        cls = getattr(korvane, name)
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
        with pytest.raises(TypeError):
            cls.extra = 1
        assert not hasattr(cls, "extra")

    def test_engine_constructor_takes_no_arguments(self):
        assert type(korvane.Engine()) is korvane.Engine
        for args, kwargs in [((1,), {}), ((), {"x": 1}), ((None,), {})]:
            with pytest.raises(TypeError) as excinfo:
                korvane.Engine(*args, **kwargs)
            assert str(excinfo.value) == "Engine() takes no arguments"

    def test_engine_instances_take_no_attributes(self):
        engine = korvane.Engine()
        with pytest.raises(AttributeError):
            engine.extra = 1


# Text signature and body of every method, as help() shows them.
DOCS = {
    'scorer': (
        '($self, name, *, scale="unit", cost="cheap", normalize=None, normalize_range=None, fn=None)',
        '점수 축을 등록한다. 등록 순서가 감사 출력의 축 순서다.\n'
        '\n'
        '`cost="expensive"` 이면 `fn` 을 함께 줄 수 있다. 그 함수는 **2단계 풀 전체를 한 번에**\n'
        '받아 같은 길이의 점수 목록을 돌려줘야 한다. `fn` 없이 비싼 축으로 두면 후보에\n'
        '담겨 온 값을 그대로 읽는다.'),
    'fuse': (
        '($self, method, *, k=None, weights=None)',
        '융합 방식을 고른다. `"rrf"`, `"weighted_sum"`, `"max"` 중 하나.\n'
        '\n'
        '`weights` 는 `{"축이름": 가중치}` 사전이거나 `[("축이름", 가중치)]` 목록이다.\n'
        '주지 않으면 모든 축이 1.0 이다.'),
    'missing': (
        '($self, policy, *, value=None)',
        '값이 없는 축을 어떻게 다룰지 고른다. `"skip"`, `"impute"`, `"reject"`.'),
    'max_per_group': (
        '($self, key, max, *, id=None)',
        '후보의 `groups[key]` 값마다 최대 `max` 개까지만 고른다. 분할 매트로이드다.'),
    'max_total': (
        '($self, max, *, id=None)',
        '전체 상한. 균일 매트로이드다.'),
    'require_at_least': (
        '($self, key, value, n, *, id=None)',
        '`groups[key] == value` 인 후보가 최소 `n` 개 들어가야 한다는 하한 조건.\n'
        '\n'
        '채우려고 교체가 일어나면 결과의 `exact` 가 거짓이 된다. 탐욕이 만든 순서를 사후에\n'
        '뒤집기 때문이다.'),
    'unary_min': (
        '($self, axis, min, *, id=None)',
        '한 축의 점수가 문턱 미만인 후보를 1단계에서 걸러 낸다.'),
    'coverage_objective': (
        '($self)',
        '후보의 `cover` 목록으로 포괄성을 최대화한다. 서브모듈러다.'),
    'budget_top_k': (
        '($self, k)',
        '고정 개수를 고른다.'),
    'budget_tail_mass': (
        '($self, epsilon, fallback_k)',
        '누락 허용 질량으로 K 를 유도한다. 적합이 나쁘면 `fallback_k` 로 되돌린다.'),
    'budget_tokens': (
        '($self, max)',
        '후보의 `cost` 합이 상한 이하가 되도록 고른다. 배낭형이라 근사다.'),
    'admission': (
        '($self, axis)',
        '1단계 절단에 쓸 승인 채점기를 지정한다.'),
    'pool_multiplier': (
        '($self, multiplier)',
        '1단계 풀 배수. `M = K * multiplier` 다.'),
    'threshold': (
        '($self, value)',
        '융합 점수의 하한.'),
    'min_fit': (
        '($self, value)',
        '꼬리 질량 예산의 적합도 문턱.'),
    'rejections': (
        '($self, policy, *, n=None)',
        '탈락 후보를 얼마나 보관할지. `"keep"`, `"count"`, `"sample"`.\n'
        '\n'
        '개수는 이 정책과 무관하게 언제나 정확하다. 후보가 아주 많으면 `"count"` 를 쓴다.'),
    'run': (
        '($self, candidates)',
        '후보를 훑어 고른다.\n'
        '\n'
        '`candidates` 는 반복 가능한 것이면 무엇이든 된다. 목록을 통째로 만들지 않고\n'
        '생성기(generator)를 넘기면 1단계가 스트리밍으로 처리한다.'),
    'run_columns': (
        '($self, ids, scores, *, groups=None, cost=None, cover=None, row_offset=0, pad_id=None, '
        'threads=None)',
        '열(column)로 주어진 후보를 훑어 고른다. 행 하나가 후보 하나다.\n'
        '\n'
        '열은 버퍼 프로토콜을 따르는 1차원 배열(numpy 배열, array.array, memoryview), Arrow\n'
        '배열(`__arrow_c_array__`, 조각난 배열은 `__arrow_c_stream__`), 파이썬 순서열 중\n'
        '하나다. 버퍼와 Arrow 배열은 복사하지 않고 제자리에서 읽고, 순서열은 처음에 한 번\n'
        '변환한다. `ids` 는 정수나 문자열 열, `scores` 는 `{"축이름": 열}` 사전으로 실수나\n'
        '정수 열, `groups` 는 `{"키": 열}` 사전으로 문자열이나 정수 열, `cost` 는 0 이상\n'
        '2^32 미만의 정수 열, `cover` 는 문자열 목록의 열이다. NaN 과 Arrow 의 null 은 값이\n'
        '없는 것으로 본다. 음수 id 는 그 십진 문자열이 된다.\n'
        '\n'
        '후보 객체(`Ranked.candidate`, 비싼 축의 `fn` 이 받는 목록의 항목)는 정수\n'
        '`row_offset + 행 번호` 다. `ids` 가 `pad_id` 와 같은 행은 후보가 아니다.\n'
        '\n'
        '`ids` 가 2차원(질의 x 깊이: 2차원 배열이나 질의별 순서열의 목록)이면 질의마다 따로\n'
        '돌아 `Outcome` 의 목록을 돌려준다. 각각은 그 질의 한 줄로 부른 결과와 같다. 모든\n'
        '질의의 입력을 먼저 확인한 뒤에 돈다.'),
    'run_lists': (
        '($self, lists, *, groups=None, cost=None, cover=None, pad_id=None, threads=None)',
        '검색기마다 낸 순위 목록을 id 로 합쳐 고른다.\n'
        '\n'
        '`lists` 는 `{"축이름": (ids, scores)}` 사전이고, 열은 `run_columns` 와 같다.\n'
        '`scores` 가 None 이면 `ids` 가 좋은 것부터 놓였다고 보고 -1, -2, ... 를 값으로 준다.\n'
        '후보는 모든 목록 id 의 합집합으로, 목록 순서대로, 한 목록 안에서는 그 순서대로 처음\n'
        '나온 차례를 따른다. 정수는 정수끼리, 문자열은 문자열끼리 값으로 맞추고, 정수와\n'
        '문자열은 같지 않다. 한 목록에 같은 id 가 두 번 나오면 앞의, 더 좋은 자리의 것만\n'
        '쓴다. 목록에 없는 후보는 그 축의 값이 없다.\n'
        '\n'
        '`groups` 는 `{"키": {id: 값}}`, `cost` 는 `{id: 비용}`, `cover` 는 `{id: 목록}`\n'
        '사전이다. 후보 객체는 주어진 id 그 자체다.\n'
        '\n'
        '질의 여럿을 한 번에 줄 수 있다: 질의별 `lists` 사전의 목록, 또는 ids 와 scores 가\n'
        '2차원(질의 x 깊이)인 사전. 그러면 질의마다 따로 돌아 `Outcome` 의 목록을 돌려준다.'),
}

ENGINE_DOC_HEAD = "다축 점수 융합과 제약 아래 상위 K 선택 엔진.\n\n"
TAIL_MASS_DOC = (
    "상위 `k` 개 뒤에 남는 질량.\n"
    "\n"
    "엔진과 따로 쓸 수 있다. 같은 값이 캐시 크기 결정에도 쓰인다. 적중률은 이 식의 여집합이다.")


class TestDocstrings:
    def test_every_configuration_method_is_documented(self):
        methods = {name for name, value in vars(korvane.Engine).items()
                   if callable(value) and not name.startswith("_")}
        # The column and list entry points are documented with their own tests.
        assert methods == set(DOCS) | {"run_columns", "run_lists", "shortlist",
                                       "shortlist_columns", "run_shortlists"}

    @pytest.mark.parametrize("name", sorted(DOCS))
    def test_method_docstring_and_text_signature(self, name):
        signature, body = DOCS[name]
        method = getattr(korvane.Engine, name)
        assert method.__doc__ == body
        assert method.__text_signature__ == signature
        parameters = list(inspect.signature(method).parameters)
        assert parameters[0] == "self"
        assert inspect.signature(getattr(korvane.Engine(), name)) is not None

    def test_scorer_signature_kinds_and_defaults(self):
        params = inspect.signature(korvane.Engine.scorer).parameters
        assert params["name"].kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        for name in ["scale", "cost", "normalize", "normalize_range", "fn"]:
            assert params[name].kind is inspect.Parameter.KEYWORD_ONLY
        assert params["scale"].default == "unit"
        assert params["cost"].default == "cheap"
        assert params["fn"].default is None

    def test_engine_class_doc(self):
        doc = korvane.Engine.__doc__
        assert doc.startswith(ENGINE_DOC_HEAD)
        second = doc[len(ENGINE_DOC_HEAD):]
        assert second and "\n\n" not in second.strip()
        assert korvane.Engine.__text_signature__ == "()"
        assert str(inspect.signature(korvane.Engine)) == "()"

    def test_tail_mass_doc_and_signature(self):
        assert korvane.tail_mass.__doc__ == TAIL_MASS_DOC
        assert korvane.tail_mass.__text_signature__ == "(s, k, v)"
        params = inspect.signature(korvane.tail_mass).parameters
        assert list(params) == ["s", "k", "v"]
        assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params.values())
        assert korvane.tail_mass.__module__ == "korvane"
        assert korvane.tail_mass.__name__ == "tail_mass"

    def test_help_shows_the_bodies(self):
        text = inspect.getdoc(korvane.Engine.scorer)
        assert "**2단계 풀 전체를 한 번에**" in text
        assert "fn=None" in pydoc_text(korvane.Engine.scorer)


def pydoc_text(obj):
    import pydoc
    return pydoc.render_doc(obj, renderer=pydoc.plaintext)
