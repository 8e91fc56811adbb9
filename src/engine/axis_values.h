// AxisValues: one optional value per registered axis, registration order. Every candidate
// and pool member carries one, and runs hold thousands of them, so up to kInline values live
// inside the object and only wider configurations allocate.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>

namespace korvane {

class AxisValues {
 public:
  using value_type = std::optional<float>;
  using iterator = value_type*;
  using const_iterator = const value_type*;
  static constexpr size_t kInline = 4;

  AxisValues() = default;
  // n absent values.
  explicit AxisValues(size_t n) { resize(n); }
  AxisValues(std::initializer_list<value_type> values) { assign(values.begin(), values.end()); }
  AxisValues(const AxisValues& other) { assign(other.begin(), other.end()); }
  AxisValues(AxisValues&& other) noexcept { take(other); }
  AxisValues& operator=(const AxisValues& other) {
    if (this != &other) assign(other.begin(), other.end());
    return *this;
  }
  AxisValues& operator=(AxisValues&& other) noexcept {
    if (this != &other) take(other);
    return *this;
  }
  AxisValues& operator=(std::initializer_list<value_type> values) {
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

  // Grows with absent values or shrinks; the first min(n, size()) values stay.
  void resize(size_t n) {
    reserve(n);
    value_type* values = data();
    for (size_t i = size_; i < n; ++i) values[i] = std::nullopt;
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

  friend bool operator==(const AxisValues& a, const AxisValues& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  size_t capacity() const { return heap_ ? heap_capacity_ : kInline; }

  // Room for n values, the present ones kept.
  void reserve(size_t n) {
    if (n <= capacity()) return;
    auto grown = std::make_unique<value_type[]>(n);
    std::copy(begin(), end(), grown.get());
    heap_ = std::move(grown);
    heap_capacity_ = static_cast<uint32_t>(n);
  }

  void take(AxisValues& other) {
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
