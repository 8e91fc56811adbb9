// ChunkedList: a sequence that grows at its end without moving what it holds. Chunk k holds
// kFirstChunk * 2^k elements, so an index finds its chunk with one bit scan. A run that keeps
// millions of drops neither copies them as it grows nor holds them twice while it does; an
// empty list allocates nothing.
#pragma once

#include <bit>
#include <cstddef>
#include <utility>
#include <vector>

namespace korvane {

template <class T>
class ChunkedList {
 public:
  ChunkedList() = default;
  ChunkedList(ChunkedList&& other) noexcept
      : chunks_(std::move(other.chunks_)), size_(std::exchange(other.size_, 0)) {}
  ChunkedList& operator=(ChunkedList&& other) noexcept {
    if (this != &other) {
      chunks_ = std::move(other.chunks_);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  T& operator[](size_t i) {
    const auto [chunk, offset] = locate(i);
    return chunks_[chunk][offset];
  }
  const T& operator[](size_t i) const {
    const auto [chunk, offset] = locate(i);
    return chunks_[chunk][offset];
  }

  template <class... Args>
  T& emplace_back(Args&&... args) {
    if (chunks_.empty() || chunks_.back().size() == chunk_size(chunks_.size() - 1)) {
      chunks_.emplace_back().reserve(chunk_size(chunks_.size()));
    }
    ++size_;
    return chunks_.back().emplace_back(std::forward<Args>(args)...);
  }
  void push_back(T&& value) { emplace_back(std::move(value)); }
  void pop_back() {
    chunks_.back().pop_back();
    if (chunks_.back().empty()) chunks_.pop_back();
    --size_;
  }
  // Default-constructed elements are added, or the last ones dropped.
  void resize(size_t n) {
    while (size_ > n) pop_back();
    while (size_ < n) emplace_back();
  }
  void clear() {
    chunks_.clear();
    size_ = 0;
  }

  template <class List, class Element>
  class Iterator {
   public:
    Iterator(List* list, size_t chunk, size_t offset)
        : list_(list), chunk_(chunk), offset_(offset) {}
    Element& operator*() const { return list_->chunks_[chunk_][offset_]; }
    Element* operator->() const { return &**this; }
    Iterator& operator++() {
      if (++offset_ == list_->chunks_[chunk_].size()) {
        ++chunk_;
        offset_ = 0;
      }
      return *this;
    }
    bool operator==(const Iterator& other) const {
      return chunk_ == other.chunk_ && offset_ == other.offset_;
    }

   private:
    List* list_;
    size_t chunk_;
    size_t offset_;
  };
  using iterator = Iterator<ChunkedList, T>;
  using const_iterator = Iterator<const ChunkedList, const T>;

  iterator begin() { return iterator(this, 0, 0); }
  iterator end() { return iterator(this, chunks_.size(), 0); }
  const_iterator begin() const { return const_iterator(this, 0, 0); }
  const_iterator end() const { return const_iterator(this, chunks_.size(), 0); }

 private:
  static constexpr size_t kFirstChunk = 16;

  static size_t chunk_size(size_t chunk) { return kFirstChunk << chunk; }
  // Chunk k starts at kFirstChunk * (2^k - 1).
  static std::pair<size_t, size_t> locate(size_t i) {
    const size_t chunk = static_cast<size_t>(std::bit_width(i / kFirstChunk + 1)) - 1;
    return {chunk, i - kFirstChunk * ((size_t{1} << chunk) - 1)};
  }

  std::vector<std::vector<T>> chunks_;
  size_t size_ = 0;
};

}  // namespace korvane
