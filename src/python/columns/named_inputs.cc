#include "python/columns/named_inputs.h"

#include "python/columns/column_messages.h"
#include "python/columns/sequence_import.h"
#include "python/convert.h"

namespace korvane::python {

bool named_entries(PyObject* object, std::string_view mapping, std::string_view shape_message,
                   std::vector<NamedEntry>* out) {
  if (!PyDict_Check(object)) return raise_wrong_shape(shape_message);
  PyRef items = PyRef::steal(PyDict_Items(object));
  if (!items) return false;
  const Py_ssize_t count = PyList_Size(items.get());
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyList_GetItem(items.get(), i);  // a (key, value) tuple the list holds
    PyObject* key = PyTuple_GetItem(item, 0);
    if (!PyUnicode_Check(key)) return raise_key_not_text(mapping, key);
    NamedEntry entry;
    if (!text_from(key, &entry.key)) return false;
    entry.value = PyRef::borrow(PyTuple_GetItem(item, 1));
    out->push_back(std::move(entry));
  }
  return true;
}

std::optional<size_t> axis_position(const EngineSettings& settings, std::string_view name) {
  for (size_t position = 0; position < settings.axes.size(); ++position) {
    if (settings.axes[position].name == name) return position;
  }
  return std::nullopt;
}

std::vector<size_t> group_positions(const std::vector<std::string>& keys, std::string_view key) {
  std::vector<size_t> positions;
  for (size_t position = 0; position < keys.size(); ++position) {
    if (keys[position] == key) positions.push_back(position);
  }
  return positions;
}

std::string keyed_name(std::string_view mapping, std::string_view key) {
  std::string name(mapping);
  name.append("['").append(key).append("']");
  return name;
}

bool pad_key_from(PyObject* object, std::optional<IdKey>* out) {
  if (object == nullptr || object == Py_None) return true;
  IdKey key;
  if (!id_key_from(object, &key)) {
    note_parameter("pad_id");
    return false;
  }
  if (key.kind == IdKey::Kind::kOther) return raise_pad_not_id(object);
  *out = std::move(key);
  return true;
}

}  // namespace korvane::python
