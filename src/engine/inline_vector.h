// InlineVector: a vector of trivially copyable elements whose first N live inside the
// object. Runs hold thousands of short per-axis lists (values, evidence terms), and these
// lists then cost no allocation unless the configuration is wider than N.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <type_traits>

namespace korvane {

template <class T, size_t N>
class InlineVector {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  using value_type = T;
  using iterator = value_type*;
  using const_iterator = const value_type*;
  static constexpr size_t kInline = N;

  InlineVector() = default;
  // n value-initialised elements.
  explicit InlineVector(size_t n) { resize(n); }
  InlineVector(std::initializer_list<value_type> values) { assign(values.begin(), values.end()); }
  InlineVector(const InlineVector& other) { assign(other.begin(), other.end()); }
  InlineVector(InlineVector&& other) noexcept { take(other); }
  InlineVector& operator=(const InlineVector& other) {
    if (this != &other) assign(other.begin(), other.end());
    return *this;
  }
  InlineVector& operator=(InlineVector&& other) noexcept {
    if (this != &other) take(other);
    return *this;
  }
  InlineVector& operator=(std::initializer_list<value_type> values) {
    assign(values.begin(), values.end());
    return *this;
  }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  value_type* data() { return heap_ ? heap_.get() : inline_; }
  const value_type* data() const { return heap_ ? heap_.get() : inline_; }
  iterator begin() { return data(); }
  iterator end() { return data() + size_; }
  const_iterator begin() const { return data(); }
  const_iterator end() const { return data() + size_; }
  value_type& operator[](size_t i) { return data()[i]; }
  const value_type& operator[](size_t i) const { return data()[i]; }
  operator std::span<const value_type>() const { return {data(), size_}; }

  // Grows with value-initialised elements or shrinks; the first min(n, size()) values stay.
  void resize(size_t n) {
    reserve(n);
    value_type* values = data();
    for (size_t i = size_; i < n; ++i) values[i] = T{};
    size_ = static_cast<uint32_t>(n);
  }
  void assign(size_t n, const value_type& value) {
    size_ = 0;
    reserve(n);
    std::fill_n(data(), n, value);
    size_ = static_cast<uint32_t>(n);
  }
  void assign(const value_type* first, const value_type* last) {
    const size_t n = static_cast<size_t>(last - first);
    size_ = 0;
    reserve(n);
    std::copy(first, last, data());
    size_ = static_cast<uint32_t>(n);
  }
  void push_back(const value_type& value) {
    if (size_ == capacity()) reserve(std::max<size_t>(2 * size_, kInline));
    data()[size_++] = value;
  }
  void clear() { size_ = 0; }

  friend bool operator==(const InlineVector& a, const InlineVector& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

  // Room for n values, the present ones kept.
  void reserve(size_t n) {
    if (n <= capacity()) return;
    auto grown = std::make_unique<value_type[]>(n);
    std::copy(begin(), end(), grown.get());
    heap_ = std::move(grown);
    heap_capacity_ = static_cast<uint32_t>(n);
  }

 private:
  size_t capacity() const { return heap_ ? heap_capacity_ : kInline; }

  void take(InlineVector& other) {
    if (other.heap_) {
      heap_ = std::move(other.heap_);
      heap_capacity_ = other.heap_capacity_;
    } else {
      heap_.reset();
      std::copy(other.inline_, other.inline_ + other.size_, inline_);
    }
    size_ = other.size_;
    other.size_ = 0;
  }

  std::unique_ptr<value_type[]> heap_;
  uint32_t size_ = 0;
  uint32_t heap_capacity_ = 0;
  value_type inline_[kInline];
};

}  // namespace korvane
