// A handle on an open file descriptor that writes whole blocks.
#pragma once

#include <cstddef>
#include <memory>
#include <span>

class NSFileHandle;
using NSFileHandleRef = std::shared_ptr<NSFileHandle>;

class NSFileHandle {
 public:
  static NSFileHandleRef fileHandleWithStandardOutput();
  static NSFileHandleRef fileHandleWithStandardError();
  // A handle on a descriptor the caller keeps open for the handle's lifetime.
  static NSFileHandleRef initWithFileDescriptor(int fd);

  int fileDescriptor() const { return fd_; }
  // Whether the descriptor is a terminal (a tty or a pty).
  bool isTerminal() const;

  // Hands every byte of `data` to the descriptor, going on after partial writes and
  // interruptions, and waiting while a non-blocking descriptor is full. A write that fails for
  // good ends the process with status 1, as an unhandled write exception would: capturing on
  // into a dead descriptor helps nobody.
  void writeData(std::span<const std::byte> data) const;

  explicit NSFileHandle(int fd) : fd_(fd) {}

 private:
  int fd_;
};
