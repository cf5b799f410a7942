#include "options.h"

#include "access_key.h"

namespace satemu {

const char kUsage[] =
    "Usage: satemu --link PATH [options]\n"
    "       satemu --device PATH [options]\n"
    "       satemu --help\n"
    "\n"
    "Emulates a SAT-CF-e fiscal device on a serial line, for POS programs and tests.\n"
    "\n"
    "Line (one of):\n"
    "  --link PATH        create a pseudo-terminal and make PATH a symbolic link to it,\n"
    "                     e.g. $TORVEX_PORT_DIR/COM7 or $WINEPREFIX/dosdevices/com7\n"
    "                     (an existing symbolic link there is replaced; it is removed on exit)\n"
    "  --device PATH      use an existing serial device (raw 115200 8N1)\n"
    "\n"
    "Device:\n"
    "  --state DIR        keep the device's state in DIR (created if missing), so the\n"
    "                     same device comes back next time; default: a fresh temporary\n"
    "                     state, deleted on exit\n"
    "  --activated        a fresh state starts already activated (with --codigo, --cnpj,\n"
    "                     --cuf); otherwise a fresh device waits for AtivarSAT\n"
    "  --codigo CODE      activation code of an --activated device (default 12345678)\n"
    "  --cnpj CNPJ        taxpayer CNPJ of an --activated device (default 11222333000181)\n"
    "  --cuf N            state code of an --activated device (default 35)\n"
    "  --serial NNNNNNNNN device serial number of a fresh state (default 900004019);\n"
    "                     it is also the emergency activation code\n"
    "  --seed N           seed for the random parts (cNF codes, garbage bytes)\n"
    "\n"
    "Faults:\n"
    "  --fault FAULT       misbehave as FAULT says (repeatable)\n"
    "  --control FILE     before each command read FILE (if it exists): every line is a\n"
    "                     FAULT; the first that matches the command is applied and used up\n"
    "\n"
    "  FAULT := NAME[:ARG[:ARG]][@COMMAND][*COUNT]   (COUNT default 1, *0 = for ever)\n"
    "    noreply            read the command, answer nothing\n"
    "    delay:MS           answer after MS milliseconds\n"
    "    badsum             data frame with a wrong checksum\n"
    "    badtype[:BYTE]     frame with an unknown type byte (default 0x00)\n"
    "    ack                a lone ACK (0x06)\n"
    "    ackdata[:MS]       ACK, then the data frame MS ms later (default 60)\n"
    "    ackglued           ACK and data frame in one write\n"
    "    split[:N[:MS]]     the reply frame in N pieces (3) MS ms apart (10)\n"
    "    longlen[:EXTRA]    declared length EXTRA bytes (64) larger than sent\n"
    "    huge               a data frame of more than 2 MiB\n"
    "    garbage[:N]        N random bytes (32) instead of a reply\n"
    "    busy               the command's \"busy, try again\" reply (xx098)\n"
    "    vanish             close the line in the middle of the command and exit\n"
    "    unplug[:MS]        close the line in the middle of the command; a new line\n"
    "                       appears at the same place MS ms (500) later\n"
    "    stall[:MS]         answer nothing and read nothing for MS ms (5000): the\n"
    "                       library's next writes fill the line and block\n"
    "    reply:TEXT         answer exactly TEXT ($S = the command's session number;\n"
    "                       escapes \\xNN \\n \\| \\: \\@ \\* \\\\)\n"
    "    salereply:TEXT6:TAIL  sale reply: TEXT6, then length + zlib stream of TAIL;\n"
    "                       TAIL '-' sends length 0, '!corrupt' a broken stream,\n"
    "                       '!bomb' a stream that inflates past 2 MiB\n"
    "  e.g. --fault noreply@ConsultarSAT   --fault 'delay:1500*0'   --fault 'reply:$S|12345||'\n"
    "\n"
    "Other:\n"
    "  --verbose, -v      log every frame received and sent on stderr\n"
    "  --help, -h         this text\n"
    "\n"
    "Exit status: 0 after SIGTERM/SIGINT or a vanish fault; 1 when the line cannot be made\n"
    "or is lost; 2 for a wrong command line.\n";

std::optional<Options> parse_options(const std::vector<std::string> &args, std::string &error) {
  Options o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string a = args[i];
    std::optional<std::string> inline_value;
    if (a.rfind("--", 0) == 0) {
      if (const auto eq = a.find('='); eq != std::string::npos) {
        inline_value = a.substr(eq + 1);
        a = a.substr(0, eq);
      }
    }
    auto value = [&](std::string &out) {
      if (inline_value) {
        out = *inline_value;
        return true;
      }
      if (i + 1 >= args.size()) {
        error = a + " needs a value";
        return false;
      }
      out = args[++i];
      return true;
    };
    std::string v;
    if (a == "--help" || a == "-h") {
      o.help = true;
    } else if (a == "--verbose" || a == "-v") {
      o.verbose = true;
    } else if (a == "--activated") {
      o.activated = true;
    } else if (a == "--link") {
      if (!value(o.link)) return std::nullopt;
    } else if (a == "--device") {
      if (!value(o.device)) return std::nullopt;
    } else if (a == "--state") {
      if (!value(o.state)) return std::nullopt;
    } else if (a == "--control") {
      if (!value(o.control)) return std::nullopt;
    } else if (a == "--fault") {
      if (!value(v)) return std::nullopt;
      auto f = parse_fault(v, error);
      if (!f) return std::nullopt;
      o.faults.push_back(std::move(*f));
    } else if (a == "--codigo") {
      if (!value(o.codigo)) return std::nullopt;
      if (o.codigo.size() < 8 || o.codigo.size() > 32) {
        error = "--codigo must have 8 to 32 characters";
        return std::nullopt;
      }
    } else if (a == "--cnpj") {
      if (!value(o.cnpj)) return std::nullopt;
      if (!cnpj_valid(o.cnpj)) {
        error = "--cnpj must be 14 digits with valid check digits";
        return std::nullopt;
      }
    } else if (a == "--cuf") {
      if (!value(v)) return std::nullopt;
      if (v.size() != 2 || !all_digits(v)) {
        error = "--cuf must be a two-digit state code";
        return std::nullopt;
      }
      o.cuf = std::stoi(v);
    } else if (a == "--serial") {
      if (!value(o.serial)) return std::nullopt;
      if (o.serial.size() != 9 || !all_digits(o.serial)) {
        error = "--serial must be 9 digits";
        return std::nullopt;
      }
    } else if (a == "--seed") {
      if (!value(v)) return std::nullopt;
      if (v.empty() || v.size() > 9 || !all_digits(v)) {
        error = "--seed must be a number";
        return std::nullopt;
      }
      o.seed = static_cast<std::uint32_t>(std::stoul(v));
    } else {
      error = "unknown argument: " + args[i];
      return std::nullopt;
    }
  }
  if (o.help) return o;
  if (o.link.empty() == o.device.empty()) {
    error = "give either --link PATH or --device PATH";
    return std::nullopt;
  }
  return o;
}

}  // namespace satemu
