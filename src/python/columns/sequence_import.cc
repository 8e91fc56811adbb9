#include "python/columns/sequence_import.h"

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "python/columns/column_messages.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/py_ref.h"

namespace korvane::python {

namespace {

constexpr std::string_view kCoverShapeMessage = "'cover' 는 순서열이어야 한다";

// What a converted sequence owns: the rows in Arrow-like layouts, the identifiers and,
// when asked for, the objects themselves.
class SequenceStorage final : public ColumnStorage {
 public:
  std::vector<float> floats;
  std::vector<uint32_t> integers;
  std::vector<uint8_t> validity;
  std::vector<int64_t> offsets;  // texts, or lists' items
  std::string chars;
  std::vector<int64_t> item_offsets;  // the items' texts
  std::string item_chars;
  std::vector<CandidateId> identifiers;
  std::vector<IdKey> keys;
  std::vector<PyRef> held;
  std::vector<void*> objects;
};

void mark_present(std::vector<uint8_t>& validity, int64_t row) {
  validity[static_cast<size_t>(row >> 3)] |= static_cast<uint8_t>(1u << (row & 7));
}

// Adds the note "while processing '<column>[<row>]'" to the pending exception.
bool noted(const ColumnRequest& request, int64_t row) {
  const std::string where = request.name + "[" + std::to_string(row) + "]";
  note_parameter(where.c_str());
  return false;
}

bool append_str(PyObject* value, std::vector<int64_t>& offsets, std::string& chars) {
  std::string text;
  if (!str_text_from(value, &text)) return false;
  chars.append(text);
  offsets.push_back(static_cast<int64_t>(chars.size()));
  return true;
}

}  // namespace

bool id_key_from(PyObject* object, IdKey* out) {
  if (PyUnicode_Check(object)) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr) return false;
    *out = IdKey::of_text(std::string(data, static_cast<size_t>(size)));
    return true;
  }
  PyRef index;
  if (PyLong_Check(object)) {
    index = PyRef::borrow(object);
  } else if (PyIndex_Check(object)) {
    index = PyRef::steal(PyNumber_Index(object));
    if (!index) {
      // As for an identifier: a failed conversion only means the value is no integer.
      if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
      PyErr_Clear();
      *out = IdKey{};
      return true;
    }
  } else {
    *out = IdKey{};
    return true;
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow == 0) {
    *out = IdKey::integer(IntegerValue{
        value < 0, value < 0 ? ~static_cast<uint64_t>(value) + 1 : static_cast<uint64_t>(value)});
    return true;
  }
  if (overflow > 0) {
    const unsigned long long large = PyLong_AsUnsignedLongLong(index.get());
    if (!(large == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
      *out = IdKey::integer(IntegerValue{false, large});
      return true;
    }
    PyErr_Clear();
  }
  // Past 64 bits: matched by its digits, still never equal to a text.
  std::string digits;
  if (!str_text_from(index.get(), &digits)) return false;
  *out = IdKey{IdKey::Kind::kBigInteger, false, 0, std::move(digits)};
  return true;
}

