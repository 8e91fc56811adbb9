#include "python/run_lists.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/invariant.h"
#include "python/batch_input.h"
#include "python/batch_stages.h"
#include "python/columns/column.h"
#include "python/columns/column_messages.h"
#include "python/columns/column_open.h"
#include "python/columns/list_join.h"
#include "python/columns/list_source.h"
#include "python/columns/named_inputs.h"
#include "python/columns/row_batch.h"
#include "python/errors.h"
#include "python/run.h"
#include "python/run_entry.h"

namespace korvane::python {

namespace {

constexpr std::string_view kListsShapeMessage =
    "lists 는 {'축이름': (ids, scores)} 사전이어야 한다";
constexpr std::string_view kGroupsShapeMessage = "groups 는 {'키': {id: 값}} 사전이어야 한다";
constexpr std::string_view kCostShapeMessage = "cost 는 {id: 비용} 사전이어야 한다";
constexpr std::string_view kCoverShapeMessage = "cover 는 {id: 목록} 사전이어야 한다";

struct Arguments {
  PyObject* lists = nullptr;
  PyObject* groups = nullptr;
  PyObject* cost = nullptr;
  PyObject* cover = nullptr;
  PyObject* pad_id = nullptr;
  PyObject* threads = nullptr;
};

bool given(PyObject* argument) {
  return argument != nullptr && argument != Py_None;
}

// The lists of one call and their join, alive until the run's outcome has been made.
class ListInputs {
 public:
  // Opens and checks the lists and joins them. With `may_defer`, a join that cannot fail and
  // touches no Python object (native int64 ids, nothing read by id) is left to join_now(),
  // which may then run without the interpreter lock.
  bool open(const Arguments& arguments, const EngineSettings& settings, RunObjects& objects,
            bool may_defer = false);
  // Makes a deferred join; nothing to do otherwise.
  void join_now();
  // Whether the join was left to join_now().
  bool deferred() const { return deferred_; }
  // Takes query `query`'s lists from `rows`, as copies of `first`'s (the first query's,
  // deferred), to be joined by join_now(). Native: may run on any thread.
  void open_row(const ListInputs& first, const RowBatch& rows, size_t query);

  std::vector<RankedList> lists;
  JoinedLists joined;

 private:
  bool joins_natively() const;

  bool open_list(const NamedEntry& entry, size_t axis, SequenceCheck& sequences);
  bool read_groups(PyObject* groups, const std::vector<std::string>& keys);

