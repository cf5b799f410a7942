// Exceptions of the class library.
//
// Exception is the general error: it carries a message text. The abstract-call
// error and the conversion error are distinct types derived from it, so that
// callers may catch them apart.
#pragma once

#include <stdexcept>
#include <string>

#include "rtexport.h"

class RT_API Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const std::string &Message() const noexcept { return message_; }
  const char *what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// Calling an operation that a class declares but does not implement.
class RT_API EAbstractError : public Exception {
 public:
  EAbstractError() : Exception("Abstract Error") {}
};

// A text that does not convert to the wanted value, or a format that does not
// fit its arguments.
class RT_API EConvertError : public Exception {
 public:
  using Exception::Exception;
};

// Registry access that failed where the caller asked for a value to be stored.
class RT_API ERegistryException : public Exception {
 public:
  using Exception::Exception;
};

// A published property that does not exist or cannot take the given text.
class RT_API EPropertyError : public Exception {
 public:
  using Exception::Exception;
};

// Raises the abstract-call error; used as the body of operations that
// subclasses must provide.
[[noreturn]] RT_API void AbstractError();
