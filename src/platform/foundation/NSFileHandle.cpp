#include "platform/foundation/NSFileHandle.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

[[noreturn]] void failWrite(int error) {
  const std::string line =
      std::string("NSFileHandleOperationException: writeData: ") + std::strerror(error) + "\n";
  // Best effort: standard error may be the descriptor that failed.
  [[maybe_unused]] const auto ignored = ::write(STDERR_FILENO, line.data(), line.size());
  _exit(1);
}

// A descriptor set O_NONBLOCK by whoever opened it (a parent that shares its own non-blocking
// pipe) answers a full pipe with EAGAIN: that is no failure, only a wait, as a blocking write
// would have made. Readiness or an error condition both end the wait; the write that follows
// tells which.
void awaitWritable(int fd) {
  pollfd watched{.fd = fd, .events = POLLOUT, .revents = 0};
  while (::poll(&watched, 1, -1) < 0 && errno == EINTR) {
  }
}

}  // namespace

NSFileHandleRef NSFileHandle::fileHandleWithStandardOutput() {
  return std::make_shared<NSFileHandle>(STDOUT_FILENO);
}

NSFileHandleRef NSFileHandle::fileHandleWithStandardError() {
  return std::make_shared<NSFileHandle>(STDERR_FILENO);
}

NSFileHandleRef NSFileHandle::initWithFileDescriptor(int fd) {
  return std::make_shared<NSFileHandle>(fd);
}

bool NSFileHandle::isTerminal() const {
  return ::isatty(fd_) == 1;
}

void NSFileHandle::writeData(std::span<const std::byte> data) const {
  while (!data.empty()) {
    const ssize_t written = ::write(fd_, data.data(), data.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        awaitWritable(fd_);
        continue;
      }
      failWrite(errno);
    }
    data = data.subspan(static_cast<std::size_t>(written));
  }
}
