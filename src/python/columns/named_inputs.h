// The named arguments of the column and list run methods: mappings keyed by axis name or
// group key, resolved against the configuration, and pad_id.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python/columns/id_key.h"
#include "python/engine_settings.h"
#include "python/py_ref.h"

namespace korvane::python {

struct NamedEntry {
  std::string key;
  PyRef value;
};

// The entries of a dict (or subclass) with str keys, in its order, taken all at once so
// that Python code run while they are read cannot change them. A value that is no dict
// raises TypeError with `shape_message`; a key that is no str is named with `mapping`.
bool named_entries(PyObject* object, std::string_view mapping, std::string_view shape_message,
                   std::vector<NamedEntry>* out);

// The position of the first axis of this name, as a unary minimum finds its axis.
std::optional<size_t> axis_position(const EngineSettings& settings, std::string_view name);

// Every position of the group key list that holds this key.
std::vector<size_t> group_positions(const std::vector<std::string>& keys, std::string_view key);

// `mapping['key']`, the name of a column given under a key.
std::string keyed_name(std::string_view mapping, std::string_view key);

// pad_id: absent for None; an integer or a text; TypeError for anything else.
bool pad_key_from(PyObject* object, std::optional<IdKey>* out);

}  // namespace korvane::python
