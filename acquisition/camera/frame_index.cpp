#include "acquisition/camera/frame_index.h"

#include <new>

const FrameEntry& FrameIndex::At(std::int64_t number) const {
  int slot = static_cast<int>(number % kImageIndexSize);
  return chunks_[static_cast<std::size_t>(slot / kChunkEntries)][slot % kChunkEntries];
}

bool FrameIndex::Append(const FrameEntry& entry) {
  if (next_ - first_ == kImageIndexSize) DropOldest();
  auto& chunk = chunks_[static_cast<std::size_t>(ChunkOf(next_))];
  if (!chunk) {
    chunk.reset(new (std::nothrow) FrameEntry[kChunkEntries]);
    if (!chunk) return false;
  }
  int slot = static_cast<int>(next_ % kImageIndexSize);
  chunk[slot % kChunkEntries] = entry;
  ++next_;
  return true;
}

void FrameIndex::DropOldest() {
  int chunk = ChunkOf(first_);
  ++first_;
  // Leaving a chunk frees it, unless the writer still fills it (a full ring
  // holds old and new entries in the same chunk).
  bool left = first_ == next_ || ChunkOf(first_) != chunk;
  if (left && ChunkOf(next_) != chunk) chunks_[static_cast<std::size_t>(chunk)].reset();
}

void FrameIndex::DropBefore(std::int64_t position) {
  while (first_ < next_ && At(first_).start < position) DropOldest();
}

template <typename Less>
std::int64_t FrameIndex::Partition(Less less) const {
  std::int64_t lo = first_, hi = next_;
  while (lo < hi) {
    std::int64_t mid = lo + (hi - lo) / 2;
    if (less(At(mid)))
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo;
}

std::int64_t FrameIndex::LowerBound(std::uint32_t session, std::int64_t begin_us) const {
  return Partition([&](const FrameEntry& e) {
    return e.session < session || (e.session == session && e.begin_us < begin_us);
  });
}

std::int64_t FrameIndex::UpperBound(std::uint32_t session, std::int64_t begin_us) const {
  return Partition([&](const FrameEntry& e) {
    return e.session < session || (e.session == session && e.begin_us <= begin_us);
  });
}

std::int64_t FrameIndex::FirstFrom(std::int64_t begin_us) const {
  return Partition([&](const FrameEntry& e) { return e.begin_us < begin_us; });
}
