#include "python/run_columns.h"

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/pipeline.h"
#include "engine/shortlist.h"
#include "python/batch_input.h"
#include "python/batch_stages.h"
#include "python/columns/column.h"
#include "python/columns/column_messages.h"
#include "python/columns/column_open.h"
#include "python/columns/column_source.h"
#include "python/columns/named_inputs.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/native_pool.h"
#include "python/run.h"
#include "python/run_entry.h"
#include "python/run_thread.h"

namespace korvane::python {

namespace {

constexpr std::string_view kScoresShapeMessage = "scores 는 {'축이름': 열} 사전이어야 한다";
constexpr std::string_view kGroupsShapeMessage = "groups 는 {'키': 열} 사전이어야 한다";

struct Arguments {
  PyObject* ids = nullptr;
  PyObject* scores = nullptr;
  PyObject* groups = nullptr;
  PyObject* cost = nullptr;
  PyObject* cover = nullptr;
  PyObject* row_offset = nullptr;
  PyObject* pad_id = nullptr;
  PyObject* threads = nullptr;
};

// Every intake error of a column run is found when its columns are opened, and every column
// is native data by then (a Python sequence was converted): stage 1 runs without the lock.
CapturedError no_source_error() {
  return CapturedError();
}

bool given(PyObject* argument) {
  return argument != nullptr && argument != Py_None;
}

// The columns of one call, alive until the run's outcome has been made.
class ColumnInputs {
 public:
  // Opens and checks every column and argument, in signature order.
  bool open(const Arguments& arguments, const EngineSettings& settings, RunObjects& objects);

  ColumnSource::Columns reading;
  int64_t row_offset = 0;
  std::optional<IdKey> pad;

 private:
  // Opens a column that must have the ids' length.
  const Column* open_aligned(PyObject* object, ColumnRequest request, SequenceCheck& sequences);
  bool open_scores(PyObject* scores, const EngineSettings& settings, SequenceCheck& sequences);
  bool open_groups(PyObject* groups, const std::vector<std::string>& keys,
                   SequenceCheck& sequences);
  bool convert_row_offset(PyObject* object);

