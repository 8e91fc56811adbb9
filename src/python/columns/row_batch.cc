#include "python/columns/row_batch.h"

#include <utility>

namespace korvane::python {

namespace {

// Fixed-width numbers: a row of them starts a whole row stride after the row before.
bool fixed_width_number(ColumnEncoding encoding) {
  return encoding >= ColumnEncoding::kInt8 && encoding <= ColumnEncoding::kBoolByte;
}

}  // namespace

std::unique_ptr<RowBatch::Held> RowBatch::hold_buffer(PyObject* object, Py_ssize_t queries) {
  if (!PyObject_CheckBuffer(object)) return nullptr;
  auto held = std::make_unique<Held>();
  if (PyObject_GetBuffer(object, &held->view, PyBUF_RECORDS_RO) != 0) {
    PyErr_Clear();  // the single-query reading says what is wrong with it
    return nullptr;
  }
  held->held = true;
  const Py_buffer& view = held->view;
  if (view.ndim != 2 || view.shape == nullptr || view.strides == nullptr ||
      view.shape[0] != queries) {
    return nullptr;
  }
  return held;
}

bool RowBatch::hold(PyObject* items, Py_ssize_t queries) {
  const Py_ssize_t count = PyList_Size(items);
  if (count <= 0) {
    PyErr_Clear();
    return false;
  }
  std::vector<HeldList> lists;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* pair = PyTuple_GetItem(PyList_GetItem(items, i), 1);
    if (pair == nullptr || !(PyTuple_Check(pair) || PyList_Check(pair)) ||
        PySequence_Size(pair) != 2) {
      PyErr_Clear();
      return false;
    }
    PyRef ids = PyRef::steal(PySequence_GetItem(pair, 0));
    PyRef scores = ids ? PyRef::steal(PySequence_GetItem(pair, 1)) : PyRef();
    if (!scores) {
      PyErr_Clear();
      return false;
    }
    HeldList list;
    list.ids = hold_buffer(ids.get(), queries);
    if (!list.ids) return false;
    if (scores.get() != Py_None) {
      list.scores = hold_buffer(scores.get(), queries);
      if (!list.scores) return false;
    }
    lists.push_back(std::move(list));
  }
  lists_ = std::move(lists);
  return true;
}

bool RowBatch::reads_first_row(const Column& column, const Held& held) {
  if (column.chunks().size() != 1) return false;
  const ArrayView& chunk = *column.chunks().front();
  return fixed_width_number(chunk.encoding) && chunk.validity == nullptr &&
         chunk.data == static_cast<const uint8_t*>(held.view.buf) &&
         chunk.stride == held.view.strides[1] && chunk.length == held.view.shape[1];
}

bool RowBatch::reads_first_rows(const std::vector<RankedList>& first) const {
  if (first.size() != lists_.size()) return false;
  for (size_t i = 0; i < first.size(); ++i) {
    const RankedList& list = first[i];
    const HeldList& held = lists_[i];
    if (!reads_first_row(list.ids, *held.ids)) return false;
    if ((list.scores == nullptr) != (held.scores == nullptr)) return false;
    if (list.scores && !reads_first_row(*list.scores, *held.scores)) return false;
  }
  return true;
}

Column RowBatch::row_of(const Column& first, const Held& held, size_t query) {
  Column column(first.name());
  column.set_category(first.category(), first.format());
  column.set_item_category(first.item_category());
  ArrayView* chunk = column.add_view();
  *chunk = *first.chunks().front();
  chunk->data += static_cast<Py_ssize_t>(query) * held.view.strides[0];
  column.append_chunk(chunk);
  return column;
}

std::vector<RankedList> RowBatch::rows_of(const std::vector<RankedList>& first,
                                          size_t query) const {
  std::vector<RankedList> lists;
  lists.reserve(first.size());
  for (size_t i = 0; i < first.size(); ++i) {
    RankedList list{first[i].axis, row_of(first[i].ids, *lists_[i].ids, query), nullptr};
    if (first[i].scores) {
      list.scores = std::make_unique<Column>(row_of(*first[i].scores, *lists_[i].scores, query));
    }
    lists.push_back(std::move(list));
  }
  return lists;
}

}  // namespace korvane::python
