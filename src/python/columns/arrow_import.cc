#include "python/columns/arrow_import.h"

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "python/columns/arrow_abi.h"
#include "python/columns/column_messages.h"
#include "python/convert.h"
#include "python/py_ref.h"

namespace korvane::python {

namespace {

constexpr const char* kSchemaCapsule = "arrow_schema";
constexpr const char* kArrayCapsule = "arrow_array";
constexpr const char* kStreamCapsule = "arrow_array_stream";

// The imported structs, released in reverse order of import when the column dies.
class ArrowStorage final : public ColumnStorage {
 public:
  ~ArrowStorage() override {
    for (std::unique_ptr<ArrowArray>& array : arrays) {
      if (array->release != nullptr) array->release(array.get());
    }
    if (schema.release != nullptr) schema.release(&schema);
    if (stream.release != nullptr) stream.release(&stream);
  }

  ArrowArrayStream stream{};
  ArrowSchema schema{};
  std::vector<std::unique_ptr<ArrowArray>> arrays;
};

// The encoding of a non-nested Arrow format; empty for formats a column cannot hold.
std::optional<ColumnEncoding> plain_encoding(std::string_view format) {
  static constexpr struct {
    std::string_view format;
    ColumnEncoding encoding;
  } kFormats[] = {
      {"n", ColumnEncoding::kNull},      {"b", ColumnEncoding::kBoolBit},
      {"c", ColumnEncoding::kInt8},      {"C", ColumnEncoding::kUInt8},
      {"s", ColumnEncoding::kInt16},     {"S", ColumnEncoding::kUInt16},
      {"i", ColumnEncoding::kInt32},     {"I", ColumnEncoding::kUInt32},
      {"l", ColumnEncoding::kInt64},     {"L", ColumnEncoding::kUInt64},
      {"e", ColumnEncoding::kFloat16},   {"f", ColumnEncoding::kFloat32},
      {"g", ColumnEncoding::kFloat64},   {"u", ColumnEncoding::kUtf8},
      {"U", ColumnEncoding::kLargeUtf8}, {"vu", ColumnEncoding::kUtf8View},
      {"+l", ColumnEncoding::kList},     {"+L", ColumnEncoding::kLargeList},
  };
  for (const auto& known : kFormats) {
    if (known.format == format) return known.encoding;
  }
  return std::nullopt;
}

int64_t element_size(ColumnEncoding encoding) {
  switch (encoding) {
    case ColumnEncoding::kInt8:
    case ColumnEncoding::kUInt8:
      return 1;
    case ColumnEncoding::kInt16:
    case ColumnEncoding::kUInt16:
    case ColumnEncoding::kFloat16:
      return 2;
    case ColumnEncoding::kInt32:
    case ColumnEncoding::kUInt32:
    case ColumnEncoding::kFloat32:
      return 4;
    default:
      return 8;
  }
}

const char* format_of(const ArrowSchema& schema) {
  return schema.format != nullptr ? schema.format : "";
}

// Builds views over an imported array and its children, after its schema. False with the
// exception set when the format is not one a column can hold or the layout is broken.
class ViewBuilder {
 public:
  ViewBuilder(const ColumnRequest& request, Column* column) : request_(request), column_(column) {}

