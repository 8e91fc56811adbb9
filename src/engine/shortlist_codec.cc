#include "engine/shortlist_codec.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

namespace korvane {

namespace {

constexpr uint64_t kMagic = 0x314c53564b524f4bull;  // "KORVKSL1" read little-endian

class Writer {
 public:
  void u64(uint64_t value) {
    for (int i = 0; i < 8; ++i) out_.push_back(static_cast<char>(value >> (8 * i)));
  }
  void u8(uint8_t value) { out_.push_back(static_cast<char>(value)); }
  void f32(float value) { u64(std::bit_cast<uint32_t>(value)); }
  void text(std::string_view value) {
    u64(value.size());
    out_.append(value);
  }
  void optional_f32(const std::optional<float>& value) {
    u8(value.has_value());
    if (value) f32(*value);
  }
  void id(const CandidateId& value) {
    u8(value.is_integer());
    if (value.is_integer()) {
      u64(value.integer());
    } else {
      text(value.text());
    }
  }
  std::string take() { return std::move(out_); }

 private:
  std::string out_;
};

class Reader {
 public:
  explicit Reader(std::string_view in) : in_(in) {}

  bool u64(uint64_t* value) {
    if (in_.size() < 8) return false;
    *value = 0;
    for (int i = 0; i < 8; ++i) *value |= uint64_t{static_cast<unsigned char>(in_[i])} << (8 * i);
    in_.remove_prefix(8);
    return true;
  }
  bool u8(uint8_t* value) {
    if (in_.empty()) return false;
    *value = static_cast<uint8_t>(in_[0]);
    in_.remove_prefix(1);
    return *value <= 1 || allow_byte_;
  }
  bool f32(float* value) {
    uint64_t bits = 0;
    if (!u64(&bits) || bits > UINT32_MAX) return false;
    *value = std::bit_cast<float>(static_cast<uint32_t>(bits));
    return true;
  }
  bool text(std::string* value) {
    uint64_t size = 0;
    if (!u64(&size) || size > in_.size()) return false;
    value->assign(in_.substr(0, size));
    in_.remove_prefix(size);
    return true;
  }
  bool optional_f32(std::optional<float>* value) {
    uint8_t present = 0;
    if (!u8(&present)) return false;
    value->reset();
    if (!present) return true;
    float v = 0;
    if (!f32(&v)) return false;
    *value = v;
    return true;
  }
  bool id(CandidateId* value) {
    uint8_t integer = 0;
    if (!u8(&integer)) return false;
    if (integer) {
      uint64_t v = 0;
      if (!u64(&v)) return false;
      *value = CandidateId(v);
      return true;
    }
    std::string text_value;
    if (!text(&text_value)) return false;
    *value = CandidateId(std::move(text_value));
    return true;
  }
  // A count of items each taking at least `least` bytes: refuses counts the rest cannot hold.
  bool count(uint64_t* value, size_t least) {
    return u64(value) && *value <= in_.size() / (least == 0 ? 1 : least);
  }
  bool kind(uint8_t* value) {
    allow_byte_ = true;
    bool ok = u8(value);
    allow_byte_ = false;
    return ok && *value < kRejectKindCount;
  }
  bool done() const { return in_.empty(); }

