#include "python/columns/buffer_import.h"

#include <memory>
#include <optional>
#include <string>

#include "python/columns/buffer_format.h"
#include "python/columns/column_messages.h"
#include "python/convert.h"

namespace korvane::python {

namespace {

// A held Py_buffer, released when the column dies.
class BufferStorage final : public ColumnStorage {
 public:
  Py_buffer* buffer() { return &buffer_; }
  void hold() { held_ = true; }
  ~BufferStorage() override {
    if (held_) PyBuffer_Release(&buffer_);
  }

 private:
  Py_buffer buffer_{};
  bool held_ = false;
};

}  // namespace

BufferImport import_buffer(PyObject* object, const ColumnRequest& request, Column* out) {
  auto storage = std::make_unique<BufferStorage>();
  Py_buffer* buffer = storage->buffer();
  if (PyObject_GetBuffer(object, buffer, PyBUF_RECORDS_RO) != 0) {
    note_parameter(request.name.c_str());
    return BufferImport::kFailed;
  }
  storage->hold();

  if (buffer->ndim != 1) {
    raise_not_one_dimensional(request.name, buffer->ndim);
    return BufferImport::kFailed;
  }
  const std::string format = buffer->format != nullptr ? buffer->format : "B";
  std::optional<BufferElement> element = parse_buffer_format(format);
  if (element && element->objects) return BufferImport::kObjects;
  if (!element || element->size != buffer->itemsize) {
    raise_unsupported_format(request, format);
    return BufferImport::kFailed;
  }

  ArrayView* view = out->add_view();
  view->encoding = element->encoding;
  view->length = buffer->shape[0];
  view->data = static_cast<const uint8_t*>(buffer->buf);
  view->stride = buffer->strides != nullptr ? buffer->strides[0] : buffer->itemsize;
  view->byte_swapped = element->byte_swapped;
  view->width = element->width;
  out->append_chunk(view);
  out->set_category(category_of(element->encoding), format);
  out->set_storage(std::move(storage));
  return BufferImport::kImported;
}

}  // namespace korvane::python