  Column ids_{"ids"};
  std::vector<std::unique_ptr<Column>> columns_;
};

const Column* ColumnInputs::open_aligned(PyObject* object, ColumnRequest request,
                                         SequenceCheck& sequences) {
  auto column = std::make_unique<Column>(request.name);
  if (!open_column(object, request, sequences, column.get())) return nullptr;
  if (column->length() != ids_.length()) {
    raise_length_mismatch(ids_.name(), ids_.length(), column->name(), column->length());
    return nullptr;
  }
  columns_.push_back(std::move(column));
  return columns_.back().get();
}

bool ColumnInputs::open_scores(PyObject* scores, const EngineSettings& settings,
                               SequenceCheck& sequences) {
  std::vector<NamedEntry> entries;
  if (!named_entries(scores, "scores", kScoresShapeMessage, &entries)) return false;
  for (const NamedEntry& entry : entries) {
    std::optional<size_t> axis = axis_position(settings, entry.key);
    if (!axis) return raise_unknown_axis_key("scores", entry.key);
    const Column* column = open_aligned(
        entry.value.get(), {ColumnRole::kScores, keyed_name("scores", entry.key)}, sequences);
    if (column == nullptr) return false;
    reading.scores[*axis] = column;
  }
  return true;
}

bool ColumnInputs::open_groups(PyObject* groups, const std::vector<std::string>& keys,
                               SequenceCheck& sequences) {
  std::vector<NamedEntry> entries;
  if (!named_entries(groups, "groups", kGroupsShapeMessage, &entries)) return false;
  for (const NamedEntry& entry : entries) {
    const std::vector<size_t> positions = group_positions(keys, entry.key);
    // A misspelt key would otherwise leave its constraint without values, silently.
    if (positions.empty()) return raise_unused_group_key(entry.key);
    const Column* column = open_aligned(
        entry.value.get(), {ColumnRole::kGroups, keyed_name("groups", entry.key)}, sequences);
    if (column == nullptr) return false;
    for (size_t position : positions) reading.groups[position] = column;
  }
  return true;
}

bool ColumnInputs::convert_row_offset(PyObject* object) {
  if (object != nullptr) {
    PyRef index = PyRef::steal(PyNumber_Index(object));
    const long long value = index ? PyLong_AsLongLong(index.get()) : -1;
    if (value == -1 && PyErr_Occurred()) {
      note_parameter("row_offset");
      return false;
    }
    row_offset = value;
  }
  const int64_t last = ids_.length() == 0 ? 0 : ids_.length() - 1;
  if (row_offset > std::numeric_limits<int64_t>::max() - last) return raise_row_offset_overflow();
  return true;
}

bool ColumnInputs::open(const Arguments& arguments, const EngineSettings& settings,
                        RunObjects& objects) {
  SequenceCheck& sequences = *objects.sequences;
  const SourceReading& read = objects.reading();
  if (!open_column(arguments.ids, {ColumnRole::kIds, "ids"}, sequences, &ids_)) return false;
  reading.ids = &ids_;
  reading.scores.assign(settings.axes.size(), nullptr);
  reading.groups.assign(read.group_keys.size(), nullptr);

  if (!open_scores(arguments.scores, settings, sequences)) return false;
  if (given(arguments.groups) && !open_groups(arguments.groups, read.group_keys, sequences)) {
    return false;
  }
  if (given(arguments.cost)) {
    const Column* cost =
        open_aligned(arguments.cost, {ColumnRole::kCost, "cost", read.cost}, sequences);
    if (cost == nullptr) return false;
    if (read.cost) reading.cost = cost;
  }
  if (given(arguments.cover)) {
    const Column* cover =
        open_aligned(arguments.cover, {ColumnRole::kCover, "cover", read.cover}, sequences);
    if (cover == nullptr) return false;
    if (read.cover) reading.cover = cover;
  }
  return convert_row_offset(arguments.row_offset) && pad_key_from(arguments.pad_id, &pad);
}

// One query's columns opened into a source, handed to `read(settings, objects, source)`.
template <class Read>
RunResult with_column_source(EngineObject* engine, const Arguments& arguments, Read read) {
  const EngineSettings& settings = engine->settings;
  RunObjects objects;
  RunResult refused;
  if (!configure_run(engine, objects, &refused)) return refused;
  // Declared after the run objects, so dropped before them: the columns outlive the source
  // and the outcome, and nothing of the run outlives the columns.
  ColumnInputs inputs;
  if (!inputs.open(arguments, settings, objects)) return failed_now();
  ColumnSource source(inputs.reading, inputs.row_offset, inputs.pad);
  return read(settings, objects, source);
}

RunResult execute(EngineObject* engine, const Arguments& arguments) {
  return with_column_source(
      engine, arguments,
      [](const EngineSettings& settings, RunObjects& objects, ColumnSource& source) {
        return run_configured(settings, objects, source, no_source_error, StageOneLock::kReleased);
      });
}

// Row `query` of a batch argument; one of a mapping's rows per key, in a new dict.
bool query_argument(PyObject* object, Py_ssize_t query, Py_ssize_t queries, std::string_view name,
                    bool mapping, PyRef* out) {
  auto row = [&](PyObject* column, const std::string& column_name) -> PyRef {
    const Py_ssize_t rows = PyObject_Length(column);
    if (rows < 0) return {};
    if (rows != queries) {
      raise_length_mismatch("ids", queries, column_name, rows);
      return {};
    }
    return query_row(column, query);
  };
  if (!mapping || !PyDict_Check(object)) {
    // Not a dict of columns: the single-query path says what is wrong with it.
    *out = mapping ? PyRef::borrow(object) : row(object, std::string(name));
    return static_cast<bool>(*out);
  }
  PyRef rows = PyRef::steal(PyDict_New());
  if (!rows) return false;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  PyRef items = PyRef::steal(PyDict_Items(object));
  if (!items) return false;
  for (Py_ssize_t i = 0; i < PyList_Size(items.get()); ++i) {
    PyObject* item = PyList_GetItem(items.get(), i);
    key = PyTuple_GetItem(item, 0);
    value = PyTuple_GetItem(item, 1);
    PyRef key_text = PyRef::steal(PyObject_Str(key));
    Py_ssize_t size = 0;
    const char* text = key_text ? PyUnicode_AsUTF8AndSize(key_text.get(), &size) : nullptr;
    if (text == nullptr) return false;
    PyRef column = row(value, std::string(name) + "['" + text + "']");
    if (!column || PyDict_SetItem(rows.get(), key, column.get()) < 0) return false;
  }
  *out = std::move(rows);
  return true;
}

// Queries x depth: each query is a run of its own over its rows, equal to the single call.
// Every query's input is opened and checked before the first one runs.
RunResult execute_batch(EngineObject* engine, const Arguments& arguments) {
  const EngineSettings& settings = engine->settings;
  size_t threads = 0;
  if (!threads_from(arguments.threads, &threads)) return failed_now();
  const Py_ssize_t queries = PyObject_Length(arguments.ids);
  if (queries < 0) return failed_now();

  struct Query {
    std::vector<PyRef> held;
    Arguments arguments;
    RunObjects objects;
    ColumnInputs inputs;
  };
  std::vector<std::unique_ptr<Query>> batch;
  batch.reserve(static_cast<size_t>(queries));
  for (Py_ssize_t q = 0; q < queries; ++q) {
    auto query = std::make_unique<Query>();
    Arguments& row = query->arguments;
    row = arguments;
    PyRef ids, scores, groups, cost, cover;
    if (!query_argument(arguments.ids, q, queries, "ids", false, &ids) ||
        !query_argument(arguments.scores, q, queries, "scores", true, &scores) ||
        (given(arguments.groups) &&
         !query_argument(arguments.groups, q, queries, "groups", true, &groups)) ||
        (given(arguments.cost) &&
         !query_argument(arguments.cost, q, queries, "cost", false, &cost)) ||
        (given(arguments.cover) &&
         !query_argument(arguments.cover, q, queries, "cover", false, &cover))) {
      return failed_now();
    }
    row.ids = ids.get();
    row.scores = scores.get();
    if (groups) row.groups = groups.get();
    if (cost) row.cost = cost.get();
    if (cover) row.cover = cover.get();
    for (PyRef* held : {&ids, &scores, &groups, &cost, &cover}) {
      if (*held) query->held.push_back(std::move(*held));
    }
    RunResult refused;
    if (!configure_run(engine, query->objects, &refused)) return refused;
    if (!query->inputs.open(row, settings, query->objects)) return failed_now();
    batch.push_back(std::move(query));
  }

  // The sources read native columns only: a Python sequence was converted when opened.
  return run_batch_stages(
      settings, batch, threads,
      [](Query& query) {
        return ColumnSource(query.inputs.reading, query.inputs.row_offset, query.inputs.pad);
      },
      [](Query&) {},  // the columns are read in place: nothing of the source's own to free
      // A query's columns and objects are let go as soon as its outcome is made.
      [&](size_t q) { batch[q].reset(); });
}

PyObject* engine_run_columns_impl(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kKeywords[] = {"ids",        "scores", "groups",  "cost", "cover",
                                          "row_offset", "pad_id", "threads", nullptr};
  Arguments a;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OOOOOO:Engine.run_columns",
                                   const_cast<char**>(kKeywords), &a.ids, &a.scores, &a.groups,
                                   &a.cost, &a.cover, &a.row_offset, &a.pad_id, &a.threads)) {
    return nullptr;
  }
  return run_entry(self,
                   {a.ids, a.scores, a.groups, a.cost, a.cover, a.row_offset, a.pad_id, a.threads},
                   [&](EngineObject* engine) {
                     // A configuration that cannot run is refused before any input is looked at.
                     RunObjects probe;
                     RunResult refused;
                     if (!configure_run(engine, probe, &refused)) return refused;
                     size_t threads = 0;
                     if (!threads_from(a.threads, &threads)) return failed_now();
                     SequenceCheck sequences;
                     const int batch = is_batch(a.ids, sequences);
                     if (batch < 0) return failed_now();
                     return batch ? execute_batch(engine, a) : execute(engine, a);
                   });
}

RunResult execute_shortlist(EngineObject* engine, const Arguments& arguments) {
  return with_column_source(
      engine, arguments, [](const EngineSettings&, RunObjects& objects, ColumnSource& source) {
        return shortlist_configured(objects, source, no_source_error, StageOneLock::kReleased);
      });
}

PyObject* engine_shortlist_columns_impl(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kKeywords[] = {"ids",   "scores",     "groups", "cost",
                                          "cover", "row_offset", nullptr};
  Arguments a;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OOOO:Engine.shortlist_columns",
                                   const_cast<char**>(kKeywords), &a.ids, &a.scores, &a.groups,
                                   &a.cost, &a.cover, &a.row_offset)) {
    return nullptr;
  }
  return run_entry(self, {a.ids, a.scores, a.groups, a.cost, a.cover, a.row_offset},
                   [&](EngineObject* engine) { return execute_shortlist(engine, a); });
}

}  // namespace

PyObject* engine_shortlist_columns(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_native_failures([&] { return engine_shortlist_columns_impl(self, args, kwargs); });
}

PyObject* engine_run_columns(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_native_failures([&] { return engine_run_columns_impl(self, args, kwargs); });
}

}  // namespace korvane::python
