#include "sent_frames.h"

namespace sim {

void SentFrames::Handed(std::uint64_t n, std::uint32_t ssrc, std::uint32_t rtp_time,
                        std::int64_t us) {
  std::lock_guard<std::mutex> lock(mu_);
  packets_.push_back(Packet{ssrc, rtp_time, n});
  if (packets_.size() > kPackets) packets_.pop_front();
  frames_.try_emplace(n, Moment{us, false});
  if (frames_.size() > kFrames) frames_.erase(frames_.begin());
}

void SentFrames::Written(std::uint32_t ssrc, std::uint32_t rtp_time, std::int64_t us) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto p = packets_.rbegin(); p != packets_.rend(); ++p) {
    if (p->ssrc != ssrc || p->rtp_time != rtp_time) continue;
    auto it = frames_.find(p->n);
    if (it != frames_.end() && !it->second.written) it->second = Moment{us, true};
    return;
  }
}

std::string SentFrames::Text(std::uint64_t from, std::uint64_t to) const {
  std::string out;
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = frames_.lower_bound(from); it != frames_.end() && it->first <= to; ++it) {
    if (!out.empty()) out += ' ';
    out += std::to_string(it->first) + "=" + std::to_string(it->second.us);
  }
  return out;
}

}  // namespace sim
