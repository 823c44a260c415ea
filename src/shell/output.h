// The program's two output channels: PCM on standard output, diagnostic lines on standard error.
#pragma once

#include <string>

#include "audio/Resampler.h"
#include "platform/foundation/NSError.h"

// Writes the block to standard output in one write; an empty block writes nothing.
void writePCM(const ByteBlock& data);

// Whether standard output, where writePCM writes, is a terminal; not before its handle is
// taken.
bool standardOutputIsTerminal();

// Writes `message` (which ends in "\n") to standard error in one write.
void writeDiagnosticLine(const std::string& message);

// The line for a platform error: the prefix, the error's full description, "\n".
std::string diagnosticLineWithError(const std::string& prefix, const NSErrorRef& error);