  const ArrayView* build(const ArrowSchema& schema, const ArrowArray& array, int depth) {
    const std::string_view format = format_of(schema);
    if (depth > 2) return unsupported(format);
    if (array.length < 0 || array.offset < 0 || array.n_buffers < 0 || array.n_children < 0) {
      return broken("길이, 오프셋, 버퍼 수, 자식 수 중 음수가 있다");
    }
    if (array.n_buffers > 0 && array.buffers == nullptr) return broken("버퍼 목록이 없다");
    if (schema.dictionary != nullptr) return build_dictionary(schema, array, depth);

    std::optional<ColumnEncoding> encoding = plain_encoding(format);
    if (!encoding) return unsupported(format);
    ArrayView* view = column_->add_view();
    view->encoding = *encoding;
    view->length = array.length;
    switch (category_of(*encoding)) {
      case ColumnCategory::kNull:
        return view;
      case ColumnCategory::kText:
        if (*encoding == ColumnEncoding::kUtf8View) return text_views(array, view);
        if (!expect_buffers(array, 3) || !validity(array, view) ||
            !offsets(array, view, *encoding == ColumnEncoding::kLargeUtf8)) {
          return nullptr;
        }
        view->chars = buffer(array, 2);
        return view;
      case ColumnCategory::kList: {
        if (!expect_buffers(array, 2) || !validity(array, view) ||
            !offsets(array, view, *encoding == ColumnEncoding::kLargeList)) {
          return nullptr;
        }
        if (schema.n_children != 1 || array.n_children != 1 || schema.children == nullptr ||
            array.children == nullptr || schema.children[0] == nullptr ||
            array.children[0] == nullptr) {
          return broken("목록의 자식 배열이 하나가 아니다");
        }
        view->child = build(*schema.children[0], *array.children[0], depth + 1);
        return view->child != nullptr ? view : nullptr;
      }
      case ColumnCategory::kBool:
        if (!expect_buffers(array, 2) || !validity(array, view)) return nullptr;
        view->data = buffer(array, 1);
        view->bit_offset = array.offset;
        return require(view->data, array) ? view : nullptr;
      default:
        if (!expect_buffers(array, 2) || !validity(array, view)) return nullptr;
        view->stride = element_size(*encoding);
        view->data = buffer(array, 1);
        if (!require(view->data, array)) return nullptr;
        view->data += array.offset * view->stride;
        return view;
    }
  }

 private:
  const ArrayView* build_dictionary(const ArrowSchema& schema, const ArrowArray& array, int depth) {
    std::optional<ColumnEncoding> index = plain_encoding(format_of(schema));
    if (!index || category_of(*index) != ColumnCategory::kInteger) {
      return unsupported(format_of(schema));
    }
    if (array.dictionary == nullptr) return broken("사전 배열이 없다");
    ArrayView* view = column_->add_view();
    view->encoding = ColumnEncoding::kDictionary;
    view->index_encoding = *index;
    view->length = array.length;
    if (!expect_buffers(array, 2) || !validity(array, view)) return nullptr;
    view->stride = element_size(*index);
    view->data = buffer(array, 1);
    if (!require(view->data, array)) return nullptr;
    view->data += array.offset * view->stride;
    view->child = build(*schema.dictionary, *array.dictionary, depth + 1);
    return view->child != nullptr ? view : nullptr;
  }

  const ArrayView* text_views(const ArrowArray& array, ArrayView* view) {
    // Validity, the views, any number of data buffers, then their sizes.
    if (array.n_buffers < 3) return broken_buffers(array, 3);
    if (!validity(array, view)) return nullptr;
    view->data = buffer(array, 1);
    if (!require(view->data, array)) return nullptr;
    view->data += array.offset * 16;
    for (int64_t i = 2; i + 1 < array.n_buffers; ++i)
      view->view_buffers.push_back(buffer(array, i));
    return view;
  }

  static const uint8_t* buffer(const ArrowArray& array, int64_t index) {
    return static_cast<const uint8_t*>(array.buffers[index]);
  }

  bool validity(const ArrowArray& array, ArrayView* view) {
    // A bitmap may be left out when nothing is missing, and need not be read then.
    if (array.null_count != 0 && array.buffers[0] != nullptr) {
      view->validity = buffer(array, 0);
      view->validity_offset = array.offset;
    }
    return true;
  }

  bool offsets(const ArrowArray& array, ArrayView* view, bool large) {
    const uint8_t* offsets = buffer(array, 1);
    if (!require(offsets, array)) return false;
    view->offsets = offsets + array.offset * (large ? 8 : 4);
    return true;
  }

  bool require(const uint8_t* data, const ArrowArray& array) {
    if (data != nullptr || array.length == 0) return true;
    broken("값 버퍼가 없다");
    return false;
  }

  bool expect_buffers(const ArrowArray& array, int64_t count) {
    if (array.n_buffers == count) return true;
    broken_buffers(array, count);
    return false;
  }

