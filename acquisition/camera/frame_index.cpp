#include "acquisition/camera/frame_index.h"

#include <algorithm>
#include <new>

namespace acquisition {

const FrameEntry& FrameIndex::At(std::int64_t number) const {
  int slot = static_cast<int>(number % kImageIndexSize);
  return chunks_[static_cast<std::size_t>(slot / kChunkEntries)][slot % kChunkEntries];
}

bool FrameIndex::AllocateChunk(int chunk) {
  auto& slot = chunks_[static_cast<std::size_t>(chunk)];
  // The entries' initialisers write every page of the chunk, so the memory
  // is really taken here and not page by page as frames arrive.
  if (!slot) slot.reset(new (std::nothrow) FrameEntry[kChunkEntries]);
  return slot != nullptr;
}

bool FrameIndex::Append(const FrameEntry& entry) {
  if (next_ - first_ == kImageIndexSize) DropOldest();
  if (!AllocateChunk(ChunkOf(next_))) return false;
  int slot = static_cast<int>(next_ % kImageIndexSize);
  chunks_[static_cast<std::size_t>(slot / kChunkEntries)][slot % kChunkEntries] = entry;
  ++next_;
  return true;
}

void FrameIndex::ReserveForRing(std::int64_t ring_bytes) {
  constexpr std::int64_t kSample = 8;
  if (reserved_ || next_ - first_ < kSample) return;
  reserved_ = true;
  std::int64_t bytes = 0;
  for (std::int64_t n = next_ - kSample; n < next_; ++n) bytes += At(n).length;
  if (bytes <= 0) return;
  std::int64_t want = ring_bytes / (bytes / kSample + 1) * 5 / 4;
  TakeChunksUpTo(first_ + std::min<std::int64_t>(want, kImageIndexSize));
}

void FrameIndex::TakeChunksUpTo(std::int64_t end) {
  end = std::min(end, first_ + kImageIndexSize);
  for (std::int64_t n = next_; n < end; n = (n / kChunkEntries + 1) * kChunkEntries)
    if (!AllocateChunk(ChunkOf(n))) return;
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
    return e.session < session || (e.session == session && e.order_us() < begin_us);
  });
}

std::int64_t FrameIndex::UpperBound(std::uint32_t session, std::int64_t begin_us) const {
  return Partition([&](const FrameEntry& e) {
    return e.session < session || (e.session == session && e.order_us() <= begin_us);
  });
}

std::int64_t FrameIndex::FirstFrom(std::int64_t begin_us) const {
  return Partition([&](const FrameEntry& e) { return e.order_us() < begin_us; });
}

}  // namespace acquisition
