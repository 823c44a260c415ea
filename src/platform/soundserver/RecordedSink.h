// The sink whose inputs are recorded, as the server described it when it was looked up.
#pragma once

#include <pulse/def.h>

#include <cstdint>
#include <string>

struct RecordedSink {
  std::string name;
  std::uint32_t index = PA_INVALID_INDEX;
  std::string monitorSource;  // the source every record stream of its inputs connects to
  std::uint32_t monitorSourceIndex = PA_INVALID_INDEX;
  std::string description;  // as mixers show the sink; may be empty
};
