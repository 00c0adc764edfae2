#include "platform/status.h"

#include <cerrno>
#include <cstring>

namespace platform {

Status Status::FromErrno(int error, std::string_view context) {
  const int saved = errno;
  std::string reason(context);
  if (!reason.empty()) reason += ": ";
  reason += std::strerror(error);
  errno = saved;
  return Failure(std::move(reason), error);
}

}  // namespace platform
