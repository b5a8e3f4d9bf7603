// libFuzzer target: arbitrary bytes as a PLY file. The reader may refuse
// them with an Error; anything else (a crash, a hang, another exception, a
// sanitizer report) is a fault.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/error.h"
#include "io/ply_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    wendfit::readPlyData(std::string_view(reinterpret_cast<const char*>(data), size), "fuzz-input", nullptr);
  } catch (const wendfit::Error&) {
  }
  return 0;
}
