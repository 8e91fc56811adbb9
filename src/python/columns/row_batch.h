// RowBatch: the two-dimensional buffers of a batch of ranked lists (queries x depth), held
// for the length of the batch so that every query reads its rows in place. The first query
// is opened as a single call opens it, which checks all that a row can get wrong. Every
// other row of a buffer has the same format and length and differs only in where it
// starts, so the other queries' columns are copies of the first query's, moved on by whole
// rows: no Python object per query, and nothing that needs the interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <memory>
#include <vector>

#include "python/columns/list_join.h"
#include "python/py_ref.h"

namespace korvane::python {

class RowBatch {
 public:
  // Dropping a batch releases its buffers: it needs the interpreter lock.
  RowBatch() = default;
  RowBatch(const RowBatch&) = delete;
  RowBatch& operator=(const RowBatch&) = delete;

  // Holds the buffers of a mapping's items ((key, (ids, scores)) pairs, in its order) when
  // every ids, and every scores that is not None, is a two-dimensional buffer of `queries`
  // rows. False, with no exception set, when they are not.
  bool hold(PyObject* items, Py_ssize_t queries);
  bool held() const { return !lists_.empty(); }

  // Whether the first query's lists, opened from these items, read each buffer's first row
  // in place as one plain chunk: the condition for rows_of.
  bool reads_first_rows(const std::vector<RankedList>& first) const;
  // The lists of query `query`: the first query's, each column moved on to its row.
  // Native: may run on any thread.
  std::vector<RankedList> rows_of(const std::vector<RankedList>& first, size_t query) const;

 private:
  // A buffer held in place: an exporter may know its views by their address.
  struct Held {
    Py_buffer view{};
    bool held = false;

    Held() = default;
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    ~Held() {
      if (held) PyBuffer_Release(&view);
    }
  };
  struct HeldList {
    std::unique_ptr<Held> ids;
    std::unique_ptr<Held> scores;  // null for None
  };

  static std::unique_ptr<Held> hold_buffer(PyObject* object, Py_ssize_t queries);
  static bool reads_first_row(const Column& column, const Held& held);
  static Column row_of(const Column& first, const Held& held, size_t query);

  std::vector<HeldList> lists_;
};

}  // namespace korvane::python
