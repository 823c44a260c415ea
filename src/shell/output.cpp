#include "shell/output.h"

#include "shell/globals.h"

void writePCM(const ByteBlock& data) {
  if (data.empty()) return;
  stdoutHandle->writeData(data);
}

bool standardOutputIsTerminal() {
  return stdoutHandle && stdoutHandle->isTerminal();
}

void writeDiagnosticLine(const std::string& message) {
  NSFileHandle::fileHandleWithStandardError()->writeData(std::as_bytes(std::span(message)));
}

std::string diagnosticLineWithError(const std::string& prefix, const NSErrorRef& error) {
  return prefix + (error ? error->description() : std::string("(no error)")) + "\n";
}