bool import_sequence(PyObject* object, const ColumnRequest& request, SequenceCheck& sequences,
                     Column* out) {
  const Py_ssize_t size = PySequence_Size(object);
  if (size < 0) {
    note_parameter(request.name.c_str());
    return false;
  }
  const int64_t length = size;
  auto storage = std::make_unique<SequenceStorage>();
  SequenceStorage& held = *storage;
  out->set_storage(std::move(storage));
  ArrayView* view = out->add_view();
  view->length = length;

  // A cost or cover column nobody reads is only measured.
  if (!request.read) {
    out->set_category(ColumnCategory::kNull, "");
    out->append_chunk(view);
    return true;
  }

  auto item = [&](int64_t row) { return PyRef::steal(PySequence_GetItem(object, row)); };
  switch (request.role) {
    case ColumnRole::kIds: {
      held.identifiers.resize(static_cast<size_t>(length));
      held.keys.resize(static_cast<size_t>(length));
      for (int64_t row = 0; row < length; ++row) {
        PyRef value = item(row);
        if (!value || !identifier_from(value.get(), &held.identifiers[row]) ||
            !id_key_from(value.get(), &held.keys[row])) {
          return noted(request, row);
        }
        if (request.keep_objects) {
          held.objects.push_back(value.get());
          held.held.push_back(std::move(value));
        }
      }
      view->encoding = ColumnEncoding::kIdentifier;
      view->identifiers = held.identifiers.data();
      view->keys = held.keys.data();
      if (request.keep_objects) view->objects = held.objects.data();
      out->set_category(ColumnCategory::kIdentifier, "");
      break;
    }
    case ColumnRole::kScores: {
      held.floats.resize(static_cast<size_t>(length));
      for (int64_t row = 0; row < length; ++row) {
        PyRef value = item(row);
        std::optional<float> score;
        if (!value || !optional_float32_from(value.get(), &score)) return noted(request, row);
        // Absent and NaN both read as absent.
        held.floats[row] = score.value_or(std::numeric_limits<float>::quiet_NaN());
      }
      view->encoding = ColumnEncoding::kFloat32;
      view->data = reinterpret_cast<const uint8_t*>(held.floats.data());
      view->stride = sizeof(float);
      out->set_category(ColumnCategory::kReal, "");
      break;
    }
    case ColumnRole::kGroups: {
      held.validity.assign(static_cast<size_t>((length + 7) / 8), 0);
      held.offsets.push_back(0);
      for (int64_t row = 0; row < length; ++row) {
        PyRef value = item(row);
        if (!value) return noted(request, row);
        if (value.get() == Py_None) {
          held.offsets.push_back(static_cast<int64_t>(held.chars.size()));
          continue;
        }
        if (!append_str(value.get(), held.offsets, held.chars)) return noted(request, row);
        mark_present(held.validity, row);
      }
      view->encoding = ColumnEncoding::kLargeUtf8;
      view->validity = held.validity.data();
      view->offsets = held.offsets.data();
      view->chars = reinterpret_cast<const uint8_t*>(held.chars.data());
      out->set_category(ColumnCategory::kText, "");
      break;
    }
    case ColumnRole::kCost: {
      held.integers.resize(static_cast<size_t>(length));
      for (int64_t row = 0; row < length; ++row) {
        PyRef value = item(row);
        if (!value) return noted(request, row);
        if (value.get() == Py_None) continue;  // no cost is 0
        if (!u32_from(value.get(), &held.integers[row])) return noted(request, row);
      }
      view->encoding = ColumnEncoding::kUInt32;
      view->data = reinterpret_cast<const uint8_t*>(held.integers.data());
      view->stride = sizeof(uint32_t);
      out->set_category(ColumnCategory::kInteger, "");
      break;
    }
    case ColumnRole::kCover: {
      held.validity.assign(static_cast<size_t>((length + 7) / 8), 0);
      held.offsets.push_back(0);
      held.item_offsets.push_back(0);
      for (int64_t row = 0; row < length; ++row) {
        PyRef value = item(row);
        if (!value) return noted(request, row);
        if (value.get() != Py_None) {
          const int is_sequence = sequences(value.get());
          if (is_sequence < 0) return noted(request, row);
          if (is_sequence == 0) {
            raise_with_text(PyExc_ValueError, kCoverShapeMessage);
            return noted(request, row);
          }
          const Py_ssize_t count = PySequence_Size(value.get());
          if (count < 0) return noted(request, row);
          for (Py_ssize_t i = 0; i < count; ++i) {
            PyRef entry = PyRef::steal(PySequence_GetItem(value.get(), i));
            if (!entry || !append_str(entry.get(), held.item_offsets, held.item_chars)) {
              return noted(request, row);
            }
          }
          mark_present(held.validity, row);
        }
        held.offsets.push_back(static_cast<int64_t>(held.item_offsets.size()) - 1);
      }
      ArrayView* items = out->add_view();
      items->encoding = ColumnEncoding::kLargeUtf8;
      items->length = static_cast<int64_t>(held.item_offsets.size()) - 1;
      items->offsets = held.item_offsets.data();
      items->chars = reinterpret_cast<const uint8_t*>(held.item_chars.data());
      view->encoding = ColumnEncoding::kLargeList;
      view->validity = held.validity.data();
      view->offsets = held.offsets.data();
      view->child = items;
      out->set_item_category(ColumnCategory::kText);
      out->set_category(ColumnCategory::kList, "");
      break;
    }
  }
  out->append_chunk(view);
  return true;
}

}  // namespace korvane::python
