// Form resources: the text that describes a form and the components it
// owns, and its reader.
//
//   # The log form: one log component.
//   TLogForm LogForm {
//     TLogFile logFile1 {
//       SizeLimit = 2048000            # an integer (decimal, or 0x and hex digits)
//       FileName = "sat.log"           # a text in double quotes
//       DetailLevel = dlDetail         # a name: an enumeration value
//       Options = [loSafeMode, loDate] # a set of enumeration values
//       OnReachLimit = LogFull         # a name: a method of the form
//     }
//   }
//
// A block is a class name, a component name and, between braces, the
// block's properties ("Name = value") and the blocks of the components it
// owns. The outermost block is the form itself. Values are integers, texts,
// booleans (true, false), names, and sets of names in brackets. Line breaks
// and blanks between the parts are free; "#" starts a comment that runs to
// the end of its line. Texts are bytes as written, with the escapes \n \r
// \t \xHH \" and \\ (a backslash); a text ends on the line it starts on.
//
// The reader checks the text's form only: which classes, properties and
// methods exist is for the form that builds from it (rtforms.h). Anything
// malformed raises EResourceError with the line and the reason; the input is
// never read past its end and its size, nesting, names, texts and sets are
// bounded (below).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "rtexcept.h"
#include "rtexport.h"
#include "rtproperties.h"

// Bounds of a form resource.
inline constexpr std::size_t kMaxFormResourceSize = 1024 * 1024;  // bytes
inline constexpr int kMaxFormNesting = 16;                        // blocks inside blocks
inline constexpr std::size_t kMaxFormNameLength = 255;            // class, component, property
inline constexpr std::size_t kMaxFormTextLength = 32767;          // a text value, after escapes
inline constexpr std::size_t kMaxFormSetItems = 64;               // members of one set

struct TResourceProperty {
  std::string name;
  TPropertyValue value;
  int line = 0;
};

struct TResourceObject {
  std::string className;
  std::string name;
  int line = 0;                               // of the class name
  std::vector<TResourceProperty> properties;  // in the order written
  std::vector<TResourceObject> children;      // in the order written
};

// A malformed form resource, or one that does not fit the form built from it.
// The message reads "<source>, line <n>: <reason>" (without the source when
// there is none, without the line when it is 0).
class RT_API EResourceError : public Exception {
 public:
  EResourceError(std::string source, int line, std::string reason);

  const std::string &Source() const { return source_; }
  int Line() const { return line_; }
  const std::string &Reason() const { return reason_; }

 private:
  std::string source_;
  int line_;
  std::string reason_;
};

// Reads a whole form resource. Raises EResourceError (without a source).
RT_API TResourceObject ParseFormResource(std::string_view text);
