#include "fault_plan.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace satemu {

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Positions of characters that are not escaped by a backslash.
std::vector<std::size_t> unescaped_positions(std::string_view s, char wanted) {
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\') {
      ++i;
      continue;
    }
    if (s[i] == wanted) out.push_back(i);
  }
  return out;
}

bool parse_int(std::string_view text, long min, long max, int &out) {
  if (text.empty() || text.size() > 10) return false;
  long v = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    for (char c : text.substr(2)) {
      const int h = hex_value(c);
      if (h < 0) return false;
      v = v * 16 + h;
    }
  } else {
    for (char c : text) {
      if (c < '0' || c > '9') return false;
      v = v * 10 + (c - '0');
    }
  }
  if (v < min || v > max) return false;
  out = static_cast<int>(v);
  return true;
}

std::vector<std::string_view> split_args(std::string_view rest) {
  std::vector<std::string_view> args;
  std::size_t from = 0;
  for (std::size_t pos : unescaped_positions(rest, ':')) {
    args.push_back(rest.substr(from, pos - from));
    from = pos + 1;
  }
  args.push_back(rest.substr(from));
  return args;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() &&
         (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' || s.front() == '\n'))
    s.remove_prefix(1);
  while (!s.empty() &&
         (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

}  // namespace

std::string unescape_text(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out.push_back(s[i]);
      continue;
    }
    const char c = s[++i];
    switch (c) {
      case 'n':
        out.push_back('\n');
        break;
      case 'r':
        out.push_back('\r');
        break;
      case 't':
        out.push_back('\t');
        break;
      case '0':
        out.push_back('\0');
        break;
      case 'x':
        if (i + 2 < s.size() + 0 && hex_value(s[i + 1]) >= 0 && hex_value(s[i + 2]) >= 0) {
          out.push_back(static_cast<char>(hex_value(s[i + 1]) * 16 + hex_value(s[i + 2])));
          i += 2;
        } else {
          out.push_back('x');
        }
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

std::string expand_session(std::string_view text, std::string_view session) {
  std::string out;
  out.reserve(text.size() + 8);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '$' && i + 1 < text.size() && text[i + 1] == 'S') {
      out.append(session);
      ++i;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

const char *fault_name(FaultKind kind) {
  switch (kind) {
    case FaultKind::NoReply:
      return "noreply";
    case FaultKind::Delay:
      return "delay";
    case FaultKind::BadSum:
      return "badsum";
    case FaultKind::BadType:
      return "badtype";
    case FaultKind::Ack:
      return "ack";
    case FaultKind::AckData:
      return "ackdata";
    case FaultKind::AckGlued:
      return "ackglued";
    case FaultKind::Split:
      return "split";
    case FaultKind::LongLen:
      return "longlen";
    case FaultKind::Huge:
      return "huge";
    case FaultKind::Garbage:
      return "garbage";
    case FaultKind::Busy:
      return "busy";
    case FaultKind::Vanish:
      return "vanish";
    case FaultKind::Unplug:
      return "unplug";
    case FaultKind::Stall:
      return "stall";
    case FaultKind::Reply:
      return "reply";
    case FaultKind::SaleReply:
      return "salereply";
  }
  return "?";
}

bool FaultRule::matches(std::string_view name) const {
  if (command.empty()) return true;
  if (command == name) return true;
  // The library sends TrocarCodigoDeAtivacaoSAT for TrocarCodigoDeAtivacao.
  return name.size() == command.size() + 3 && name.substr(0, command.size()) == command &&
         name.substr(command.size()) == "SAT";
}

std::string FaultRule::with_count(int uses) const {
  return uses == 1 ? body : body + "*" + std::to_string(uses);
}

std::optional<FaultRule> parse_fault(std::string_view rule_in, std::string &error) {
  std::string_view rule = trim(rule_in);
  FaultRule f;
  // *COUNT
  if (const auto stars = unescaped_positions(rule, '*'); !stars.empty()) {
    const std::string_view digits = rule.substr(stars.back() + 1);
    if (!digits.empty() && digits.find_first_not_of("0123456789") == std::string_view::npos) {
      if (!parse_int(digits, 0, 1000000000, f.count)) {
        error = "bad count in '" + std::string(rule) + "'";
        return std::nullopt;
      }
      rule = rule.substr(0, stars.back());
    }
  }
  f.body = std::string(rule);
  // @COMMAND
  if (const auto ats = unescaped_positions(rule, '@'); !ats.empty()) {
    const std::string_view name = rule.substr(ats.back() + 1);
    const bool word =
        !name.empty() &&
        name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_") ==
            std::string_view::npos;
    if (word) {
      f.command = std::string(name);
      rule = rule.substr(0, ats.back());
    }
  }
  const auto colons = unescaped_positions(rule, ':');
  const std::string_view name = colons.empty() ? rule : rule.substr(0, colons.front());
  const std::string_view rest =
      colons.empty() ? std::string_view{} : rule.substr(colons.front() + 1);
  const bool has_rest = !colons.empty();
  const auto args = has_rest ? split_args(rest) : std::vector<std::string_view>{};
  auto bad = [&](const char *why) -> std::optional<FaultRule> {
    error = std::string(why) + " in '" + std::string(rule_in) + "'";
    return std::nullopt;
  };
  auto no_args = [&](FaultKind k) -> std::optional<FaultRule> {
    if (has_rest) return bad("unexpected argument");
    f.kind = k;
    return f;
  };
  auto arg_int = [&](std::size_t i, long min, long max, int def, int &out) {
    if (i >= args.size() || args[i].empty()) {
      out = def;
      return true;
    }
    return parse_int(args[i], min, max, out);
  };

  if (name == "noreply") return no_args(FaultKind::NoReply);
  if (name == "badsum") return no_args(FaultKind::BadSum);
  if (name == "ack") return no_args(FaultKind::Ack);
  if (name == "ackglued") return no_args(FaultKind::AckGlued);
  if (name == "huge") return no_args(FaultKind::Huge);
  if (name == "busy") return no_args(FaultKind::Busy);
  if (name == "vanish") return no_args(FaultKind::Vanish);
  if (name == "unplug") {
    f.kind = FaultKind::Unplug;
    if (args.size() > 1 || !arg_int(0, 0, 3600000, 500, f.ms)) return bad("bad unplug time");
    return f;
  }
  if (name == "stall") {
    f.kind = FaultKind::Stall;
    if (args.size() > 1 || !arg_int(0, 0, 3600000, 5000, f.ms)) return bad("bad stall time");
    return f;
  }
  if (name == "delay") {
    f.kind = FaultKind::Delay;
    if (args.size() != 1 || !arg_int(0, 0, 3600000, -1, f.ms) || f.ms < 0)
      return bad("delay needs :MS");
    return f;
  }
  if (name == "badtype") {
    f.kind = FaultKind::BadType;
    if (args.size() > 1 || !arg_int(0, 0, 255, 0, f.type_byte)) return bad("bad type byte");
    return f;
  }
  if (name == "ackdata") {
    f.kind = FaultKind::AckData;
    if (args.size() > 1 || !arg_int(0, 0, 3600000, 60, f.ms)) return bad("bad delay");
    return f;
  }
  if (name == "split") {
    f.kind = FaultKind::Split;
    if (args.size() > 2 || !arg_int(0, 1, 100000, 3, f.pieces) || !arg_int(1, 0, 60000, 10, f.ms))
      return bad("bad split arguments");
    return f;
  }
  if (name == "longlen") {
    f.kind = FaultKind::LongLen;
    if (args.size() > 1 || !arg_int(0, 1, 1000000000, 64, f.bytes)) return bad("bad extra length");
    return f;
  }
  if (name == "garbage") {
    f.kind = FaultKind::Garbage;
    if (args.size() > 1 || !arg_int(0, 1, 4 * 1024 * 1024, 32, f.bytes))
      return bad("bad byte count");
    return f;
  }
  if (name == "reply") {
    f.kind = FaultKind::Reply;
    if (!has_rest) return bad("reply needs :TEXT");
    f.text = unescape_text(rest);
    return f;
  }
  if (name == "salereply") {
    f.kind = FaultKind::SaleReply;
    if (f.command.empty()) f.command = "EnviarDadosVenda";
    // TEXT6 ends at its sixth '|' when a ':' follows; otherwise at the last ':'.
    const auto pipes = unescaped_positions(rest, '|');
    std::size_t cut = std::string_view::npos;
    if (pipes.size() >= 6 && pipes[5] + 1 < rest.size() && rest[pipes[5] + 1] == ':') {
      cut = pipes[5] + 1;
    } else if (const auto cs = unescaped_positions(rest, ':'); !cs.empty()) {
      cut = cs.back();
    }
    if (!has_rest || cut == std::string_view::npos) return bad("salereply needs :TEXT6:TAIL");
    f.text = unescape_text(rest.substr(0, cut));
    const std::string_view tail = rest.substr(cut + 1);
    if (tail == "-")
      f.tail_kind = SaleTail::Empty;
    else if (tail == "!corrupt")
      f.tail_kind = SaleTail::Corrupt;
    else if (tail == "!bomb")
      f.tail_kind = SaleTail::Bomb;
    else
      f.tail = unescape_text(tail);
    return f;
  }
  return bad("unknown fault");
}

FaultPlan::FaultPlan(std::vector<FaultRule> command_line,
                     std::optional<std::filesystem::path> control_file)
    : command_line_(std::move(command_line)), control_file_(std::move(control_file)) {}

std::optional<FaultRule> FaultPlan::take(std::string_view command_name,
                                         std::vector<std::string> &warnings) {
  if (control_file_) {
    if (auto f = take_from_file(command_name, warnings)) return f;
  }
  for (auto it = command_line_.begin(); it != command_line_.end(); ++it) {
    if (!it->matches(command_name)) continue;
    FaultRule chosen = *it;
    if (it->count > 0 && --it->count == 0) command_line_.erase(it);
    return chosen;
  }
  return std::nullopt;
}

std::optional<FaultRule> FaultPlan::take_from_file(std::string_view command_name,
                                                   std::vector<std::string> &warnings) {
  const std::filesystem::path &path = *control_file_;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;  // no file: no faults from it
  std::stringstream ss;
  ss << in.rdbuf();
  std::string content = ss.str();
  if (content.size() >= 3 && content.compare(0, 3, "\xEF\xBB\xBF") == 0) content.erase(0, 3);
  std::vector<std::string> lines;
  {
    std::size_t from = 0;
    while (from < content.size()) {
      std::size_t nl = content.find('\n', from);
      if (nl == std::string::npos) nl = content.size();
      lines.emplace_back(trim(std::string_view(content).substr(from, nl - from)));
      from = nl + 1;
    }
  }
  std::optional<FaultRule> chosen;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].empty() || lines[i][0] == '#') continue;
    std::string error;
    auto f = parse_fault(lines[i], error);
    if (!f) {
      warnings.push_back("control file " + path.string() + ": " + error);
      continue;
    }
    if (!f->matches(command_name)) continue;
    chosen = *f;
    if (f->count == 0) return chosen;  // forever: the file stays as it is
    if (f->count == 1)
      lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i));
    else
      lines[i] = f->with_count(f->count - 1);
    break;
  }
  if (!chosen) return std::nullopt;
  // Write the file back atomically: a reader never sees half a file.
  std::string out;
  for (const auto &l : lines) {
    if (l.empty()) continue;
    out += l;
    out += '\n';
  }
  const std::filesystem::path tmp = path.parent_path() / ("." + path.filename().string() +
                                                          ".satemu-" + std::to_string(::getpid()));
  {
    std::ofstream o(tmp, std::ios::binary | std::ios::trunc);
    o << out;
    if (!o) {
      warnings.push_back("cannot write " + tmp.string());
      return chosen;
    }
  }
  std::error_code ec;
  std::filesystem::rename(tmp, path, ec);
  if (ec) {
    warnings.push_back("cannot replace " + path.string() + ": " + ec.message());
    std::filesystem::remove(tmp, ec);
  }
  return chosen;
}

}  // namespace satemu
