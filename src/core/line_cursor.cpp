// Cursor and decimal numbers for the text formats of other programs. Parsing
// goes through std::from_chars on the buffer itself: no stream, no locale,
// no copies, which keeps reading millions of numbers cheap.

#include "core/line_cursor.h"

#include <charconv>
#include <cmath>
#include <system_error>
#include <utility>

#include "core/error.h"

namespace wendfit {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// from_chars takes neither a leading '+' nor the sign of a magnitude that it
// then reports out of range, so the sign is handled here.
std::string_view splitSign(std::string_view token, bool* negative) {
  *negative = false;
  if (!token.empty() && (token[0] == '+' || token[0] == '-')) {
    *negative = token[0] == '-';
    token.remove_prefix(1);
  }
  return token;
}

// The text has a negative exponent: a magnitude out of range is then one
// that underflows, not one that overflows.
bool hasNegativeExponent(std::string_view body) {
  size_t e = body.find_first_of("eE");
  return e != std::string_view::npos && e + 1 < body.size() && body[e + 1] == '-';
}

template <class Real>
NumberStatus parseReal(std::string_view token, Real* value) {
  bool negative = false;
  std::string_view body = splitSign(token, &negative);
  // A second sign ("+-1") or an empty body is malformed; from_chars would
  // accept the '-' of "--1" otherwise.
  if (body.empty() || body[0] == '+' || body[0] == '-') return NumberStatus::kMalformed;
  Real magnitude = 0;
  auto result = std::from_chars(body.data(), body.data() + body.size(), magnitude);
  if (result.ptr != body.data() + body.size()) return NumberStatus::kMalformed;
  if (result.ec == std::errc::result_out_of_range) {
    double wide = 0.0;
    auto retry = std::from_chars(body.data(), body.data() + body.size(), wide);
    bool underflow = retry.ec == std::errc() ? std::fabs(wide) < 1.0 : hasNegativeExponent(body);
    if (!underflow) return NumberStatus::kOutOfRange;
    magnitude = retry.ec == std::errc() ? static_cast<Real>(wide) : Real(0);
  } else if (result.ec != std::errc()) {
    return NumberStatus::kMalformed;
  }
  *value = negative ? -magnitude : magnitude;
  return std::isfinite(magnitude) ? NumberStatus::kOk : NumberStatus::kNonFinite;
}

std::string expected(const char* what, long long index, const char* prefix = "") {
  std::string text = std::string(" (expected ") + prefix + what;
  if (index >= 0) text += " " + std::to_string(index);
  return text + ")";
}

std::string_view nextToken(LineCursor& cursor, bool acrossLines) {
  return acrossLines ? cursor.anyToken() : cursor.lineToken();
}

}  // namespace

LineCursor::LineCursor(std::string_view text, std::string name, long firstLine, char commentChar)
    : text_(text), name_(std::move(name)), line_(firstLine), commentChar_(commentChar) {}

void LineCursor::skipBlanks() {
  while (pos_ < text_.size() && isBlank(text_[pos_])) ++pos_;
  if (commentChar_ != '\0' && pos_ < text_.size() && text_[pos_] == commentChar_) {
    while (pos_ < text_.size() && text_[pos_] != '\n') ++pos_;
  }
}

std::string_view LineCursor::lineToken() {
  skipBlanks();
  size_t end = pos_;
  while (end < text_.size() && !isBlank(text_[end]) && text_[end] != '\n' &&
         (commentChar_ == '\0' || text_[end] != commentChar_)) {
    ++end;
  }
  std::string_view token = text_.substr(pos_, end - pos_);
  pos_ = end;
  return token;
}

std::string_view LineCursor::anyToken() {
  for (;;) {
    std::string_view token = lineToken();
    if (!token.empty() || pos_ == text_.size()) return token;
    ++pos_;  // the line break that ended the line
    ++line_;
  }
}

void LineCursor::nextLine() {
  while (pos_ < text_.size() && text_[pos_] != '\n') ++pos_;
  if (pos_ < text_.size()) {
    ++pos_;
    ++line_;
  }
}

void LineCursor::fail(const std::string& problem) const {
  throw Error(fileMessage(name_, line_, problem));
}

NumberStatus parseDecimalFloat(std::string_view token, float* value) { return parseReal(token, value); }

NumberStatus parseDecimalDouble(std::string_view token, double* value) { return parseReal(token, value); }

bool parseDecimalInt(std::string_view token, long long* value) {
  bool negative = false;
  std::string_view body = splitSign(token, &negative);
  if (body.empty() || body[0] == '+' || body[0] == '-') return false;
  unsigned long long magnitude = 0;
  auto result = std::from_chars(body.data(), body.data() + body.size(), magnitude);
  if (result.ec != std::errc() || result.ptr != body.data() + body.size()) return false;
  constexpr unsigned long long kMax = 9223372036854775807ull;
  if (magnitude > (negative ? kMax + 1 : kMax)) return false;
  *value = negative ? static_cast<long long>(0 - magnitude) : static_cast<long long>(magnitude);
  return true;
}

std::string quotedToken(std::string_view token) {
  constexpr size_t kShown = 40;
  // Bytes that are not printable text (a binary file read as text) are
  // shown as \xHH, so that the message stays one line of text.
  std::string quoted = "'";
  for (const char c : token.substr(0, kShown)) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7f) {
      quoted += c;
    } else {
      constexpr char kHex[] = "0123456789abcdef";
      quoted += {'\\', 'x', kHex[byte >> 4], kHex[byte & 15]};
    }
  }
  return quoted + (token.size() > kShown ? "...'" : "'");
}

float readCoordinate(LineCursor& cursor, bool acrossLines, const char* what, long long index) {
  std::string_view token = nextToken(cursor, acrossLines);
  if (token.empty()) {
    cursor.fail(std::string(acrossLines ? "unexpected end of file" : "the line ends early") +
                expected(what, index));
  }
  float value = 0.0f;
  switch (parseDecimalFloat(token, &value)) {
    case NumberStatus::kOk:
      return value;
    case NumberStatus::kNonFinite:
      cursor.fail("non-finite number " + quotedToken(token) + expected(what, index, "finite "));
    case NumberStatus::kOutOfRange:
      cursor.fail("number " + quotedToken(token) + " is beyond the float range" + expected(what, index));
    case NumberStatus::kMalformed:
      break;
  }
  cursor.fail("malformed number " + quotedToken(token) + expected(what, index));
}

long long readInteger(LineCursor& cursor, bool acrossLines, const char* what, long long index) {
  std::string_view token = nextToken(cursor, acrossLines);
  if (token.empty()) {
    cursor.fail(std::string(acrossLines ? "unexpected end of file" : "the line ends early") +
                expected(what, index));
  }
  long long value = 0;
  if (!parseDecimalInt(token, &value)) cursor.fail("malformed integer " + quotedToken(token) + expected(what, index));
  return value;
}

}  // namespace wendfit