 private:
  std::string_view in_;
  bool allow_byte_ = false;
};

}  // namespace

std::string encode_shortlist(const Shortlist& shortlist) {
  Writer out;
  out.u64(kMagic);
  out.u64(shortlist.members.size());
  for (size_t m = 0; m < shortlist.members.size(); ++m) {
    const PoolRecord& member = shortlist.members[m];
    const Candidate& candidate = member.candidate;
    out.id(candidate.id);
    out.u64(candidate.values.size());
    for (const std::optional<float>& value : candidate.values) out.optional_f32(value);
    out.u64(candidate.groups.size());
    for (const std::optional<std::string>& group : candidate.groups) {
      out.u8(group.has_value());
      if (group) out.text(*group);
    }
    out.u64(candidate.cover.size());
    for (const std::string& item : candidate.cover) out.text(item);
    out.u64(candidate.cost);
    out.u64(member.axis_values.size());
    for (const std::optional<float>& value : member.axis_values) out.optional_f32(value);
    out.f32(shortlist.admission[m]);
    out.u64(shortlist.arrival[m]);
  }
  out.u64(shortlist.input_count);
  out.u64(shortlist.axes.size());
  for (const ScorerTrace& axis : shortlist.axes) {
    out.text(axis.scorer);
    out.u64(axis.calls);
    out.u64(axis.missing);
    out.u64(static_cast<uint64_t>(axis.elapsed_nanos >> 64));
    out.u64(static_cast<uint64_t>(axis.elapsed_nanos));
  }
  for (uint64_t count : shortlist.counts.counts) out.u64(count);
  out.u64(shortlist.rejected.size());
  for (const RejectedEntry& entry : shortlist.rejected) {
    out.u8(static_cast<uint8_t>(entry.reason.kind));
    out.text(entry.reason.name);
    out.id(entry.candidate.id);
    out.optional_f32(entry.fused);
  }
  return out.take();
}

std::optional<Shortlist> decode_shortlist(std::string_view bytes, size_t axis_count,
                                          size_t group_count) {
  Reader in(bytes);
  Shortlist shortlist;
  uint64_t magic = 0, members = 0;
  if (!in.u64(&magic) || magic != kMagic || !in.count(&members, 8)) return std::nullopt;
  shortlist.members.resize(members);
  shortlist.admission.resize(members);
  shortlist.arrival.resize(members);
  for (size_t m = 0; m < members; ++m) {
    PoolRecord& member = shortlist.members[m];
    Candidate& candidate = member.candidate;
    uint64_t size = 0;
    if (!in.id(&candidate.id) || !in.count(&size, 1) || size != axis_count) return std::nullopt;
    candidate.values.resize(size);
    for (std::optional<float>& value : candidate.values) {
      if (!in.optional_f32(&value)) return std::nullopt;
    }
    if (!in.count(&size, 1) || (size != group_count && size != 0)) return std::nullopt;
    candidate.groups.resize(size);
    for (std::optional<std::string>& group : candidate.groups) {
      uint8_t present = 0;
      if (!in.u8(&present)) return std::nullopt;
      if (present && !in.text(&group.emplace())) return std::nullopt;
    }
    if (!in.count(&size, 8)) return std::nullopt;
    candidate.cover.resize(size);
    for (std::string& item : candidate.cover) {
      if (!in.text(&item)) return std::nullopt;
    }
    uint64_t cost = 0;
    if (!in.u64(&cost) || cost > UINT32_MAX) return std::nullopt;
    candidate.cost = static_cast<uint32_t>(cost);
    if (!in.count(&size, 1) || size != axis_count) return std::nullopt;
    member.axis_values.resize(size);
    for (std::optional<float>& value : member.axis_values) {
      if (!in.optional_f32(&value)) return std::nullopt;
    }
    if (!in.f32(&shortlist.admission[m]) || !in.u64(&shortlist.arrival[m])) return std::nullopt;
  }
  uint64_t axes = 0;
  if (!in.u64(&shortlist.input_count) || !in.count(&axes, 40) || axes != axis_count) {
    return std::nullopt;
  }
  shortlist.axes.resize(axes);
  for (ScorerTrace& axis : shortlist.axes) {
    uint64_t high = 0, low = 0;
    if (!in.text(&axis.scorer) || !in.u64(&axis.calls) || !in.u64(&axis.missing) ||
        !in.u64(&high) || !in.u64(&low)) {
      return std::nullopt;
    }
    axis.elapsed_nanos = (uint128{high} << 64) | low;
  }
  for (uint64_t& count : shortlist.counts.counts) {
    if (!in.u64(&count)) return std::nullopt;
  }
  uint64_t rejected = 0;
  if (!in.count(&rejected, 11)) return std::nullopt;
  shortlist.rejected.resize(rejected);
  for (RejectedEntry& entry : shortlist.rejected) {
    uint8_t kind = 0;
    if (!in.kind(&kind)) return std::nullopt;
    entry.reason.kind = static_cast<RejectKind>(kind);
    if (!in.text(&entry.reason.name) || !in.id(&entry.candidate.id) ||
        !in.optional_f32(&entry.fused)) {
      return std::nullopt;
    }
  }
  if (!in.done()) return std::nullopt;
  return shortlist;
}

}  // namespace korvane
