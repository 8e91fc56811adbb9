// The docstrings of the Engine class and its methods. Each begins with the method's text
// signature and a "--" line, from which inspect.signature and help() read the parameters.
#pragma once

namespace korvane::python {

inline constexpr char kEngineDoc[] =
    "Engine()\n"
    "--\n"
    "\n"
    "다축 점수 융합과 제약 아래 상위 K 선택 엔진.\n"
    "\n"
    "네이티브 빌더와 달리 메서드는 새 엔진을 돌려주지 않고 이 객체 자신을 바꾼다.\n"
    "파이썬에서는 이렇게 쓰는 편이 더 자연스럽게 읽힌다.";

inline constexpr char kScorerDoc[] =
    "scorer($self, name, *, scale=\"unit\", cost=\"cheap\", normalize=None, normalize_range=None, "
    "fn=None)\n"
    "--\n"
    "\n"
    "점수 축을 등록한다. 등록 순서가 감사 출력의 축 순서다.\n"
    "\n"
    "`cost=\"expensive\"` 이면 `fn` 을 함께 줄 수 있다. 그 함수는 **2단계 풀 전체를 한 번에**\n"
    "받아 같은 길이의 점수 목록을 돌려줘야 한다. `fn` 없이 비싼 축으로 두면 후보에\n"
    "담겨 온 값을 그대로 읽는다.";

inline constexpr char kFuseDoc[] =
    "fuse($self, method, *, k=None, weights=None)\n"
    "--\n"
    "\n"
    "융합 방식을 고른다. `\"rrf\"`, `\"weighted_sum\"`, `\"max\"` 중 하나.\n"
    "\n"
    "`weights` 는 `{\"축이름\": 가중치}` 사전이거나 `[(\"축이름\", 가중치)]` 목록이다.\n"
    "주지 않으면 모든 축이 1.0 이다.";

inline constexpr char kMissingDoc[] =
    "missing($self, policy, *, value=None)\n"
    "--\n"
    "\n"
    "값이 없는 축을 어떻게 다룰지 고른다. `\"skip\"`, `\"impute\"`, `\"reject\"`.";

inline constexpr char kRejectionsDoc[] =
    "rejections($self, policy, *, n=None)\n"
    "--\n"
    "\n"
    "탈락 후보를 얼마나 보관할지. `\"keep\"`, `\"count\"`, `\"sample\"`.\n"
    "\n"
    "개수는 이 정책과 무관하게 언제나 정확하다. 후보가 아주 많으면 `\"count\"` 를 쓴다.";

inline constexpr char kMaxPerGroupDoc[] =
    "max_per_group($self, key, max, *, id=None)\n"
    "--\n"
    "\n"
    "후보의 `groups[key]` 값마다 최대 `max` 개까지만 고른다. 분할 매트로이드다.";

inline constexpr char kMaxTotalDoc[] =
    "max_total($self, max, *, id=None)\n"
    "--\n"
    "\n"
    "전체 상한. 균일 매트로이드다.";

inline constexpr char kRequireAtLeastDoc[] =
    "require_at_least($self, key, value, n, *, id=None)\n"
    "--\n"
    "\n"
    "`groups[key] == value` 인 후보가 최소 `n` 개 들어가야 한다는 하한 조건.\n"
    "\n"
    "채우려고 교체가 일어나면 결과의 `exact` 가 거짓이 된다. 탐욕이 만든 순서를 사후에\n"
    "뒤집기 때문이다.";

inline constexpr char kUnaryMinDoc[] =
    "unary_min($self, axis, min, *, id=None)\n"
    "--\n"
    "\n"
    "한 축의 점수가 문턱 미만인 후보를 1단계에서 걸러 낸다.";

inline constexpr char kCoverageObjectiveDoc[] =
    "coverage_objective($self)\n"
    "--\n"
    "\n"
    "후보의 `cover` 목록으로 포괄성을 최대화한다. 서브모듈러다.";

inline constexpr char kBudgetTopKDoc[] =
    "budget_top_k($self, k)\n"
    "--\n"
    "\n"
    "고정 개수를 고른다.";

inline constexpr char kBudgetTailMassDoc[] =
    "budget_tail_mass($self, epsilon, fallback_k)\n"
    "--\n"
    "\n"
    "누락 허용 질량으로 K 를 유도한다. 적합이 나쁘면 `fallback_k` 로 되돌린다.";

inline constexpr char kBudgetTokensDoc[] =
    "budget_tokens($self, max)\n"
    "--\n"
    "\n"
    "후보의 `cost` 합이 상한 이하가 되도록 고른다. 배낭형이라 근사다.";

inline constexpr char kAdmissionDoc[] =
    "admission($self, axis)\n"
    "--\n"
    "\n"
    "1단계 절단에 쓸 승인 채점기를 지정한다.";

inline constexpr char kPoolMultiplierDoc[] =
    "pool_multiplier($self, multiplier)\n"
    "--\n"
    "\n"
    "1단계 풀 배수. `M = K * multiplier` 다.";

inline constexpr char kThresholdDoc[] =
    "threshold($self, value)\n"
    "--\n"
    "\n"
    "융합 점수의 하한.";

inline constexpr char kMinFitDoc[] =
    "min_fit($self, value)\n"
    "--\n"
    "\n"
    "꼬리 질량 예산의 적합도 문턱.";

inline constexpr char kRunDoc[] =
    "run($self, candidates)\n"
    "--\n"
    "\n"
    "후보를 훑어 고른다.\n"
    "\n"
    "`candidates` 는 반복 가능한 것이면 무엇이든 된다. 목록을 통째로 만들지 않고\n"
    "생성기(generator)를 넘기면 1단계가 스트리밍으로 처리한다.";

inline constexpr char kRunColumnsDoc[] =
    "run_columns($self, ids, scores, *, groups=None, cost=None, cover=None, row_offset=0, "
    "pad_id=None, threads=None)\n"
    "--\n"
    "\n"
    "열(column)로 주어진 후보를 훑어 고른다. 행 하나가 후보 하나다.\n"
    "\n"
    "열은 버퍼 프로토콜을 따르는 1차원 배열(numpy 배열, array.array, memoryview), Arrow\n"
    "배열(`__arrow_c_array__`, 조각난 배열은 `__arrow_c_stream__`), 파이썬 순서열 중\n"
    "하나다. 버퍼와 Arrow 배열은 복사하지 않고 제자리에서 읽고, 순서열은 처음에 한 번\n"
    "변환한다. `ids` 는 정수나 문자열 열, `scores` 는 `{\"축이름\": 열}` 사전으로 실수나\n"
    "정수 열, `groups` 는 `{\"키\": 열}` 사전으로 문자열이나 정수 열, `cost` 는 0 이상\n"
    "2^32 미만의 정수 열, `cover` 는 문자열 목록의 열이다. NaN 과 Arrow 의 null 은 값이\n"
    "없는 것으로 본다. 음수 id 는 그 십진 문자열이 된다.\n"
    "\n"
    "후보 객체(`Ranked.candidate`, 비싼 축의 `fn` 이 받는 목록의 항목)는 정수\n"
    "`row_offset + 행 번호` 다. `ids` 가 `pad_id` 와 같은 행은 후보가 아니다.\n"
    "\n"
    "`ids` 가 2차원(질의 x 깊이: 2차원 배열이나 질의별 순서열의 목록)이면 질의마다 따로\n"
    "돌아 `Outcome` 의 목록을 돌려준다. 각각은 그 질의 한 줄로 부른 결과와 같다. 모든\n"
    "질의의 입력을 먼저 확인한 뒤에 돈다.";

inline constexpr char kRunListsDoc[] =
    "run_lists($self, lists, *, groups=None, cost=None, cover=None, pad_id=None, "
    "threads=None)\n"
    "--\n"
    "\n"
    "검색기마다 낸 순위 목록을 id 로 합쳐 고른다.\n"
    "\n"
    "`lists` 는 `{\"축이름\": (ids, scores)}` 사전이고, 열은 `run_columns` 와 같다.\n"
    "`scores` 가 None 이면 `ids` 가 좋은 것부터 놓였다고 보고 -1, -2, ... 를 값으로 준다.\n"
    "후보는 모든 목록 id 의 합집합으로, 목록 순서대로, 한 목록 안에서는 그 순서대로 처음\n"
    "나온 차례를 따른다. 정수는 정수끼리, 문자열은 문자열끼리 값으로 맞추고, 정수와\n"
    "문자열은 같지 않다. 한 목록에 같은 id 가 두 번 나오면 앞의, 더 좋은 자리의 것만\n"
    "쓴다. 목록에 없는 후보는 그 축의 값이 없다.\n"
    "\n"
    "`groups` 는 `{\"키\": {id: 값}}`, `cost` 는 `{id: 비용}`, `cover` 는 `{id: 목록}`\n"
    "사전이다. 후보 객체는 주어진 id 그 자체다.\n"
    "\n"
    "질의 여럿을 한 번에 줄 수 있다: 질의별 `lists` 사전의 목록, 또는 ids 와 scores 가\n"
    "2차원(질의 x 깊이)인 사전. 그러면 질의마다 따로 돌아 `Outcome` 의 목록을 돌려준다.";

inline constexpr char kShortlistDoc[] =
    "shortlist($self, candidates)\n"
    "--\n"
    "\n"
    "1단계만 돌아 Shortlist 를 돌려준다.\n"
    "\n"
    "파티션마다 하나씩 만들어 pickle 로 모은 뒤 run_shortlists 로 합치면, 이어 붙인\n"
    "입력을 한 번에 run 한 것과 같은 결과가 나온다.";

inline constexpr char kShortlistColumnsDoc[] =
    "shortlist_columns($self, ids, scores, *, groups=None, cost=None, cover=None, "
    "row_offset=0)\n"
    "--\n"
    "\n"
    "run_columns 의 1단계만 돌아 Shortlist 를 돌려준다.\n"
    "\n"
    "후보 객체는 `row_offset` + 행 번호다. 파티션마다 앞 파티션들의 행 수를 주면 어느\n"
    "파티션의 몇 번째 행인지 합친 결과에서 바로 찾을 수 있다.";

inline constexpr char kRunShortlistsDoc[] =
    "run_shortlists($self, shortlists)\n"
    "--\n"
    "\n"
    "같은 설정에서 만든 Shortlist 들을 주어진 순서대로 합쳐 2단계와 선택을 돈다.\n"
    "\n"
    "풀들은 한 흐름에서처럼 겨루고, 합친 풀에서 밀려난 후보는 out_of_pool 로 한 번 센다.\n"
    "다른 설정에서 만든 것은 ValueError 로 거절한다.";

}  // namespace korvane::python
