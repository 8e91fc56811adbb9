// ObjectHandle: an owned, move-only reference to the caller's object for a candidate (the
// Python object, for the binding). The core never looks inside; whoever creates a handle
// supplies the function that releases it, called exactly once when the handle dies.
#pragma once

#include <utility>

namespace korvane {

class ObjectHandle {
 public:
  using ReleaseFn = void (*)(void*);

  ObjectHandle() = default;
  ObjectHandle(void* object, ReleaseFn release) : object_(object), release_(release) {}
  ObjectHandle(ObjectHandle&& other) noexcept
      : object_(std::exchange(other.object_, nullptr)), release_(other.release_) {}
  ObjectHandle& operator=(ObjectHandle&& other) noexcept {
    if (this != &other) {
      reset();
      object_ = std::exchange(other.object_, nullptr);
      release_ = other.release_;
    }
    return *this;
  }
  ObjectHandle(const ObjectHandle&) = delete;
  ObjectHandle& operator=(const ObjectHandle&) = delete;
  ~ObjectHandle() { reset(); }

  void* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

  // Gives up ownership without releasing; the caller now owns the reference.
  void* take() { return std::exchange(object_, nullptr); }

  void reset() {
    void* object = std::exchange(object_, nullptr);
    if (object != nullptr && release_ != nullptr) release_(object);
  }

 private:
  void* object_ = nullptr;
  ReleaseFn release_ = nullptr;
};

}  // namespace korvane
