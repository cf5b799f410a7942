// Bounded text helpers: every copy and format into a fixed buffer goes
// through these, so that nothing is ever written past the buffer. A text
// that does not fit is cut and stays NUL-terminated.
#pragma once
#include <cstdarg>
#include <cstddef>

namespace torvex::sat {

// Copies src (NULL is taken as "") into dst of capacity cap. Returns the
// number of bytes copied (without the NUL).
std::size_t CopyText(char *dst, std::size_t cap, const char *src);

// Appends src to the text already in dst. Returns the new length.
std::size_t AppendText(char *dst, std::size_t cap, const char *src);

// snprintf into dst. Returns the length of the full formatted text, which is
// cap or more when the text was cut (as snprintf does); negative on an
// encoding error, in which case dst holds "".
int FormatText(char *dst, std::size_t cap, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
int FormatTextV(char *dst, std::size_t cap, const char *fmt, std::va_list ap);

// Writes a text piece by piece into a fixed buffer. Once a piece would take
// the text past limit characters (or past the buffer), the writer stops, the
// buffer is emptied and Fits() is false.
class TextWriter {
 public:
  TextWriter(char *buffer, std::size_t cap, std::size_t limit);
  void Put(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
  bool Fits() const { return fits_; }
  std::size_t Length() const { return length_; }

 private:
  char *buffer_;
  std::size_t cap_;
  std::size_t limit_;
  std::size_t length_ = 0;
  bool fits_ = true;
};

// A caller's text argument: NULL is taken as the empty text.
inline const char *OrEmpty(const char *text) { return text ? text : ""; }

}  // namespace torvex::sat
