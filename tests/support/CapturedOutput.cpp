#include "support/CapturedOutput.h"

#include <unistd.h>

#include <stdexcept>

CapturedFile::CapturedFile() : file_(std::tmpfile()) {
  if (file_ == nullptr) throw std::runtime_error("no temporary file");
}

CapturedFile::~CapturedFile() {
  std::fclose(file_);
}

int CapturedFile::fd() const {
  return fileno(file_);
}

std::vector<std::byte> CapturedFile::bytes() const {
  std::vector<std::byte> all;
  std::byte chunk[4096];
  for (off_t at = 0;;) {
    const ssize_t got = ::pread(fd(), chunk, sizeof chunk, at);
    if (got <= 0) return all;
    all.insert(all.end(), chunk, chunk + got);
    at += got;
  }
}

std::string CapturedFile::text() const {
  const auto all = bytes();
  return {reinterpret_cast<const char*>(all.data()), all.size()};
}

StderrCapture::StderrCapture() : saved_(::dup(STDERR_FILENO)) {
  ::dup2(file_.fd(), STDERR_FILENO);
}

StderrCapture::~StderrCapture() {
  ::dup2(saved_, STDERR_FILENO);
  ::close(saved_);
}
