#pragma once
// Helpers for the tests of readers, writers and numbers: capturing what a
// reader or the writer prints on its console, checking the messages of
// thrown errors, and comparing results bit for bit.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "core/error.h"
#include "support/test_support.h"

namespace wendfit::test {

// Runs `body` with a scratch console and returns everything printed on it.
inline std::string captureConsole(const std::function<void(std::FILE*)>& body) {
  ConsoleCapture console;
  body(console.file());
  return console.text();
}

// Message of the Error that `body` throws; fails the test when it throws
// nothing or something else.
inline std::string errorMessage(const std::function<void()>& body) {
  try {
    body();
  } catch (const Error& e) {
    return e.what();
  } catch (const std::exception& e) {
    ADD_FAILURE() << "unexpected exception: " << e.what();
    return {};
  }
  ADD_FAILURE() << "no Error thrown";
  return {};
}

// Checks that `message` contains every one of `parts`.
inline void expectContainsAll(const std::string& message, std::initializer_list<std::string> parts) {
  for (const std::string& part : parts) {
    EXPECT_NE(message.find(part), std::string::npos) << "missing \"" << part << "\" in: " << message;
  }
}

// Fails unless a and b hold the same floats, entry by entry.
inline void expectSameVectors(const std::vector<float>& a, const std::vector<float>& b, const char* what) {
  ASSERT_EQ(a.size(), b.size()) << what;
  for (size_t i = 0; i < a.size(); ++i) ASSERT_EQ(a[i], b[i]) << what << " entry " << i;
}

// The bits of v, for comparisons that must not forgive a last-bit change.
inline std::uint64_t bitsOf(double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return bits;
}

// 30 backspaces, the start of every progress counter.
inline std::string rewind30() { return std::string(30, '\b'); }

}  // namespace wendfit::test
