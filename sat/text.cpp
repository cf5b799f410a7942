#include "text.h"

#include <cstdio>
#include <cstring>

namespace torvex::sat {

std::size_t CopyText(char *dst, std::size_t cap, const char *src) {
  if (cap == 0) return 0;
  src = OrEmpty(src);
  std::size_t n = strnlen(src, cap - 1);
  std::memcpy(dst, src, n);
  dst[n] = '\0';
  return n;
}

std::size_t AppendText(char *dst, std::size_t cap, const char *src) {
  if (cap == 0) return 0;
  std::size_t used = strnlen(dst, cap - 1);
  return used + CopyText(dst + used, cap - used, src);
}

int FormatTextV(char *dst, std::size_t cap, const char *fmt, std::va_list ap) {
  if (cap == 0) return 0;
  int n = std::vsnprintf(dst, cap, fmt, ap);
  if (n < 0) dst[0] = '\0';
  return n;
}

TextWriter::TextWriter(char *buffer, std::size_t cap, std::size_t limit)
    : buffer_(buffer), cap_(cap), limit_(limit < cap ? limit : cap - 1) {
  if (cap_ > 0) buffer_[0] = '\0';
  fits_ = cap_ > 0;
}

void TextWriter::Put(const char *fmt, ...) {
  if (!fits_) return;
  std::va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(buffer_ + length_, cap_ - length_, fmt, ap);
  va_end(ap);
  if (n < 0 || length_ + static_cast<std::size_t>(n) > limit_) {
    fits_ = false;
    buffer_[0] = '\0';
    length_ = 0;
    return;
  }
  length_ += static_cast<std::size_t>(n);
}

int FormatText(char *dst, std::size_t cap, const char *fmt, ...) {
  std::va_list ap;
  va_start(ap, fmt);
  int n = FormatTextV(dst, cap, fmt, ap);
  va_end(ap);
  return n;
}

}  // namespace torvex::sat
