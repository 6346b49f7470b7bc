// stbsim: a simulated set-top box for stbflash, on a fresh pseudo-terminal or
// on a serial port at the far end of a null-modem cable.

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/box.h"

namespace {

using stb::sim::Fault;
using stb::sim::Phase;
using stb::sim::Reply;

constexpr int usage_status = 2;

constexpr std::string_view help_text =
    "Usage: stbsim [options] [PORT]\n"
    "\n"
    "Plays the set-top box's side of a download for stbflash. Without PORT it\n"
    "creates a pseudo-terminal and prints its path; give that path to stbflash.\n"
    "With PORT it opens that serial device (115200 8N1, raw) and keeps sending\n"
    "its opening word until a host answers.\n"
    "\n"
    "Options:\n"
    "  --repeat            serve one download after another (default: one)\n"
    "  --save FILE         write the payload bytes received, in order, to FILE\n"
    "  --fault NAME        misbehave; NAME is one of\n"
    "                        silent              never say a word\n"
    "                        reject-record-once  reject the first record once\n"
    "                        burn-fails          report a failed flash burn\n"
    "                        verify-fails        report a failed verification\n"
    "                        slow-burn           take 25 s to burn the flash\n"
    "  --at SLOT=ACTION    replace one reply (may be repeated); SLOT is\n"
    "                      PHASE[.STEP][:RECORD][@ATTEMPT], PHASE 1-6 (1 handshake,\n"
    "                      2 header, 3 descriptor, 4 data, 5 disconnect, 6 reports);\n"
    "                      ACTION is silence | hangup | send:TEXT |\n"
    "                      delay:MS:TEXT | trickle:MS:TEXT | partial:N:MS:TEXT\n"
    "                      (TEXT may hold \\xNN escapes)\n"
    "  --burn-ms MS        time to burn the flash (default 0)\n"
    "  --verify-ms MS      time to verify it (default 0)\n"
    "  --quiet             log nothing, print only the ready line\n"
    "  --help              show this text\n"
    "  --version           show the version\n"
    "\n"
    "Exit status: 0 when every download reached the end with nothing amiss,\n"
    "1 when one did not, 2 for bad arguments.\n";

int usage_error(const std::string& what) {
  std::fprintf(stderr, "stbsim: %s\nTry 'stbsim --help'.\n", what.c_str());
  return usage_status;
}

std::optional<int> number(std::string_view text) {
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < 0) {
    return std::nullopt;
  }
  return value;
}

// TEXT of a scripted reply: \xNN for any byte, \\ for a backslash.
std::optional<std::string> unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
    } else if (i + 1 < text.size() && text[i + 1] == '\\') {
      out += '\\';
      ++i;
    } else if (i + 3 < text.size() && text[i + 1] == 'x') {
      unsigned value = 0;
      const auto [end, ec] = std::from_chars(text.data() + i + 2, text.data() + i + 4, value, 16);
      if (ec != std::errc() || end != text.data() + i + 4) {
        return std::nullopt;
      }
      out += static_cast<char>(value);
      i += 3;
    } else {
      return std::nullopt;
    }
  }
  return out;
}

std::vector<std::string_view> split(std::string_view text, char by, std::size_t at_most) {
  std::vector<std::string_view> parts;
  while (parts.size() + 1 < at_most) {
    const auto at = text.find(by);
    if (at == std::string_view::npos) {
      break;
    }
    parts.push_back(text.substr(0, at));
    text.remove_prefix(at + 1);
  }
  parts.push_back(text);
  return parts;
}

std::optional<Reply> parse_action(std::string_view action) {
  if (action == "silence") {
    return Reply::silence();
  }
  if (action == "hangup") {
    return Reply::hang_up_now();
  }
  const auto kind = action.substr(0, action.find(':'));
  if (kind == "send") {
    auto text = unescape(split(action, ':', 2).back());
    return text ? std::optional(Reply::send(*text)) : std::nullopt;
  }
  if (kind == "delay" || kind == "trickle") {
    const auto parts = split(action, ':', 3);
    if (parts.size() != 3) {
      return std::nullopt;
    }
    const auto ms = number(parts[1]);
    auto text = unescape(parts[2]);
    if (!ms || !text) {
      return std::nullopt;
    }
    return kind == "delay" ? Reply::delayed(*ms, *text) : Reply::trickle(*text, *ms);
  }
  if (kind == "partial") {
    const auto parts = split(action, ':', 4);
    if (parts.size() != 4) {
      return std::nullopt;
    }
    const auto n = number(parts[1]);
    const auto ms = number(parts[2]);
    auto text = unescape(parts[3]);
    if (!n || !ms || !text) {
      return std::nullopt;
    }
    return Reply::partial(*text, static_cast<std::size_t>(*n), *ms);
  }
  return std::nullopt;
}

