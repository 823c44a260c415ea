// Reads back what code wrote to a descriptor, through a temporary file standing in for it.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

class CapturedFile {
 public:
  CapturedFile();
  ~CapturedFile();
  CapturedFile(const CapturedFile&) = delete;
  CapturedFile& operator=(const CapturedFile&) = delete;

  int fd() const;
  std::vector<std::byte> bytes() const;
  std::string text() const;

 private:
  std::FILE* file_;
};

// Points standard error (descriptor 2) at a captured file while the object lives.
class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture();
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  std::string text() const { return file_.text(); }

 private:
  CapturedFile file_;
  int saved_;
};
