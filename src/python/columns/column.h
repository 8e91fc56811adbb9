// Column: one input column as the run reads it, whatever it was given as: the chunks of
// rows that make it up (one for a buffer, an Arrow array or a converted Python sequence;
// one per batch of an Arrow stream) and the storage that keeps their memory alive. The
// rows are read in place. The reads below are native and need no interpreter lock; a
// reader that fills blocks of rows walks chunks() directly. A Column is created and
// destroyed with the interpreter lock held, since its storage may hold Python objects.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/candidate_id.h"
#include "python/columns/array_view.h"
#include "python/columns/id_key.h"

namespace korvane::python {

// What keeps a column's memory alive: a held buffer, imported Arrow arrays, converted
// storage. Released, with the interpreter lock held, when the column dies.
class ColumnStorage {
 public:
  virtual ~ColumnStorage() = default;
};

class Column {
 public:
  explicit Column(std::string name) : name_(std::move(name)) {}
  Column(Column&&) = default;
  Column& operator=(Column&&) = default;
  Column(const Column&) = delete;
  Column& operator=(const Column&) = delete;

  // How messages name the column: "ids", "scores['a']", ...
  const std::string& name() const { return name_; }
  int64_t length() const { return ends_.empty() ? 0 : ends_.back(); }
  // What the rows hold (a dictionary's values for a dictionary-encoded column), and the
  // format it was given in (a buffer's or an Arrow format string), for messages.
  ColumnCategory category() const { return category_; }
  const std::string& format() const { return format_; }
  // A list column's items (a dictionary's values for dictionary-encoded items).
  ColumnCategory item_category() const { return item_category_; }
  // The chunks in row order.
  const std::vector<const ArrayView*>& chunks() const { return chunks_; }

  // Reads by row, for a row in [0, length()).
  bool present(int64_t row) const;
  // A number as a 32-bit float (integers as Python's float() rounds them, then narrowed);
  // absent for a missing row and for NaN.
  std::optional<float> score(int64_t row) const;
  // A present row's identifier: an integer from 0 up is that integer, a negative one its
  // decimal text (as str() gives it), a text the text.
  CandidateId id(int64_t row) const;
  IdKey key(int64_t row) const;
  // The caller's object for a row converted from a Python sequence; null otherwise.
  void* object(int64_t row) const;
  // A group value: a text, or an integer's decimal text; absent for a missing row.
  std::optional<std::string> text(int64_t row) const;
  // A cost; 0 for a missing row. The column was checked to hold 0 to 2^32 - 1 only.
  uint32_t cost(int64_t row) const;
  // A cover list's items in order (texts, or integers' decimal texts; missing items are
  // left out); nothing for a missing row.
  void cover(int64_t row, std::vector<std::string>* out) const;

  // Building, by the importers: views are owned by the column; chunks are appended in row
  // order.
  ArrayView* add_view();
  void append_chunk(const ArrayView* chunk);
  void set_category(ColumnCategory category, std::string format) {
    category_ = category;
    format_ = std::move(format);
  }
  void set_item_category(ColumnCategory category) { item_category_ = category; }
  void set_storage(std::unique_ptr<ColumnStorage> storage) { storage_ = std::move(storage); }

 private:
  // The chunk holding `row` and the row's index within it.
  std::pair<const ArrayView*, int64_t> locate(int64_t row) const;

  std::string name_;
  ColumnCategory category_ = ColumnCategory::kNull;
  std::string format_;
  ColumnCategory item_category_ = ColumnCategory::kNull;
  std::vector<std::unique_ptr<ArrayView>> views_;
  std::vector<const ArrayView*> chunks_;
  std::vector<int64_t> ends_;  // the row after each chunk's last
  std::unique_ptr<ColumnStorage> storage_;
};

}  // namespace korvane::python
