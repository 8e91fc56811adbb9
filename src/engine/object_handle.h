// ObjectHandle: an owned, move-only reference to the caller's object for a candidate (the
// Python object, for the binding). The core never looks inside. A handle holds nothing, an
// object with the function that releases it (called exactly once when the handle dies), or a
// row number: a source whose objects are integers (its row numbers, or integer ids) hands
// those out, and the binding makes the integer's object only when someone looks at it.
#pragma once

#include <cstdint>
#include <utility>

namespace korvane {

class ObjectHandle {
 public:
  using ReleaseFn = void (*)(void*);

  ObjectHandle() = default;
  ObjectHandle(void* object, ReleaseFn release) : object_(object), release_(release) {}
  ObjectHandle(ObjectHandle&& other) noexcept
      : object_(std::exchange(other.object_, nullptr)),
        release_(other.release_),
        row_(other.row_),
        is_row_(std::exchange(other.is_row_, false)) {}
  ObjectHandle& operator=(ObjectHandle&& other) noexcept {
    if (this != &other) {
      reset();
      object_ = std::exchange(other.object_, nullptr);
      release_ = other.release_;
      row_ = other.row_;
      is_row_ = std::exchange(other.is_row_, false);
    }
    return *this;
  }
  ObjectHandle(const ObjectHandle&) = delete;
  ObjectHandle& operator=(const ObjectHandle&) = delete;
  ~ObjectHandle() { reset(); }

  // A handle that stands for row `row`; there is nothing to release.
  static ObjectHandle Row(int64_t row) {
    ObjectHandle handle;
    handle.row_ = row;
    handle.is_row_ = true;
    return handle;
  }

  bool is_row() const { return is_row_; }
  // Precondition: is_row().
  int64_t row() const { return row_; }

  // The object; null for an empty handle and for a row handle.
  void* get() const { return object_; }
  // Whether the handle holds an object or a row.
  explicit operator bool() const { return object_ != nullptr || is_row_; }

  // Gives up ownership without releasing; the caller now owns the reference. A row handle
  // is emptied and gives null.
  void* take() {
    is_row_ = false;
    return std::exchange(object_, nullptr);
  }

  void reset() {
    is_row_ = false;
    void* object = std::exchange(object_, nullptr);
    if (object != nullptr && release_ != nullptr) release_(object);
  }

 private:
  void* object_ = nullptr;
  ReleaseFn release_ = nullptr;
  int64_t row_ = 0;
  bool is_row_ = false;
};

}  // namespace korvane
