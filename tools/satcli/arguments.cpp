#include "arguments.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <map>
#include <memory>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

namespace satcli {

namespace {

// Larger inputs are refused rather than read into memory: even a sale that
// compresses well cannot be much larger than this and still fit one frame.
constexpr std::size_t kMaxInputBytes = 64u * 1024u * 1024u;

const ParamRow *findParam(const CommandRow &command, std::string_view option) {
  for (const auto &param : command.params)
    if (param.option == option) return &param;
  return nullptr;
}

bool isGlobalWithValue(std::string_view name) {
  return name == "log" || name == "save" || name == "retry";
}

// More would only hide a device that is really gone.
constexpr int kMaxRetries = 10;
bool isGlobalFlag(std::string_view name) { return name == "quiet" || name == "short"; }

struct RawOption {
  std::string value;
};

}  // namespace

std::optional<std::int32_t> parseInt32(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::string_view digits = text;
  if (digits.front() == '+') {
    digits.remove_prefix(1);
    if (!digits.empty() && digits.front() == '-') return std::nullopt;
  }
  std::int32_t value = 0;
  const char *first = digits.data();
  const char *last = digits.data() + digits.size();
  if (first == last) return std::nullopt;
  auto [end, ec] = std::from_chars(first, last, value, 10);
  if (ec != std::errc{} || end != last) return std::nullopt;
  return value;
}

std::optional<std::string> readWholeFile(const std::string &path, std::string &error) {
  std::unique_ptr<std::FILE, int (*)(std::FILE *)> owned(nullptr, &std::fclose);
  std::FILE *in = stdin;
  const std::string name = path == "-" ? std::string("standard input") : path;
  if (path == "-") {
#if defined(_WIN32)
    _setmode(_fileno(stdin), _O_BINARY);
#endif
  } else {
    owned.reset(std::fopen(path.c_str(), "rb"));
    if (!owned) {
      error = "cannot open " + path;
      return std::nullopt;
    }
    in = owned.get();
  }
  std::string data;
  std::vector<char> chunk(65536);
  std::size_t got = 0;
  while ((got = std::fread(chunk.data(), 1, chunk.size(), in)) > 0) {
    data.append(chunk.data(), got);
    if (data.size() > kMaxInputBytes) {
      error = name + " is larger than 64 MiB";
      return std::nullopt;
    }
  }
  if (std::ferror(in)) {
    error = "cannot read " + name;
    return std::nullopt;
  }
  return data;
}

ParseResult parseArguments(const std::vector<std::string> &args, const FileReader &reader) {
  const bool helpWanted = std::any_of(
      args.begin(), args.end(), [](const std::string &a) { return a == "--help" || a == "-h"; });

  Invocation inv;
  std::map<std::string, RawOption, std::less<>> given;  // command options by name
  std::optional<std::string> sessionText;
  bool retrySeen = false;

  auto fail = [&](std::string message) -> ParseResult {
    if (helpWanted) return HelpRequest{inv.command};
    return UsageError{std::move(message)};
  };

  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string &arg = args[i];
    if (arg == "--help" || arg == "-h") continue;

    if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
      const std::size_t eq = arg.find('=');
      const std::string name = arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
      std::optional<std::string> inlineValue;
      if (eq != std::string::npos) inlineValue = arg.substr(eq + 1);

      if (isGlobalFlag(name)) {
        if (inlineValue) return fail("--" + name + " takes no value");
        (name == "quiet" ? inv.options.quiet : inv.options.shortTexts) = true;
        continue;
      }

      const ParamRow *param = nullptr;
      const bool isSession = inv.command != nullptr && name == "sessao";
      if (!isGlobalWithValue(name) && !isSession) {
        if (inv.command == nullptr)
          return fail("unknown option --" + name + " (options of a command follow its name)");
        param = findParam(*inv.command, name);
        if (param == nullptr)
          return fail("unknown option --" + name + " for " + std::string(inv.command->name) +
                      "; see satcli " + std::string(inv.command->name) + " --help");
      }

      std::string value;
      if (inlineValue) {
        value = *inlineValue;
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        return fail("option --" + name + " needs a value");
      }

      if (param != nullptr) {
        if (given.count(name) != 0) return fail("--" + name + " given twice");
        given.emplace(name, RawOption{value});
      } else if (isSession) {
        if (inv.command->group != Group::Sat)
          return fail(std::string(inv.command->name) + " takes no session number");
        if (sessionText) return fail("--sessao given twice");
        sessionText = value;
      } else if (name == "log") {
        if (inv.options.logPath) return fail("--log given twice");
        inv.options.logPath = value;
      } else if (name == "save") {
        if (inv.options.savePath) return fail("--save given twice");
        inv.options.savePath = value;
      } else {  // --retry
        if (retrySeen) return fail("--retry given twice");
        retrySeen = true;
        const auto count = parseInt32(value);
        if (!count || *count < 0 || *count > kMaxRetries)
          return fail("--retry needs a number from 0 to 10, got '" + value + "'");
        inv.options.retries = *count;
      }
      continue;
    }

    if (arg.size() > 1 && arg[0] == '-') return fail("unknown option " + arg);

    if (inv.command != nullptr)
      return fail("unexpected argument '" + arg + "' (every value follows its option)");
    inv.command = findCommand(arg);
    if (inv.command == nullptr)
      return fail("unknown command '" + arg + "'; satcli --help lists the commands");
  }

  if (helpWanted) return HelpRequest{inv.command};
  if (inv.command == nullptr)
    return UsageError{"no command given; satcli --help lists the commands"};

  if (sessionText) {
    inv.session = parseInt32(*sessionText);
    if (!inv.session)
      return UsageError{"--sessao needs a 32-bit integer, got '" + *sessionText + "'"};
  }

  std::vector<std::string> missing;
  for (const auto &param : inv.command->params) {
    const auto found = given.find(param.option);
    std::string raw;
    if (found != given.end()) {
      raw = found->second.value;
    } else if (!param.defaultValue.empty()) {
      raw = std::string(param.defaultValue);
    } else {
      missing.push_back("--" + std::string(param.option));
      inv.call.args.emplace_back(std::string());
      continue;
    }

    switch (param.kind) {
      case ParamKind::Integer: {
        const auto number = parseInt32(raw);
        if (!number)
          return UsageError{"--" + std::string(param.option) + " needs a 32-bit integer, got '" +
                            raw + "'"};
        inv.call.args.emplace_back(*number);
        break;
      }
      case ParamKind::Text: {
        std::string text;
        if (raw.compare(0, 2, "@@") == 0) {
          text = raw.substr(1);
        } else if (!raw.empty() && raw[0] == '@') {
          std::string error;
          auto content = reader(raw.substr(1), error);
          if (!content) return UsageError{"--" + std::string(param.option) + ": " + error};
          text = std::move(*content);
          if (text.find('\0') != std::string::npos)
            return UsageError{"--" + std::string(param.option) + ": " + raw.substr(1) +
                              " holds a NUL byte; the library takes texts that end at "
                              "the first NUL, so it would see only part of it"};
        } else {
          text = raw;
        }
        inv.call.args.emplace_back(std::move(text));
        break;
      }
      case ParamKind::Path:
        inv.call.args.emplace_back(raw);
        break;
    }
  }
  if (!missing.empty()) {
    std::string message = std::string(inv.command->name) + " needs";
    for (const auto &m : missing) message += " " + m;
    return UsageError{message + "; see satcli " + std::string(inv.command->name) + " --help"};
  }
  return inv;
}

}  // namespace satcli
