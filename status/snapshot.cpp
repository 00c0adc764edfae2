#include "status/snapshot.h"

#include <chrono>
#include <new>
#include <vector>

#include <httplib.h>

#include "platform/strings.h"
#include "status/status_listener.h"

namespace status {

namespace {

constexpr const char* kRoute = R"(/cameras/([^/]*)/snapshot\.jpg)";
constexpr const char* kJpegType = "image/jpeg";
constexpr const char* kTextType = "text/plain; charset=utf-8";
constexpr const char* kBadNumber = "Not a camera number: cameras are numbered 1 to %d\n";
constexpr const char* kNotConfigured = "Camera %d is not configured\n";
constexpr const char* kNoFrame = "Camera %d has no frame yet\n";
constexpr const char* kBusy = "Every snapshot decoder is busy: try again in a moment\n";
// A wait for another request's decode looks at the clock this often.
constexpr auto kWaitSlice = std::chrono::milliseconds(200);

// 1 to 159 in digits without a leading zero; 0 for anything else.
int CameraNumber(std::string_view text) {
  if (text.empty() || text.size() > 3 || text[0] == '0') return 0;
  int n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + (c - '0');
  }
  return n < core::kCameraSlots ? n : 0;
}

SnapshotAnswer Text(int status, std::string text) { return {status, nullptr, std::move(text)}; }

SnapshotAnswer Busy() { return Text(503, kBusy); }

}  // namespace

Snapshots::Snapshots(acquisition::CameraTable& cameras, platform::Clock& clock)
    : cameras_(cameras), clock_(clock) {}

SnapshotAnswer Snapshots::Answer(std::string_view number) {
  const int n = CameraNumber(number);
  if (n == 0) return Text(400, platform::StringPrintf(kBadNumber, core::kCameraSlots - 1));
  acquisition::Camera& camera = cameras_[n];
  if (!camera.IsActive()) return Text(404, platform::StringPrintf(kNotConfigured, n));
  acquisition::FrameRef newest;
  if (!camera.FrameByNumber(camera.next_frame_number() - 1, &newest))
    return Text(404, platform::StringPrintf(kNoFrame, n));
  return camera.stream_kind() == acquisition::StreamKind::kRtsp ? Decoded(camera, n)
                                                                : Stored(camera, newest);
}

SnapshotAnswer Snapshots::Stored(acquisition::Camera& camera, const acquisition::FrameRef& newest) {
  // The ring reads a frame into a buffer larger than it.
  std::string jpeg(static_cast<std::size_t>(newest.entry.length) + 1, '\0');
  auto* bytes = reinterpret_cast<std::uint8_t*>(jpeg.data());
  std::string why;
  int got = camera.ReadStoredFrame(newest, bytes, static_cast<int>(jpeg.size()), &why);
  if (got >= 0) got = camera.CheckJpeg(newest, bytes, got, &why);
  if (got < 0) return Text(500, why + "\n");
  jpeg.resize(static_cast<std::size_t>(got));
  return {200, std::make_shared<const std::string>(std::move(jpeg)), ""};
}

SnapshotAnswer Snapshots::Decoded(acquisition::Camera& camera, int n) {
  const std::size_t slot = static_cast<std::size_t>(n);
  {
    platform::MutexLock guard(lock_);
    if (!AwaitDecode(n)) return Busy();
    const Kept& kept = kept_[slot];
    if (kept.made && clock_.MonotonicMicros() - kept.made_us < kSnapshotKeepUs) return kept.answer;
    if (decodes_ >= kSnapshotDecodesMax) return Busy();
    kept_[slot].decoding = true;
    ++decodes_;
  }
  acquisition::DecoderBudget& budget = cameras_.decoder_budget();
  // The jobs' decoding comes first: a snapshot takes a free place or none.
  const bool placed = budget.Acquire(clock_, clock_.MonotonicMicros());
  SnapshotAnswer answer = placed ? Decode(camera, n) : Busy();
  if (placed) budget.Release();
  platform::MutexLock guard(lock_);
  if (placed) {
    Keep(n, answer);
  } else {
    kept_[slot].decoding = false;
  }
  --decodes_;
  decoded_.SignalAll();
  return answer;
}

bool Snapshots::AwaitDecode(int n) {
  const std::int64_t deadline = clock_.MonotonicMicros() + kSnapshotWaitUs;
  while (kept_[static_cast<std::size_t>(n)].decoding) {
    if (clock_.MonotonicMicros() >= deadline) return false;
    decoded_.WaitFor(lock_, kWaitSlice);
  }
  return true;
}

SnapshotAnswer Snapshots::Decode(acquisition::Camera& camera, int n) {
  acquisition::FrameRef newest;
  if (!camera.FrameByNumber(camera.next_frame_number() - 1, &newest))
    return Text(404, platform::StringPrintf(kNoFrame, n));
  std::vector<std::uint8_t> buffer(acquisition::kImageBufferSize);
  std::string why;
  acquisition::DecodingService& decoding = camera.snapshot_decoding();
  // Attached for this one image: its decoder and pictures go when it is made.
  decoding.Attach();
  const int size = decoding.Jpeg(newest, buffer.data(), &why);
  decoding.Detach();
  if (size < 0) return Text(500, why + "\n");
  return {200,
          std::make_shared<const std::string>(buffer.begin(),
                                              buffer.begin() + static_cast<std::ptrdiff_t>(size)),
          ""};
}

void Snapshots::Keep(int n, const SnapshotAnswer& answer) {
  const std::int64_t now = clock_.MonotonicMicros();
  for (Kept& old : kept_)
    if (old.made && !old.decoding && now - old.made_us > kSnapshotDropUs) old = Kept{};
  Kept& kept = kept_[static_cast<std::size_t>(n)];
  kept.answer = answer;
  kept.made_us = now;
  kept.made = true;
  kept.decoding = false;
}

bool AddSnapshotRoute(HttpHandlers& server, acquisition::CameraTable& cameras,
                      platform::Clock& clock) {
  auto* snapshots = new (std::nothrow) Snapshots(cameras, clock);
  if (snapshots == nullptr) return false;
  server.Get(kRoute, [snapshots](const httplib::Request& req, httplib::Response& res) {
    const SnapshotAnswer answer = snapshots->Answer(req.matches[1].str());
    res.status = answer.status;
    res.set_header("Cache-Control", "no-store");
    if (answer.jpeg)
      res.set_content(*answer.jpeg, kJpegType);
    else
      res.set_content(answer.text, kTextType);
  });
  return true;
}

}  // namespace status
