#include "rtformres.h"

#include <cstdint>
#include <unordered_map>

#include "rtsysutils.h"

namespace {

std::string ComposeMessage(const std::string &source, int line, const std::string &reason) {
  std::string m = source;
  if (line > 0) m += (m.empty() ? "" : ", ") + std::string("line ") + std::to_string(line);
  if (!m.empty()) m += ": ";
  return m + reason;
}

// A byte as the message shows it: itself when printable, else 0xHH.
std::string Shown(unsigned char c) {
  if (c > ' ' && c < 0x7F) return std::string("'") + static_cast<char>(c) + "'";
  static const char digits[] = "0123456789ABCDEF";
  return std::string("0x") + digits[c >> 4] + digits[c & 15];
}

enum class Tok {
  End,
  Name,
  Integer,
  Text,
  True,
  False,
  LBrace,
  RBrace,
  LBracket,
  RBracket,
  Equals,
  Comma
};

struct Token {
  Tok kind = Tok::End;
  int line = 1;
  std::string text;  // Name, Text
  std::int64_t integer = 0;
};

const char *Describe(Tok t) {
  switch (t) {
    case Tok::End:
      return "the end of the resource";
    case Tok::Name:
      return "a name";
    case Tok::Integer:
      return "an integer";
    case Tok::Text:
      return "a text";
    case Tok::True:
    case Tok::False:
      return "a boolean";
    case Tok::LBrace:
      return "'{'";
    case Tok::RBrace:
      return "'}'";
    case Tok::LBracket:
      return "'['";
    case Tok::RBracket:
      return "']'";
    case Tok::Equals:
      return "'='";
    case Tok::Comma:
      return "','";
  }
  return "a token";
}

bool IsNameStart(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
bool IsNameChar(unsigned char c) { return IsNameStart(c) || (c >= '0' && c <= '9'); }
int HexDigit(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

class Lexer {
 public:
  explicit Lexer(std::string_view text) : s_(text) {
    // A byte-order mark that an editor may have put first.
    if (s_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
  }

  Token Next() {
    SkipBlanks();
    Token t;
    t.line = line_;
    if (pos_ >= s_.size()) return t;
    unsigned char c = Byte(pos_);
    switch (c) {
      case '{':
        return Single(t, Tok::LBrace);
      case '}':
        return Single(t, Tok::RBrace);
      case '[':
        return Single(t, Tok::LBracket);
      case ']':
        return Single(t, Tok::RBracket);
      case '=':
        return Single(t, Tok::Equals);
      case ',':
        return Single(t, Tok::Comma);
      case '"':
        return ReadText(t);
      default:
        break;
    }
    if (c == '-' || (c >= '0' && c <= '9')) return ReadInteger(t);
    if (IsNameStart(c)) return ReadName(t);
    Fail("unexpected character " + Shown(c));
  }

  [[noreturn]] void Fail(const std::string &reason) const {
    throw EResourceError("", line_, reason);
  }

 private:
  unsigned char Byte(std::size_t i) const { return static_cast<unsigned char>(s_[i]); }

  void SkipBlanks() {
    while (pos_ < s_.size()) {
      unsigned char c = Byte(pos_);
      if (c == '\n') {
        ++line_;
        ++pos_;
      } else if (c == ' ' || c == '\t' || c == '\r') {
        ++pos_;
      } else if (c == '#') {
        while (pos_ < s_.size() && s_[pos_] != '\n') ++pos_;
      } else {
        return;
      }
    }
  }

  Token Single(Token &t, Tok kind) {
    ++pos_;
    t.kind = kind;
    return t;
  }

  Token ReadName(Token &t) {
    std::size_t start = pos_;
    while (pos_ < s_.size() && IsNameChar(Byte(pos_))) {
      ++pos_;
      if (pos_ - start > kMaxFormNameLength)
        Fail("name longer than " + std::to_string(kMaxFormNameLength) + " characters");
    }
    t.text.assign(s_.substr(start, pos_ - start));
    if (SameText(t.text, "true"))
      t.kind = Tok::True;
    else if (SameText(t.text, "false"))
      t.kind = Tok::False;
    else
      t.kind = Tok::Name;
    return t;
  }

  Token ReadInteger(Token &t) {
    bool negative = s_[pos_] == '-';
    if (negative) ++pos_;
    unsigned base = 10;
    if (pos_ + 1 < s_.size() && s_[pos_] == '0' && (s_[pos_ + 1] == 'x' || s_[pos_ + 1] == 'X')) {
      base = 16;
      pos_ += 2;
    }
    // Magnitudes up to 2^63 (the negative end of a 64-bit integer).
    const std::uint64_t limit = negative ? std::uint64_t{1} << 63 : (std::uint64_t{1} << 63) - 1;
    std::uint64_t v = 0;
    std::size_t digits = 0;
    while (pos_ < s_.size()) {
      int d = HexDigit(Byte(pos_));
      if (d < 0 || static_cast<unsigned>(d) >= base) break;
      if (v > (limit - static_cast<unsigned>(d)) / base)
        Fail("integer out of range (a 64-bit signed integer at most)");
      v = v * base + static_cast<unsigned>(d);
      ++digits;
      ++pos_;
    }
    if (digits == 0) Fail("malformed integer");
    if (pos_ < s_.size() && IsNameChar(Byte(pos_))) Fail("malformed integer");
    t.kind = Tok::Integer;
    t.integer = negative
                    ? (v == (std::uint64_t{1} << 63) ? INT64_MIN : -static_cast<std::int64_t>(v))
                    : static_cast<std::int64_t>(v);
    return t;
  }

  Token ReadText(Token &t) {
    ++pos_;  // the opening quote
    for (;;) {
      if (pos_ >= s_.size()) Fail("text not closed: '\"' expected");
      unsigned char c = Byte(pos_++);
      if (c == '"') break;
      if (c == '\n' || c == '\r') Fail("text not closed on its line: '\"' expected");
      if (c < ' ' && c != '\t') Fail("control character " + Shown(c) + " in a text");
      if (c == '\\') {
        if (pos_ >= s_.size()) Fail("text not closed: '\"' expected");
        unsigned char e = Byte(pos_++);
        switch (e) {
          case '"':
          case '\\':
            c = e;
            break;
          case 'n':
            c = '\n';
            break;
          case 'r':
            c = '\r';
            break;
          case 't':
            c = '\t';
            break;
          case 'x': {
            int hi = pos_ < s_.size() ? HexDigit(Byte(pos_)) : -1;
            int lo = pos_ + 1 < s_.size() ? HexDigit(Byte(pos_ + 1)) : -1;
            if (hi < 0 || lo < 0) Fail("\\x must be followed by two hexadecimal digits");
            pos_ += 2;
            c = static_cast<unsigned char>(hi * 16 + lo);
            if (c == 0) Fail("a text cannot hold the character 0");
            break;
          }
          default:
            Fail("unknown escape \\" + std::string(1, static_cast<char>(e)) + " in a text");
        }
      }
      if (t.text.size() >= kMaxFormTextLength)
        Fail("text longer than " + std::to_string(kMaxFormTextLength) + " characters");
      t.text.push_back(static_cast<char>(c));
    }
    t.kind = Tok::Text;
    return t;
  }

  std::string_view s_;
  std::size_t pos_ = 0;
  int line_ = 1;
};

class Parser {
 public:
  explicit Parser(std::string_view text) : lex_(text) { Advance(); }

  TResourceObject ParseForm() {
    TResourceObject form = ParseObject(1);
    if (tok_.kind != Tok::End)
      Fail(tok_.line, "text after the end of the form: " + std::string(Describe(tok_.kind)));
    return form;
  }

 private:
  [[noreturn]] static void Fail(int line, const std::string &reason) {
    throw EResourceError("", line, reason);
  }

  void Advance() {
    if (haveAhead_) {
      tok_ = std::move(ahead_);
      haveAhead_ = false;
    } else {
      tok_ = lex_.Next();
    }
  }
  const Token &Peek() {
    if (!haveAhead_) {
      ahead_ = lex_.Next();
      haveAhead_ = true;
    }
    return ahead_;
  }

  std::string ExpectName(const char *what) {
    if (tok_.kind != Tok::Name)
      Fail(tok_.line, std::string(what) + " expected, not " + Describe(tok_.kind));
    std::string name = std::move(tok_.text);
    Advance();
    return name;
  }

  // At the class name of a block.
  // Names seen in one block, by their upper-case spelling (names match
  // without regard to letter case), with the line where each was given: each
  // name is looked up once, so a block costs time in proportion to its bytes,
  // however many properties or components it holds.
  using NameLines = std::unordered_map<std::string, int>;

  TResourceObject ParseObject(int depth) {
    NameLines childNames, propertyNames;
    TResourceObject obj;
    obj.line = tok_.line;
    obj.className = ExpectName("a class name");
    obj.name = ExpectName("a component name after the class name");
    if (tok_.kind != Tok::LBrace)
      Fail(tok_.line, "'{' expected after " + obj.name + ", not " + Describe(tok_.kind));
    Advance();
    for (;;) {
      if (tok_.kind == Tok::RBrace) {
        Advance();
        return obj;
      }
      if (tok_.kind == Tok::End)
        Fail(tok_.line, "'}' expected to close " + obj.name + " (opened on line " +
                            std::to_string(obj.line) + ")");
      if (tok_.kind != Tok::Name)
        Fail(tok_.line,
             "a property or a component expected in " + obj.name + ", not " + Describe(tok_.kind));
      const Token &next = Peek();
      if (next.kind == Tok::Equals) {
        AddProperty(obj, propertyNames);
      } else if (next.kind == Tok::Name) {
        if (depth >= kMaxFormNesting)
          Fail(tok_.line, "blocks nested more than " + std::to_string(kMaxFormNesting) + " deep");
        auto [seen, added] = childNames.try_emplace(UpperCase(next.text), next.line);
        if (!added)
          Fail(next.line, "a component named " + next.text + " is already in " + obj.name +
                              " (line " + std::to_string(seen->second) + ")");
        obj.children.push_back(ParseObject(depth + 1));
      } else {
        Fail(next.line, "'=' or a component name expected after " + tok_.text + ", not " +
                            Describe(next.kind));
      }
    }
  }

  // At the property's name, with '=' ahead.
  void AddProperty(TResourceObject &obj, NameLines &names) {
    TResourceProperty p;
    p.line = tok_.line;
    p.name = std::move(tok_.text);
    auto [seen, added] = names.try_emplace(UpperCase(p.name), p.line);
    if (!added)
      Fail(p.line, "property " + p.name + " set twice (first on line " +
                       std::to_string(seen->second) + ")");
    Advance();  // the name
    Advance();  // '='
    p.value = ParseValue(p.name);
    obj.properties.push_back(std::move(p));
  }

  TPropertyValue ParseValue(const std::string &property) {
    Token t = std::move(tok_);
    Advance();
    switch (t.kind) {
      case Tok::Integer:
        return TPropertyValue::Integer(t.integer);
      case Tok::Text:
        return TPropertyValue::String(std::move(t.text));
      case Tok::Name:
        return TPropertyValue::Name(std::move(t.text));
      case Tok::True:
        return TPropertyValue::Boolean(true);
      case Tok::False:
        return TPropertyValue::Boolean(false);
      case Tok::LBracket:
        return ParseSet(t.line);
      default:
        Fail(t.line, "a value expected for " + property + ", not " + Describe(t.kind));
    }
  }

  // After '['.
  TPropertyValue ParseSet(int line) {
    std::vector<std::string> items;
    if (tok_.kind == Tok::RBracket) {
      Advance();
      return TPropertyValue::Set(std::move(items));
    }
    for (;;) {
      if (tok_.kind == Tok::End)
        Fail(tok_.line, "']' expected to close the set opened on line " + std::to_string(line));
      if (items.size() >= kMaxFormSetItems)
        Fail(tok_.line, "set of more than " + std::to_string(kMaxFormSetItems) + " members");
      items.push_back(ExpectName("a member name"));
      if (tok_.kind == Tok::RBracket) {
        Advance();
        return TPropertyValue::Set(std::move(items));
      }
      if (tok_.kind != Tok::Comma)
        Fail(tok_.line, "',' or ']' expected in the set, not " + std::string(Describe(tok_.kind)));
      Advance();
    }
  }

  Lexer lex_;
  Token tok_;
  Token ahead_;
  bool haveAhead_ = false;
};

}  // namespace

EResourceError::EResourceError(std::string source, int line, std::string reason)
    : Exception(ComposeMessage(source, line, reason)),
      source_(std::move(source)),
      line_(line),
      reason_(std::move(reason)) {}

TResourceObject ParseFormResource(std::string_view text) {
  if (text.size() > kMaxFormResourceSize)
    throw EResourceError("", 1,
                         "resource larger than " + std::to_string(kMaxFormResourceSize) + " bytes");
  return Parser(text).ParseForm();
}
