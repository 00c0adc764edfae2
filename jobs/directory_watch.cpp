#include "jobs/directory_watch.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace jobs {

bool DirectoryWatch::Arm() {
  Close();
  platform::UniqueFd fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!fd.valid()) return false;
  if (inotify_add_watch(fd.get(), path_.c_str(),
                        IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO | IN_ONLYDIR) < 0) {
    int saved = errno;
    fd.reset();
    errno = saved;
    return false;
  }
  fd_ = std::move(fd);
  return true;
}

bool DirectoryWatch::Wait(long long milliseconds, std::vector<std::string>* finished) {
  if (milliseconds < 0) milliseconds = 0;
  if (milliseconds > INT_MAX) milliseconds = INT_MAX;
  if (!fd_.valid()) return false;
  pollfd p{fd_.get(), POLLIN, 0};
  int ready = poll(&p, 1, static_cast<int>(milliseconds));
  if (ready <= 0) return false;  // time-out (or a signal): the caller scans anyway
  // The scan that follows looks at the whole directory; the events only
  // tell which files their writers are done with. A lost event (queue
  // overflow) costs nothing but the wait for the file to stand still.
  alignas(inotify_event) char buf[8192];
  ssize_t n;
  while ((n = read(fd_.get(), buf, sizeof buf)) > 0) {
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
      if ((e->mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) && e->len > 0 && finished)
        finished->emplace_back(e->name);
      at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
    }
  }
  return true;
}

}  // namespace jobs
