#include "python/run_lists.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python/columns/column.h"
#include "python/columns/column_messages.h"
#include "python/columns/column_open.h"
#include "python/columns/list_join.h"
#include "python/columns/list_source.h"
#include "python/columns/named_inputs.h"
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
};

bool given(PyObject* argument) {
  return argument != nullptr && argument != Py_None;
}

// The lists of one call and their join, alive until the run's outcome has been made.
class ListInputs {
 public:
  bool open(const Arguments& arguments, const EngineSettings& settings, RunObjects& objects);

  std::vector<RankedList> lists;
  JoinedLists joined;

 private:
  bool open_list(const NamedEntry& entry, size_t axis, SequenceCheck& sequences);
  bool read_groups(PyObject* groups, const std::vector<std::string>& keys);
};

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
                      RunObjects& objects) {
  SequenceCheck& sequences = *objects.sequences;
  const SourceReading& read = objects.reading;
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
  std::optional<IdKey> pad;
  if (!pad_key_from(arguments.pad_id, &pad) || !joined.join(lists, pad)) return false;

  if (given(arguments.groups) && !read_groups(arguments.groups, read.group_keys)) return false;
  if (given(arguments.cost) && read.cost && !joined.read_costs(arguments.cost)) return false;
  if (given(arguments.cover) && read.cover && !joined.read_covers(arguments.cover, sequences)) {
    return false;
  }
  return true;
}

RunResult execute(const EngineSettings& settings, const Arguments& arguments) {
  RunObjects objects;
  RunResult refused;
  if (!configure_run(settings, objects, &refused)) return refused;
  // Declared after the run objects, so dropped before them: the lists outlive the source
  // and the outcome.
  ListInputs inputs;
  if (!inputs.open(arguments, settings, objects)) return RunResult{PyRef(), CapturedError::fetch()};
  ListSource source(inputs.lists, inputs.joined, settings.axes.size(),
                    objects.reading.group_keys.size());
  // The join made every object up front; nothing is recorded while the run pulls.
  return run_configured(settings, objects, source, [] { return CapturedError(); });
}

PyObject* engine_run_lists_impl(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kKeywords[] = {"lists", "groups", "cost", "cover", "pad_id", nullptr};
  Arguments a;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOO:Engine.run_lists",
                                   const_cast<char**>(kKeywords), &a.lists, &a.groups, &a.cost,
                                   &a.cover, &a.pad_id)) {
    return nullptr;
  }
  return run_entry(self, {a.lists, a.groups, a.cost, a.cover, a.pad_id},
                   [&](const EngineSettings& settings) { return execute(settings, a); });
}

}  // namespace

PyObject* engine_run_lists(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_native_failures([&] { return engine_run_lists_impl(self, args, kwargs); });
}

}  // namespace korvane::python