// PHASE[.STEP][:RECORD][@ATTEMPT]=ACTION
std::optional<Fault> parse_at(std::string_view line) {
  const auto eq = line.find('=');
  if (eq == std::string_view::npos) {
    return std::nullopt;
  }
  std::string_view slot = line.substr(0, eq);
  Fault f;
  if (const auto at = slot.find('@'); at != std::string_view::npos) {
    const auto n = number(slot.substr(at + 1));
    if (!n || *n == 0) {
      return std::nullopt;
    }
    f.attempt = *n;
    slot = slot.substr(0, at);
  }
  if (const auto colon = slot.find(':'); colon != std::string_view::npos) {
    const auto n = number(slot.substr(colon + 1));
    if (!n) {
      return std::nullopt;
    }
    f.record = *n;
    slot = slot.substr(0, colon);
  }
  if (const auto dot = slot.find('.'); dot != std::string_view::npos) {
    const auto n = number(slot.substr(dot + 1));
    if (!n || *n > 2) {
      return std::nullopt;
    }
    f.step = *n;
    slot = slot.substr(0, dot);
  }
  const auto phase = number(slot);
  if (!phase || *phase < 1 || *phase > 6) {
    return std::nullopt;
  }
  f.phase = static_cast<Phase>(*phase);
  auto reply = parse_action(line.substr(eq + 1));
  if (!reply) {
    return std::nullopt;
  }
  f.reply = std::move(*reply);
  return f;
}

// The named misbehaviours, for rehearsing scripts.
bool add_named_fault(std::string_view name, stb::sim::Settings& s) {
  if (name == "silent") {
    s.faults.push_back({Phase::handshake, stb::sim::any, stb::sim::any, 0, Reply::silence()});
  } else if (name == "reject-record-once") {
    s.faults.push_back({Phase::data, 0, 1, 0, Reply::send("2ERR3")});
  } else if (name == "burn-fails") {
    s.faults.push_back({Phase::reports, stb::sim::any, stb::sim::any, 1, Reply::send("2ERR3")});
  } else if (name == "verify-fails") {
    s.faults.push_back({Phase::reports, stb::sim::any, stb::sim::any, 2, Reply::send("2ERR3")});
  } else if (name == "slow-burn") {
    s.burn_ms = 25000;
  } else {
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  stb::sim::Settings settings;
  settings.open_wait_ms = 24 * 3600 * 1000;
  bool repeat = false;
  bool quiet = false;
  std::string save_path;
  std::string port;

  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto value = [&]() -> std::optional<std::string_view> {
      if (i + 1 >= argc) {
        return std::nullopt;
      }
      return std::string_view(argv[++i]);
    };
    if (arg == "--help" || arg == "-h") {
      std::fwrite(help_text.data(), 1, help_text.size(), stdout);
      return 0;
    }
    if (arg == "--version") {
      std::printf("stbsim %s\n", STB_VERSION);
      return 0;
    }
    if (arg == "--repeat") {
      repeat = true;
    } else if (arg == "--quiet") {
      quiet = true;
    } else if (arg == "--save" || arg == "--fault" || arg == "--at" || arg == "--burn-ms" ||
               arg == "--verify-ms") {
      const auto v = value();
      if (!v) {
        return usage_error("option " + std::string(arg) + " needs a value");
      }
      if (arg == "--save") {
        save_path = *v;
      } else if (arg == "--fault") {
        if (!add_named_fault(*v, settings)) {
          return usage_error("unknown fault '" + std::string(*v) + "'");
        }
      } else if (arg == "--at") {
        auto f = parse_at(*v);
        if (!f) {
          return usage_error("bad --at '" + std::string(*v) + "'");
        }
        settings.faults.push_back(std::move(*f));
      } else {
        const auto ms = number(*v);
        if (!ms) {
          return usage_error("bad time '" + std::string(*v) + "' for " + std::string(arg));
        }
        (arg == "--burn-ms" ? settings.burn_ms : settings.verify_ms) = *ms;
      }
    } else if (arg.size() > 1 && arg[0] == '-') {
      return usage_error("unknown option '" + std::string(arg) + "'");
    } else if (port.empty()) {
      port = arg;
    } else {
      return usage_error("more than one PORT given");
    }
  }

  if (!quiet) {
    settings.log = [](std::string_view line) {
      std::fprintf(stderr, "stbsim: %.*s\n", static_cast<int>(line.size()), line.data());
    };
  }

  stb::sim::Box box(settings);
  if (port.empty() ? !box.open_pty() : !box.open_device(port)) {
    std::fprintf(stderr, "stbsim: cannot open %s: %s\n", port.empty() ? "a pseudo-terminal" : port.c_str(),
                 box.error().c_str());
    return 1;
  }
  std::printf("stbsim: box ready on %s\n", box.path().c_str());
  std::fflush(stdout);

  int status = 0;
  do {
    const stb::sim::Transcript t = box.run();
    if (!save_path.empty() && t.host_opened && !stb::sim::write_file(save_path, t.payloads)) {
      std::fprintf(stderr, "stbsim: cannot write %s: %s\n", save_path.c_str(), std::strerror(errno));
      status = 1;
    }
    if (t.outcome != stb::sim::Outcome::completed || !t.problems.empty()) {
      status = 1;
    }
    if (t.outcome == stb::sim::Outcome::hung_up || t.outcome == stb::sim::Outcome::line_error ||
        t.outcome == stb::sim::Outcome::not_opened) {
      break;
    }
  } while (repeat);
  return status;
}