  const ArrayView* broken_buffers(const ArrowArray& array, int64_t count) {
    return broken("버퍼가 " + std::to_string(count) + " 개여야 하는데 " +
                  std::to_string(array.n_buffers) + " 개다");
  }

  const ArrayView* broken(const std::string& detail) {
    raise_arrow_structure(request_.name, detail);
    return nullptr;
  }

  const ArrayView* unsupported(std::string_view format) {
    raise_unsupported_format(request_, format);
    return nullptr;
  }

  const ColumnRequest& request_;
  Column* column_;
};

// The category of the rows a schema describes, and the format to name them by: a
// dictionary's values stand for it; a list's items are described too. False, with the
// exception set, for a format no column can hold.
bool describe(const ColumnRequest& request, const ArrowSchema& schema, Column* column) {
  const ArrowSchema* values = schema.dictionary != nullptr ? schema.dictionary : &schema;
  std::optional<ColumnEncoding> encoding = plain_encoding(format_of(*values));
  if (!encoding) return raise_unsupported_format(request, format_of(*values));
  std::string format = format_of(*values);
  if (category_of(*encoding) == ColumnCategory::kList && values->n_children == 1 &&
      values->children != nullptr && values->children[0] != nullptr) {
    const ArrowSchema& items = *values->children[0];
    const ArrowSchema* item_values = items.dictionary != nullptr ? items.dictionary : &items;
    format.append("<").append(format_of(*item_values)).append(">");
    std::optional<ColumnEncoding> item = plain_encoding(format_of(*item_values));
    if (!item) return raise_unsupported_format(request, format);
    column->set_item_category(category_of(*item));
  }
  column->set_category(category_of(*encoding), std::move(format));
  return true;
}

// Moves a struct out of its capsule: the copy is ours to release, and the capsule's
// destructor finds the original marked released.
template <class Struct>
bool take(PyObject* capsule, const char* name, Struct* out) {
  auto* source = static_cast<Struct*>(PyCapsule_GetPointer(capsule, name));
  if (source == nullptr) return false;
  *out = *source;
  source->release = nullptr;
  return true;
}

bool call_failed(const ColumnRequest& request) {
  note_parameter(request.name.c_str());
  return false;
}

bool import_array(PyObject* method, const ColumnRequest& request, Column* out) {
  PyRef pair = PyRef::steal(PyObject_CallNoArgs(method));
  if (!pair) return call_failed(request);
  if (!PyTuple_Check(pair.get()) || PyTuple_Size(pair.get()) != 2) {
    return raise_arrow_structure(request.name, "__arrow_c_array__ 가 두 캡슐의 튜플을 주지 않았다");
  }
  auto storage = std::make_unique<ArrowStorage>();
  auto array = std::make_unique<ArrowArray>();
  if (!take(PyTuple_GetItem(pair.get(), 0), kSchemaCapsule, &storage->schema) ||
      !take(PyTuple_GetItem(pair.get(), 1), kArrayCapsule, array.get())) {
    return call_failed(request);
  }
  if (storage->schema.release == nullptr || array->release == nullptr) {
    return raise_arrow_structure(request.name, "이미 해제된 배열이다");
  }
  storage->arrays.push_back(std::move(array));
  ArrowStorage& held = *storage;
  out->set_storage(std::move(storage));

  if (!describe(request, held.schema, out)) return false;
  ViewBuilder builder(request, out);
  const ArrayView* view = builder.build(held.schema, *held.arrays.front(), 0);
  if (view == nullptr) return false;
  out->append_chunk(view);
  return true;
}

std::string stream_error(ArrowArrayStream& stream, int code) {
  const char* text = stream.get_last_error != nullptr ? stream.get_last_error(&stream) : nullptr;
  if (text != nullptr) return text;
  return "오류 코드 " + std::to_string(code);
}

bool import_stream(PyObject* method, const ColumnRequest& request, Column* out) {
  PyRef capsule = PyRef::steal(PyObject_CallNoArgs(method));
  if (!capsule) return call_failed(request);
  auto storage = std::make_unique<ArrowStorage>();
  if (!take(capsule.get(), kStreamCapsule, &storage->stream)) return call_failed(request);
  ArrowArrayStream& stream = storage->stream;
  ArrowStorage& held = *storage;
  out->set_storage(std::move(storage));
  if (stream.release == nullptr || stream.get_schema == nullptr || stream.get_next == nullptr) {
    return raise_arrow_structure(request.name, "이미 해제된 스트림이다");
  }

  if (int code = stream.get_schema(&stream, &held.schema); code != 0) {
    return raise_arrow_stream(request.name, stream_error(stream, code));
  }
  if (!describe(request, held.schema, out)) return false;
  ViewBuilder builder(request, out);
  for (;;) {
    auto array = std::make_unique<ArrowArray>();
    if (int code = stream.get_next(&stream, array.get()); code != 0) {
      return raise_arrow_stream(request.name, stream_error(stream, code));
    }
    if (array->release == nullptr) break;  // the end of the stream
    held.arrays.push_back(std::move(array));
    const ArrayView* view = builder.build(held.schema, *held.arrays.back(), 0);
    if (view == nullptr) return false;
    out->append_chunk(view);
  }
  return true;
}

// The bound method, empty when the object has no attribute of that name; false when the
// lookup itself failed.
bool method_of(PyObject* object, const char* name, PyRef* out) {
  *out = PyRef::steal(PyObject_GetAttrString(object, name));
  if (*out) return true;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
  PyErr_Clear();
  return true;
}

// Types whose objects were found to have neither Arrow method, among those whose objects'
// attributes can never change: a failed lookup raises and formats an AttributeError, which
// costs a small run more than reading its columns. Static types live as long as the process
// and are shared by its interpreters, hence plain pointers and atomics.
constexpr size_t kRememberedTypes = 16;
std::atomic<PyTypeObject*> not_arrow_types[kRememberedTypes];

bool remembered_not_arrow(PyTypeObject* type) {
  for (const std::atomic<PyTypeObject*>& slot : not_arrow_types) {
    PyTypeObject* held = slot.load(std::memory_order_acquire);
    if (held == type) return true;
    if (held == nullptr) return false;
  }
  return false;
}

// Whether every object of `type` answers attribute lookups from the type's own fixed
// dictionaries: a static, immutable type with the generic lookup and no instance dict
// (numpy's ndarray, array.array, memoryview, list).
bool attributes_fixed(PyTypeObject* type) {
  const unsigned long flags = PyType_GetFlags(type);
  if ((flags & Py_TPFLAGS_HEAPTYPE) != 0 || (flags & Py_TPFLAGS_IMMUTABLETYPE) == 0) return false;
  if (PyType_GetSlot(type, Py_tp_getattro) != reinterpret_cast<void*>(PyObject_GenericGetAttr)) {
    return false;
  }
  PyRef offset =
      PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__dictoffset__"));
  if (!offset) {
    PyErr_Clear();
    return false;
  }
  const long value = PyLong_AsLong(offset.get());
  if (value == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return value == 0;
}

void remember_not_arrow(PyTypeObject* type) {
  if (!attributes_fixed(type)) return;
  for (std::atomic<PyTypeObject*>& slot : not_arrow_types) {
    PyTypeObject* expected = nullptr;
    if (slot.compare_exchange_strong(expected, type, std::memory_order_acq_rel)) return;
    if (expected == type) return;
  }
}

}  // namespace

ArrowImport import_arrow(PyObject* object, const ColumnRequest& request, Column* out) {
  PyTypeObject* type = Py_TYPE(object);
  if (remembered_not_arrow(type)) return ArrowImport::kNotArrow;
  PyRef method;
  if (!method_of(object, "__arrow_c_array__", &method)) return ArrowImport::kFailed;
  if (method) {
    return import_array(method.get(), request, out) ? ArrowImport::kImported : ArrowImport::kFailed;
  }
  if (!method_of(object, "__arrow_c_stream__", &method)) return ArrowImport::kFailed;
  if (method) {
    return import_stream(method.get(), request, out) ? ArrowImport::kImported
                                                     : ArrowImport::kFailed;
  }
  remember_not_arrow(type);
  return ArrowImport::kNotArrow;
}

}  // namespace korvane::python
