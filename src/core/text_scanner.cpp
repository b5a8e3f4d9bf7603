// Tokenizer and number parsing for the text file readers. The whole file is
// read into memory once, which keeps reading millions of numbers cheap and
// lets the readers compare declared counts with the size of what is left.

#include "core/text_scanner.h"

#include <sys/stat.h>

#include <cerrno>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "core/error.h"
#include "core/line_cursor.h"

namespace wendfit {

namespace {

bool isSpace(char c) {
  return c == ' ' || c == '\n' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int digitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 99;
}

// Checks the float syntax over the whole token: sign, digits with at most one
// decimal point (at least one digit), optional exponent with digits.
// Sets *nonZero when some mantissa digit is not 0.
bool isFloatSyntax(std::string_view t, bool* nonZero) {
  size_t i = 0;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
  size_t digits = 0;
  bool point = false;
  *nonZero = false;
  for (; i < t.size(); ++i) {
    if (isDigit(t[i])) {
      ++digits;
      if (t[i] != '0') *nonZero = true;
    } else if (t[i] == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (digits == 0) return false;
  if (i == t.size()) return true;
  if (t[i] != 'e' && t[i] != 'E') return false;
  ++i;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
  size_t expDigits = 0;
  for (; i < t.size() && isDigit(t[i]); ++i) ++expDigits;
  return expDigits > 0 && i == t.size();
}


}  // namespace

bool parseInt(std::string_view t, int* value, bool* outOfRange) {
  *outOfRange = false;
  size_t i = 0;
  bool negative = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
  int base = 10;
  if (t.size() - i >= 2 && t[i] == '0' && (t[i + 1] == 'x' || t[i + 1] == 'X')) {
    base = 16;
    i += 2;
  } else if (i < t.size() && t[i] == '0') {
    base = 8;
  }
  if (i == t.size()) return false;
  // The magnitude saturates just above the int range, so any number of
  // digits (leading zeros included) is read.
  const unsigned long long limit = negative ? 2147483648ull : 2147483647ull;
  unsigned long long magnitude = 0;
  for (; i < t.size(); ++i) {
    int d = digitValue(t[i]);
    if (d >= base) return false;
    magnitude = magnitude * base + d;
    if (magnitude > limit) {
      *outOfRange = true;
      magnitude = limit + 1;
    }
  }
  if (*outOfRange) return false;
  *value = negative ? static_cast<int>(-static_cast<long long>(magnitude)) : static_cast<int>(magnitude);
  return true;
}

bool parseFloat(std::string_view t, float* value) {
  bool nonZero = false;
  if (!isFloatSyntax(t, &nonZero)) return false;
  const bool negative = t[0] == '-';
  std::string_view body = (t[0] == '+' || t[0] == '-') ? t.substr(1) : t;
  float magnitude = 0.0f;
  auto result = std::from_chars(body.data(), body.data() + body.size(), magnitude);
  if (result.ec != std::errc() || result.ptr != body.data() + body.size()) {
    // Out of range: strtof still gives the rounded result (0, a subnormal or
    // infinity), and the clamping below maps it into the normal range.
    std::string copy(body);
    magnitude = std::strtof(copy.c_str(), nullptr);
  }
  if (std::isinf(magnitude)) {
    magnitude = FLT_MAX;
  } else if (nonZero && magnitude < FLT_MIN) {
    magnitude = FLT_MIN;
  }
  *value = negative ? -magnitude : magnitude;
  return true;
}

std::string loadFileBytes(const std::string& path) {
  // A directory opens like a file here but has no contents to read.
  struct stat status{};
  if (::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
    throw Error(fileMessage(path, "is a directory (expected a file)"));
  }
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) throw Error(fileMessage(path, std::string("cannot open (") + std::strerror(errno) + ")"));
  std::string bytes;
  // One read of the whole size when the size is known (a regular file); the
  // loop below then only confirms the end and still copes with pipes.
  if (S_ISREG(status.st_mode) && status.st_size > 0) {
    bytes.reserve(static_cast<size_t>(status.st_size));
  }
  char buffer[1 << 16];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, got);
  bool failed = std::ferror(file) != 0;
  int savedErrno = errno;
  std::fclose(file);
  if (failed) throw Error(fileMessage(path, std::string("cannot read (") + std::strerror(savedErrno) + ")"));
  return bytes;
}

TextScanner TextScanner::fromFile(const std::string& path) {
  return TextScanner(loadFileBytes(path), path);
}

TextScanner::TextScanner(std::string text, std::string name)
    : text_(std::move(text)), name_(std::move(name)) {}

void TextScanner::skipWhitespace() {
  while (pos_ < text_.size() && isSpace(text_[pos_])) {
    if (text_[pos_] == '\n') ++line_;
    ++pos_;
  }
}

bool TextScanner::atEnd() {
  skipWhitespace();
  return pos_ == text_.size();
}

std::string_view TextScanner::peekToken() {
  skipWhitespace();
  size_t end = pos_;
  while (end < text_.size() && !isSpace(text_[end])) ++end;
  return std::string_view(text_).substr(pos_, end - pos_);
}

std::string_view TextScanner::readToken() {
  std::string_view token = peekToken();
  pos_ += token.size();
  return token;
}

std::string_view TextScanner::readLine() {
  size_t end = pos_;
  while (end < text_.size() && text_[end] != '\n') ++end;
  std::string_view line = std::string_view(text_).substr(pos_, end - pos_);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (end < text_.size()) {
    ++end;
    ++line_;
  }
  pos_ = end;
  return line;
}

void TextScanner::fail(const std::string& problem) const {
  throw Error(fileMessage(name_, line_, problem));
}

void TextScanner::fail(const std::string& problem, const char* what, long index) const {
  std::string expected = std::string(" (expected ") + what;
  if (index >= 0) expected += " " + std::to_string(index);
  throw Error(fileMessage(name_, line_, problem + expected + ")"));
}

std::string_view TextScanner::nextNumberToken(const char* what, long index) {
  std::string_view token = peekToken();
  if (token.empty()) fail("unexpected end of file", what, index);
  return token;
}

int TextScanner::readInt(const char* what, long index) {
  std::string_view token = nextNumberToken(what, index);
  int value = 0;
  bool outOfRange = false;
  if (!parseInt(token, &value, &outOfRange)) {
    fail((outOfRange ? "integer out of range " : "malformed integer ") + quotedToken(token), what, index);
  }
  pos_ += token.size();
  return value;
}

float TextScanner::readFloat(const char* what, long index) {
  std::string_view token = nextNumberToken(what, index);
  float value = 0.0f;
  if (!parseFloat(token, &value)) {
    const char* problem = "malformed number ";
    // "nan", "inf" and the like are what a program writes for a non-finite
    // value; say so rather than calling them malformed.
    std::string_view body = (token[0] == '+' || token[0] == '-') ? token.substr(1) : token;
    if (!body.empty() && (body[0] == 'n' || body[0] == 'N' || body[0] == 'i' || body[0] == 'I')) {
      float probe;
      auto r = std::from_chars(body.data(), body.data() + body.size(), probe);
      if (r.ec == std::errc() && r.ptr == body.data() + body.size()) problem = "non-finite number ";
    }
    fail(problem + quotedToken(token), what, index);
  }
  pos_ += token.size();
  return value;
}

}  // namespace wendfit
