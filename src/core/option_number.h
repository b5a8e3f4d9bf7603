#pragma once
// The one conversion of a command-line argument to a number, shared by the
// three tools: the whole argument must be the number in C locale-free
// syntax (std::from_chars: no blanks, no '+', no trailing text), so "2x",
// " 2" and "" are rejected alike. The callers word their own messages.

#include <charconv>
#include <cmath>
#include <optional>
#include <string_view>

namespace wendfit {

// The most worker threads a tool accepts: far beyond any machine's cores,
// low enough that a typo is a usage error, not an attempt to start them.
constexpr int kMaxThreads = 1024;

// `text` as a whole number in [low, high], or nothing.
inline std::optional<long long> parseWholeArgument(std::string_view text, long long low, long long high) {
  long long value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < low || value > high) return {};
  return value;
}

// `text` as a finite decimal number, or nothing.
inline std::optional<double> parseFiniteArgument(std::string_view text) {
  double value = 0.0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return {};
  return value;
}

}  // namespace wendfit