  std::optional<IdKey> pad_;
  bool deferred_ = false;
};

// Every id is a native int64, read in place: each is joinable, and its object is its own
// integer, so the join neither fails nor makes a Python object.
bool ListInputs::joins_natively() const {
  for (const RankedList& list : lists) {
    for (const ArrayView* chunk : list.ids.chunks()) {
      if (chunk->encoding != ColumnEncoding::kInt64 || chunk->byte_swapped) return false;
    }
  }
  return true;
}

void ListInputs::join_now() {
  if (!deferred_) return;
  deferred_ = false;
  const bool joined_all = joined.join(lists, pad_);
  KORVANE_INVARIANT(joined_all, "정수 id 의 결합은 실패하지 않는다");
}

void ListInputs::open_row(const ListInputs& first, const RowBatch& rows, size_t query) {
  lists = rows.rows_of(first.lists, query);
  pad_ = first.pad_;
  deferred_ = true;
}

bool ListInputs::open_list(const NamedEntry& entry, size_t axis, SequenceCheck& sequences) {
  const std::string name = keyed_name("lists", entry.key);
  PyObject* pair = entry.value.get();
  if (!(PyTuple_Check(pair) || PyList_Check(pair)) || PySequence_Size(pair) != 2) {
    return raise_wrong_shape(name + " 는 (ids, scores) 쌍이어야 한다");
  }
  PyRef ids = PyRef::steal(PySequence_GetItem(pair, 0));
  PyRef scores = ids ? PyRef::steal(PySequence_GetItem(pair, 1)) : PyRef();
  if (!scores) return false;

  RankedList list{axis, Column(name + " 의 ids"), nullptr};
  ColumnRequest request{ColumnRole::kIds, list.ids.name()};
  request.keep_objects = true;
  if (!open_column(ids.get(), request, sequences, &list.ids)) return false;
  if (scores.get() != Py_None) {
    list.scores = std::make_unique<Column>(name + " 의 scores");
    if (!open_column(scores.get(), {ColumnRole::kScores, list.scores->name()}, sequences,
                     list.scores.get())) {
      return false;
    }
    if (list.scores->length() != list.ids.length()) {
      return raise_length_mismatch(list.ids.name(), list.ids.length(), list.scores->name(),
                                   list.scores->length());
    }
  }
  lists.push_back(std::move(list));
  return true;
}

bool ListInputs::read_groups(PyObject* groups, const std::vector<std::string>& keys) {
  std::vector<NamedEntry> entries;
  if (!named_entries(groups, "groups", kGroupsShapeMessage, &entries)) return false;
  for (const NamedEntry& entry : entries) {
    const std::vector<size_t> positions = group_positions(keys, entry.key);
    if (positions.empty()) return raise_unused_group_key(entry.key);
    const std::string name = keyed_name("groups", entry.key);
    if (!PyDict_Check(entry.value.get())) {
      return raise_wrong_shape(name + " 는 {id: 값} 사전이어야 한다");
    }
    if (!joined.read_groups(entry.value.get(), name, positions, keys.size())) return false;
  }
  return true;
}

bool ListInputs::open(const Arguments& arguments, const EngineSettings& settings,
                      RunObjects& objects, bool may_defer) {
  SequenceCheck& sequences = *objects.sequences;
  const SourceReading& read = objects.reading();
  std::vector<NamedEntry> entries;
  if (!named_entries(arguments.lists, "lists", kListsShapeMessage, &entries)) return false;
  for (const NamedEntry& entry : entries) {
    std::optional<size_t> axis = axis_position(settings, entry.key);
    if (!axis) return raise_unknown_axis_key("lists", entry.key);
    if (!open_list(entry, *axis, sequences)) return false;
  }

  if (given(arguments.groups) && !PyDict_Check(arguments.groups)) {
    return raise_wrong_shape(kGroupsShapeMessage);
  }
  if (given(arguments.cost) && !PyDict_Check(arguments.cost)) {
    return raise_wrong_shape(kCostShapeMessage);
  }
  if (given(arguments.cover) && !PyDict_Check(arguments.cover)) {
    return raise_wrong_shape(kCoverShapeMessage);
  }
  if (!pad_key_from(arguments.pad_id, &pad_)) return false;
  if (may_defer && !given(arguments.groups) && !given(arguments.cost) && !given(arguments.cover) &&
      joins_natively()) {
    deferred_ = true;
    return true;
  }
  if (!joined.join(lists, pad_)) return false;

  if (given(arguments.groups) && !read_groups(arguments.groups, read.group_keys)) return false;
  if (given(arguments.cost) && read.cost && !joined.read_costs(arguments.cost)) return false;
  if (given(arguments.cover) && read.cover && !joined.read_covers(arguments.cover, sequences)) {
    return false;
  }
  return true;
}

RunResult execute(EngineObject* engine, const Arguments& arguments) {
  const EngineSettings& settings = engine->settings;
  RunObjects objects;
  RunResult refused;
  if (!configure_run(engine, objects, &refused)) return refused;
  // Declared after the run objects, so dropped before them: the lists outlive the source
  // and the outcome.
  ListInputs inputs;
  if (!inputs.open(arguments, settings, objects)) return RunResult{PyRef(), CapturedError::fetch()};
  ListSource source(inputs.joined, objects.reading().group_keys.size());
  // The join reported every failure; nothing is recorded while the run reads.
  return run_configured(settings, objects, source, [] { return CapturedError(); });
}

// The mapping of query `q` of a mapping whose pairs hold queries x depth: each pair's row q.
// `items` are the mapping's (key, value) pairs.
PyRef query_mapping(PyObject* items, Py_ssize_t q) {
  PyRef query = PyRef::steal(PyDict_New());
  if (!query) return {};
  for (Py_ssize_t i = 0; i < PyList_Size(items); ++i) {
    PyObject* item = PyList_GetItem(items, i);
    PyObject* pair = PyTuple_GetItem(item, 1);
    if (!(PyTuple_Check(pair) || PyList_Check(pair)) || PySequence_Size(pair) != 2) {
      // The single-query path says what is wrong with the pair.
      if (PyDict_SetItem(query.get(), PyTuple_GetItem(item, 0), pair) < 0) return {};
      continue;
    }
    PyRef ids = PyRef::steal(PySequence_GetItem(pair, 0));
    PyRef scores = ids ? PyRef::steal(PySequence_GetItem(pair, 1)) : PyRef();
    if (!scores) return {};
    PyRef ids_row = query_row(ids.get(), q);
    PyRef scores_row =
        scores.get() == Py_None ? PyRef::borrow(Py_None) : query_row(scores.get(), q);
    if (!ids_row || !scores_row) return {};
    PyRef row = PyRef::steal(PyTuple_Pack(2, ids_row.get(), scores_row.get()));
    if (!row || PyDict_SetItem(query.get(), PyTuple_GetItem(item, 0), row.get()) < 0) return {};
  }
  return query;
}

// The queries of a batch, as mappings, or as rows of two-dimensional buffers read in place.
struct BatchQueries {
  std::vector<PyRef> mappings;  // each query's `lists`; only the first one's when by rows
  // Whether `mappings` and `rows` hold a batch; otherwise the call is for one query.
  bool any = false;
  // By rows: the items of the caller's mapping and its held buffers, `count` queries.
  PyRef items;
  RowBatch rows;
  size_t count = 0;
};

// The per-query `lists` of a batch: the items of a list of mappings, or, for a mapping whose
// pairs hold queries x depth, one mapping per row, or the rows of its two-dimensional
// buffers. Nothing, with no exception, for one query.
bool batch_queries(PyObject* lists, BatchQueries* out) {
  SequenceCheck sequences;
  if (PyList_Check(lists) || PyTuple_Check(lists)) {
    out->any = true;
    const Py_ssize_t queries = PySequence_Size(lists);
    for (Py_ssize_t q = 0; q < queries; ++q) {
      out->mappings.push_back(PyRef::steal(PySequence_GetItem(lists, q)));
      if (!out->mappings.back()) return false;
    }
    return true;
  }
  if (!PyDict_Check(lists) || PyDict_Size(lists) == 0) return true;
  PyRef items = PyRef::steal(PyDict_Items(lists));
  if (!items) return false;
  PyObject* first = PyTuple_GetItem(PyList_GetItem(items.get(), 0), 1);
  if (!(PyTuple_Check(first) || PyList_Check(first)) || PySequence_Size(first) != 2) return true;
  PyRef first_ids = PyRef::steal(PySequence_GetItem(first, 0));
  if (!first_ids) return false;
  const int batch = is_batch(first_ids.get(), sequences);
  if (batch <= 0) return batch == 0;
  const Py_ssize_t queries = PyObject_Length(first_ids.get());
  if (queries < 0) return false;
  out->any = queries > 0;
  // Buffers are read by rows from the second query on; the first is opened from its own
  // mapping, as a single call would open it.
  if (queries > 1 && out->rows.hold(items.get(), queries)) {
    PyRef mapping = query_mapping(items.get(), 0);
    if (!mapping) return false;
    out->mappings.push_back(std::move(mapping));
    out->items = std::move(items);
    out->count = static_cast<size_t>(queries);
    return true;
  }
  for (Py_ssize_t q = 0; q < queries; ++q) {
    PyRef mapping = query_mapping(items.get(), q);
    if (!mapping) return false;
    out->mappings.push_back(std::move(mapping));
  }
  return true;
}

// Each query is a run of its own, equal to the single call; every query's lists are opened,
// checked and joined before the first one runs.
RunResult execute_batch(EngineObject* engine, const Arguments& arguments, BatchQueries& queries,
                        size_t threads) {
  const EngineSettings& settings = engine->settings;
  struct Query {
    PyRef lists;
    RunObjects objects;
    ListInputs inputs;
    size_t row = 0;  // from 1: the row of the batch's buffers its lists are read from
  };
  std::vector<std::unique_ptr<Query>> batch;
  auto open = [&](PyRef lists) {
    auto query = std::make_unique<Query>();
    query->lists = std::move(lists);
    Arguments row = arguments;
    row.lists = query->lists.get();
    RunResult refused;
    if (!configure_run(engine, query->objects, &refused)) return refused;
    if (!query->inputs.open(row, settings, query->objects, true)) return failed_now();
    batch.push_back(std::move(query));
    return RunResult();
  };
  for (PyRef& lists : queries.mappings) {
    if (RunResult failed = open(std::move(lists)); failed.error) return failed;
  }
  if (queries.count > 1) {
    // The first query's lists checked everything a row can get wrong. When they are its
    // buffers' first rows read in place, the other rows are read alike; otherwise each
    // query is opened from a mapping of its own.
    const ListInputs& first = batch.front()->inputs;
    const bool by_rows = first.deferred() && queries.rows.reads_first_rows(first.lists);
    for (size_t q = 1; q < queries.count; ++q) {
      if (by_rows) {
        auto query = std::make_unique<Query>();
        RunResult refused;
        if (!configure_run(engine, query->objects, &refused)) return refused;
        query->row = q;
        batch.push_back(std::move(query));
        continue;
      }
      PyRef mapping = query_mapping(queries.items.get(), static_cast<Py_ssize_t>(q));
      if (!mapping) return failed_now();
      if (RunResult failed = open(std::move(mapping)); failed.error) return failed;
    }
  }
  // Ids that are all native integers make sources that touch no Python object: the
  // queries then run on native threads, each joining its own lists when they were left
  // unjoined.
  bool native = true;
  for (const std::unique_ptr<Query>& query : batch)
    native = native && !query->inputs.joined.holds_objects();
  if (native) {
    return run_batch_stages(
        settings, batch, threads,
        [&](Query& query) {
          // The first query's lists stay until every query has run.
          if (query.row != 0) query.inputs.open_row(batch.front()->inputs, queries.rows, query.row);
          query.inputs.join_now();
          return ListSource(query.inputs.joined, query.objects.reading().group_keys.size());
        },
        // A native join holds no Python object, and a row's lists own no buffer, so they
        // may go on this thread.
        [](Query& query) {
          query.inputs.joined.recycle();
          query.inputs.joined = JoinedLists();
          if (query.row != 0) query.inputs.lists.clear();
        },
        [&](size_t q) { batch[q].reset(); });
  }
  PyRef outcomes = PyRef::steal(PyList_New(0));
  if (!outcomes) return failed_now();
  for (std::unique_ptr<Query>& query : batch) {
    // Rows are read only after a first query whose join is native, as theirs are.
    KORVANE_INVARIANT(query->row == 0, "행으로 읽는 질의는 네이티브로 결합된다");
    query->inputs.join_now();
    ListSource source(query->inputs.joined, query->objects.reading().group_keys.size());
    RunResult result =
        run_configured(settings, query->objects, source, [] { return CapturedError(); });
    if (!result.outcome) return result;
    if (PyList_Append(outcomes.get(), result.outcome.get()) < 0) return failed_now();
    query.reset();
  }
  return RunResult{std::move(outcomes), CapturedError()};
}

PyObject* engine_run_lists_impl(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kKeywords[] = {"lists",  "groups",  "cost", "cover",
                                          "pad_id", "threads", nullptr};
  Arguments a;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOOO:Engine.run_lists",
                                   const_cast<char**>(kKeywords), &a.lists, &a.groups, &a.cost,
                                   &a.cover, &a.pad_id, &a.threads)) {
    return nullptr;
  }
  return run_entry(
      self, {a.lists, a.groups, a.cost, a.cover, a.pad_id, a.threads}, [&](EngineObject* engine) {
        // A configuration that cannot run is refused before any input is looked at.
        RunObjects probe;
        RunResult refused;
        if (!configure_run(engine, probe, &refused)) return refused;
        size_t threads = 0;
        if (!threads_from(a.threads, &threads)) return failed_now();
        BatchQueries queries;
        if (!batch_queries(a.lists, &queries)) return failed_now();
        return queries.any ? execute_batch(engine, a, queries, threads) : execute(engine, a);
      });
}

}  // namespace

PyObject* engine_run_lists(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_native_failures([&] { return engine_run_lists_impl(self, args, kwargs); });
}

}  // namespace korvane::python
