#pragma once
// TextScanner: a tokenizer over a whole text file held in memory, for the
// readers of point, mesh and function files. Tokens are separated by white
// space (the layout into lines is free); the scanner counts lines only so that
// every message can point at the place of the fault.
//
// Number syntax (the one the file formats define):
//   integer: optional sign, then 0x/0X and hexadecimal digits, or a leading 0
//            and octal digits, or decimal digits;
//   float:   optional sign, digits with at most one decimal point (at least
//            one digit), optional exponent (e/E, optional sign, digits);
//            converted to the nearest float. Values beyond the float range
//            become +-FLT_MAX, non-zero values below the smallest normal float
//            become +-FLT_MIN. Any length is accepted.
// A token that does not match the whole syntax ("nan", "inf", "1,5", "0x")
// is an error, as is the end of the text where a number is expected. Every
// error is an Error whose message reads
//   "<file>:<line>: <problem> (expected <what>)".

#include <cstddef>
#include <string>
#include <string_view>

namespace wendfit {

// The whole file as bytes. Throws Error naming the file when it cannot be
// opened or read.
std::string loadFileBytes(const std::string& path);

class TextScanner {
 public:
  // Reads the whole file. Throws Error naming the file when it cannot be
  // opened or read.
  static TextScanner fromFile(const std::string& path);
  // Scans `text`; `name` stands for the file in messages.
  TextScanner(std::string text, std::string name);

  const std::string& name() const { return name_; }
  // 1-based line of the next unread character.
  long line() const { return line_; }
  // Bytes not yet consumed (white space included).
  size_t remainingBytes() const { return text_.size() - pos_; }

  // True when only white space is left.
  bool atEnd();

  // Next token without consuming it; empty at the end of the text.
  std::string_view peekToken();
  // Next token, consumed; empty at the end of the text.
  std::string_view readToken();
  // Consumes the rest of the current line, its line break included, and
  // returns it without the line break (a '\r' before it is dropped too).
  std::string_view readLine();
  void skipLine() { readLine(); }

  // Reads one integer in the syntax above; it must fit an int. `what`
  // describes the expected value for messages ("the point count"); `index`,
  // when non-negative, is appended to it ("the x coordinate of point" 7).
  int readInt(const char* what, long index = -1);
  // Reads one float in the syntax above.
  float readFloat(const char* what, long index = -1);

  // Throws Error "<file>:<line>: <problem>".
  [[noreturn]] void fail(const std::string& problem) const;
  // Throws Error "<file>:<line>: <problem> (expected <what>[ <index>])".
  [[noreturn]] void fail(const std::string& problem, const char* what, long index) const;

 private:
  void skipWhitespace();
  std::string_view nextNumberToken(const char* what, long index);

  std::string text_;
  std::string name_;
  size_t pos_ = 0;
  long line_ = 1;
};

// Parses a whole token as an integer or a float in the syntax above. They
// return false for a malformed token or an integer outside the int range
// (`outOfRange` tells which).
bool parseInt(std::string_view token, int* value, bool* outOfRange);
bool parseFloat(std::string_view token, float* value);

}  // namespace wendfit
