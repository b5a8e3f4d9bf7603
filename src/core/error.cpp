#include "core/error.h"

namespace wendfit {

std::string fileMessage(const std::string& file, const std::string& problem) {
  return file + ": " + problem;
}

std::string fileMessage(const std::string& file, long line, const std::string& problem) {
  return file + ":" + std::to_string(line) + ": " + problem;
}

}  // namespace wendfit
