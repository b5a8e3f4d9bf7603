#pragma once
// LineCursor: reads the line-oriented text formats that other programs write
// (XYZ point lists, OFF and OBJ meshes, ASCII PLY bodies) out of a buffer
// held in memory. Unlike TextScanner, which implements the tool's own number
// syntax over free-form text, these formats give lines a meaning (one point
// per line, extra columns ignored), so the cursor can read a token either on
// the current line only or across line breaks.
//
// Numbers are plain decimal, as those programs print them: an optional sign,
// digits with an optional decimal point and exponent, converted with
// std::from_chars to the nearest float (or double). "nan" and "inf" are
// recognised so that they can be refused by name; values beyond the float
// range are refused rather than clamped.

#include <cstddef>
#include <string>
#include <string_view>

namespace wendfit {

class LineCursor {
 public:
  // Reads `text` (not copied: it must outlive the cursor); `name` stands for
  // the file in messages, `firstLine` is the line number of text[0].
  // `commentChar`, when not '\0', starts a comment that runs to the line end.
  LineCursor(std::string_view text, std::string name, long firstLine = 1, char commentChar = '\0');

  const std::string& name() const { return name_; }
  // 1-based line of the next unread character.
  long line() const { return line_; }
  size_t remainingBytes() const { return text_.size() - pos_; }

  // Next token on the current line, consumed; empty when the line (or the
  // text) has ended. Never moves past a line break.
  std::string_view lineToken();
  // Next token, crossing line breaks, blank lines and comments; empty at the
  // end of the text.
  std::string_view anyToken();
  // Skips the rest of the current line and its line break.
  void nextLine();

  // Throws Error "<file>:<line>: <problem>".
  [[noreturn]] void fail(const std::string& problem) const;

 private:
  void skipBlanks();

  std::string_view text_;
  std::string name_;
  size_t pos_ = 0;
  long line_ = 1;
  char commentChar_ = '\0';
};

enum class NumberStatus { kOk, kMalformed, kNonFinite, kOutOfRange };

// Parses the whole token as a decimal number. kNonFinite: "nan", "inf" and
// the like (the value is stored); kOutOfRange: beyond the float (double)
// range, value untouched. Values that underflow become the nearest float,
// down to a signed zero.
NumberStatus parseDecimalFloat(std::string_view token, float* value);
NumberStatus parseDecimalDouble(std::string_view token, double* value);
// Parses the whole token as a decimal integer (optional sign); false when it
// is not one or lies outside the long long range.
bool parseDecimalInt(std::string_view token, long long* value);

// Readers of one number that throw "<file>:<line>: <problem> (expected
// <what>[ <index>])" on a missing, malformed, non-finite or out-of-range
// number; `index` is left out when negative. `acrossLines` chooses anyToken
// over lineToken. The message is built only on failure.
float readCoordinate(LineCursor& cursor, bool acrossLines, const char* what, long long index = -1);
long long readInteger(LineCursor& cursor, bool acrossLines, const char* what, long long index = -1);

// The token in quotes for messages, shortened when long.
std::string quotedToken(std::string_view token);

}  // namespace wendfit
