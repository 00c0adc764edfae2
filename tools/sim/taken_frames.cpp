#include "taken_frames.h"

namespace sim {

void TakenFrames::Taken(std::uint64_t n, std::int64_t us) {
  std::lock_guard<std::mutex> lock(mu_);
  frames_.try_emplace(n, us);
  if (frames_.size() > kFrames) frames_.erase(frames_.begin());
}

std::string TakenFrames::Text(std::uint64_t from, std::uint64_t to) const {
  std::string out;
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = frames_.lower_bound(from); it != frames_.end() && it->first <= to; ++it) {
    if (!out.empty()) out += ' ';
    out += std::to_string(it->first) + "=" + std::to_string(it->second);
  }
  return out;
}

}  // namespace sim
