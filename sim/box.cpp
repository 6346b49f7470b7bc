#include "sim/box.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace stb::sim {
namespace {

using Milliseconds = std::chrono::milliseconds;

constexpr std::string_view opener = "2QXI3";
constexpr std::string_view ack = "2ACK3";
constexpr std::string_view nxt = "2NXT3";
constexpr std::string_view err = "2ERR3";
constexpr std::string_view dis = "2DIS3";
constexpr std::array<std::string_view, 3> reports = {"2DLD3", "2DBD3", "2DVD3"};
constexpr std::size_t token_size = 5;

bool is_token(const Message& m, std::string_view token) {
  return m.kind == Message::Kind::token && std::string_view(reinterpret_cast<const char*>(m.bytes.data()),
                                                            m.bytes.size()) == token;
}

// Printable text of bytes for the log: control bytes as \xNN.
std::string shown(std::span<const std::uint8_t> bytes, std::size_t limit = 16) {
  std::string out;
  for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
    const std::uint8_t b = bytes[i];
    if (b >= 0x20 && b <= 0x7E && b != '\\') {
      out += static_cast<char>(b);
    } else {
      std::array<char, 5> hex{};
      std::snprintf(hex.data(), hex.size(), "\\x%02x", b);
      out += hex.data();
    }
  }
  if (bytes.size() > limit) {
    out += "...";
  }
  return out;
}

std::string shown(std::string_view text) {
  return shown(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), 64);
}

}  // namespace

std::string healthy_reply(Phase phase, int step) {
  switch (phase) {
    case Phase::handshake:
      return std::string(step == 0 ? opener : nxt);
    case Phase::reports:
      return std::string(reports[static_cast<std::size_t>(std::clamp(step, 0, 2))]);
    default:
      return std::string(ack);
  }
}

std::string_view name(Outcome outcome) {
  switch (outcome) {
    case Outcome::completed: return "completed";
    case Outcome::host_left: return "host left";
    case Outcome::hung_up: return "hung up";
    case Outcome::not_opened: return "not opened";
    case Outcome::timed_out: return "timed out";
    case Outcome::stopped: return "stopped";
    case Outcome::line_error: return "line error";
  }
  return "?";
}

Bytes Transcript::bytes() const {
  Bytes out;
  for (const Bytes& r : reads) {
    append(out, r);
  }
  return out;
}

std::vector<std::string> Transcript::tokens() const {
  std::vector<std::string> out;
  for (const Message& m : messages) {
    if (m.kind == Message::Kind::token) {
      out.emplace_back(m.bytes.begin(), m.bytes.end());
    }
  }
  return out;
}

std::vector<Bytes> Transcript::copies_of_record(int record) const {
  std::vector<Bytes> out;
  for (const Message& m : messages) {
    if (m.kind == Message::Kind::record && m.record == record) {
      out.push_back(m.bytes);
    }
  }
  return out;
}

// One conversation with one host, from its open to its close.
class Box::Conversation {
 public:
  Conversation(const Settings& settings, Line& line, Transcript& transcript)
      : s_(settings), line_(line), t_(transcript) {}

  void run() {
    if (!wait_for_open()) {
      return;
    }
    Message m;
    if (!handshake(m) || !exchange(Phase::header, -1, m)) {
      return;
    }
    for (int record = 0;; ++record) {
      if (!next_expected(m)) {
        return;
      }
      if (is_token(m, dis)) {
        break;
      }
      if (m.kind != Message::Kind::descriptor) {
        problem("expected a descriptor or 2DIS3, got " + shown(m.bytes));
        --record;
        continue;
      }
      if (!exchange(Phase::descriptor, record, m) || !next_expected(m)) {
        return;
      }
      if (!exchange(Phase::data, record, m)) {
        return;
      }
    }
    if (disconnect() && report()) {
      wait_for_close();
    }
  }

 private:
  enum class Got { message, quiet, end };

  void log(const std::string& line) const {
    if (s_.log) {
      s_.log(line);
    }
  }

  void problem(const std::string& what) {
    t_.problems.push_back(what);
    log("problem: " + what);
  }

  // Ends the conversation: what the host wrote before it left is still
  // taken in, so the transcript holds every byte.
  bool finish(Outcome outcome) {
    if (outcome == Outcome::host_left && reports_sent_) {
      outcome = Outcome::completed;
    }
    t_.outcome = outcome;
    if (outcome == Outcome::host_left || outcome == Outcome::stopped || outcome == Outcome::timed_out) {
      std::array<std::uint8_t, 4096> buffer{};
      std::size_t n = 0;
      const auto deadline = Clock::now() + Milliseconds(200);
      while (outcome == Outcome::host_left && line_.read(buffer, n, deadline) == Wait::ready) {
        take(std::span(buffer).first(n));
      }
      Message m;
      while (frame(m, true)) {
        t_.messages.push_back(m);
      }
    }
    log("conversation ends: " + std::string(name(outcome)));
    return false;
  }

  bool end_for(Wait w) {
    switch (w) {
      case Wait::gone: return finish(Outcome::host_left);
      case Wait::stopped: return finish(Outcome::stopped);
      case Wait::timeout: return finish(Outcome::timed_out);
      case Wait::ready: break;
    }
    return true;
  }

  bool wait_for_open() {
    const Wait w = line_.wait_for_host(Clock::now() + Milliseconds(s_.open_wait_ms));
    if (w != Wait::ready) {
      return finish(w == Wait::timeout ? Outcome::not_opened : w == Wait::stopped ? Outcome::stopped
                                                                                   : Outcome::line_error);
    }
    t_.host_opened = true;
    opened_ = Clock::now();
    end_by_ = opened_ + Milliseconds(s_.run_ms);
    log("host opened " + line_.path());
    return true;
  }

  std::int64_t now_ms() const {
    return std::chrono::duration_cast<Milliseconds>(Clock::now() - opened_).count();
  }

  void take(std::span<const std::uint8_t> bytes) {
    t_.reads.emplace_back(bytes.begin(), bytes.end());
    append(pending_, bytes);
  }

  // Cuts the next whole block off the bytes received: a token begins with
  // '2', the image header with 55, a descriptor with 02, a record with 5A
  // (its length is the one its descriptor announced). Anything else is a
  // stray byte. At the end, `partial` frames what is left as it is.
  bool frame(Message& m, bool partial = false) {
    if (pending_.empty()) {
      return false;
    }
    std::size_t size = 1;
    Message::Kind kind = Message::Kind::stray;
    switch (pending_[0]) {
      case '2': size = token_size; kind = Message::Kind::token; break;
      case 0x55: size = file_header_size; kind = Message::Kind::file_header; break;
      case 0x02: size = descriptor_size; kind = Message::Kind::descriptor; break;
      case 0x5A: {
        kind = Message::Kind::record;
        std::uint32_t length = announced_;
        if (!have_descriptor_) {
          if (pending_.size() < packet_header_size) {
            size = packet_header_size;
            break;
          }
          length = std::min(stated_length(pending_), max_payload);
        }
        size = packet_header_size + length + trailer_size;
        break;
      }
      default: break;
    }
    if (pending_.size() < size) {
      if (!partial) {
        return false;
      }
      size = pending_.size();
      kind = Message::Kind::stray;
    }
    m.kind = kind;
    m.bytes.assign(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(size));
    m.at_ms = now_ms();
    m.record = (kind == Message::Kind::descriptor || kind == Message::Kind::record) ? record_ : -1;
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(size));
    if (kind == Message::Kind::descriptor) {
      const DescriptorCheck c = check_descriptor(m.bytes);
      announced_ = std::min(c.length, max_payload);
      have_descriptor_ = true;
    }
    return true;
  }

  // The next block from the host, or `quiet` when none came for `ms`.
  Got next(Message& m, int ms) {
    const auto quiet_at = Clock::now() + Milliseconds(ms);
    const auto deadline = std::min(quiet_at, end_by_);
    std::array<std::uint8_t, 4096> buffer{};
    for (;;) {
      if (frame(m)) {
        t_.messages.push_back(m);
        return Got::message;
      }
      std::size_t n = 0;
      const Wait w = line_.read(buffer, n, deadline);
      if (w == Wait::ready) {
        take(std::span(buffer).first(n));
        continue;
      }
      if (w == Wait::timeout && quiet_at <= end_by_) {
        return Got::quiet;
      }
      end_for(w);
      return Got::end;
    }
  }

  // The next block, when the host owes one.
  bool next_expected(Message& m) {
    const Got g = next(m, s_.wait_ms);
    if (g == Got::quiet) {
      return finish(Outcome::timed_out);
    }
    return g == Got::message;
  }

  const Reply* fault(Phase phase, int record, int attempt, int step) const {
    for (const Fault& f : s_.faults) {
      if (f.phase == phase && f.step == step && (f.record == any || f.record == record) &&
          (f.attempt == any || f.attempt == attempt)) {
        return &f.reply;
      }
    }
    return nullptr;
  }

  // Sends a reply, piece by piece; false when the conversation has ended.
  bool send(const Reply& reply) {
    std::string text;
    for (const Piece& piece : reply.pieces) {
      if (piece.delay_ms > 0 && !end_for(line_.pause(Milliseconds(piece.delay_ms)))) {
        return false;
      }
      const auto* bytes = reinterpret_cast<const std::uint8_t*>(piece.bytes.data());
      if (piece.trickle_ms > 0) {
        for (std::size_t i = 0; i < piece.bytes.size(); ++i) {
          if (i > 0 && !end_for(line_.pause(Milliseconds(piece.trickle_ms)))) {
            return false;
          }
          if (!line_.write(std::span(bytes + i, 1))) {
            return finish(Outcome::host_left);
          }
        }
      } else if (!line_.write(std::span(bytes, piece.bytes.size()))) {
        return finish(Outcome::host_left);
      }
      text += piece.bytes;
    }
    log(reply.pieces.empty() ? std::string("-> (silence)") : "-> " + shown(text));
    if (reply.hang_up) {
      line_.hang_up();
      return finish(Outcome::hung_up);
    }
    return true;
  }

  bool send_opener(int& attempt) {
    ++attempt;
    const Reply* f = fault(Phase::handshake, any, attempt, 0);
    if (attempt == 1 && s_.opener_delay_ms > 0 && !end_for(line_.pause(Milliseconds(s_.opener_delay_ms)))) {
      return false;
    }
    return send(f != nullptr ? *f : Reply::send(std::string(opener)));
  }

  // Phase 1. Ends with the image header in `first`.
  bool handshake(Message& first) {
    int attempt = 0;
    if (!send_opener(attempt)) {
      return false;
    }
    for (;;) {
      Message m;
      const Got g = next(m, s_.reopen_ms);
      if (g == Got::end) {
        return false;
      }
      if (g == Got::quiet) {
        // The host has given up on this attempt and waits for a fresh word.
        if (!send_opener(attempt)) {
          return false;
        }
        continue;
      }
      if (m.kind == Message::Kind::file_header) {
        first = m;
        return true;
      }
      if (m.kind != Message::Kind::token) {
        problem("handshake: unexpected " + shown(m.bytes));
        continue;
      }
      // The host may answer one word with two tokens ("2ACK3" then
      // "2ERR3"): only the last of a burst counts.
      Message last = m;
      for (;;) {
        const Got more = next(m, s_.settle_ms);
        if (more == Got::end) {
          return false;
        }
        if (more == Got::quiet) {
          break;
        }
        if (m.kind == Message::Kind::file_header) {
          first = m;
          return true;
        }
        last = m;
      }
      log("<- " + shown(last.bytes));
      if (is_token(last, ack)) {
        const Reply* f = fault(Phase::handshake, any, attempt, 1);
        if (!send(f != nullptr ? *f : Reply::send(std::string(nxt)))) {
          return false;
        }
      } else if (is_token(last, err)) {
        if (!send_opener(attempt)) {
          return false;
        }
      } else {
        problem("handshake: unexpected " + shown(last.bytes));
      }
    }
  }

  // Checks a block the box has received; empty when sound.
  std::string check(Phase phase, const Message& m) const {
    switch (phase) {
      case Phase::header:
        return m.kind == Message::Kind::file_header ? "" : "expected the image header";
      case Phase::descriptor: {
        const DescriptorCheck c = check_descriptor(m.bytes);
        return c.problem;
      }
      case Phase::data:
        if (m.kind != Message::Kind::record || m.bytes.size() < packet_header_size + trailer_size) {
          return "expected a record";
        }
        if (stated_length(m.bytes) != announced_) {
          return "record length " + std::to_string(stated_length(m.bytes)) + " differs from its descriptor's " +
                 std::to_string(announced_);
        }
        return "";
      default:
        return "";
    }
  }

  void log_block(Phase phase, int record, int attempt, const Message& m, const std::string& problem_text) const {
    std::string line;
    const std::string of = " (attempt " + std::to_string(attempt) + ")";
    switch (phase) {
      case Phase::header:
        line = "<- image header, count " + std::to_string(m.bytes.size() >= 10 ? m.bytes[8] * 256 + m.bytes[9] : 0);
        break;
      case Phase::descriptor:
        line = "<- descriptor " + std::to_string(record) + ", L = " + std::to_string(announced_);
        break;
      default:
        line = "<- record " + std::to_string(record) + ", number " +
               std::to_string(m.bytes.size() >= 4 ? m.bytes[2] * 256 + m.bytes[3] : 0) + ", " +
               std::to_string(m.bytes.size()) + " bytes";
        break;
    }
    log(line + of + (problem_text.empty() ? ": ok" : ": " + problem_text));
  }

  // Phases 2, 3, 4: the block is received, acknowledged and closed by the
  // host's "2NXT3"; a block received again is the next attempt.
  bool exchange(Phase phase, int record, Message m) {
    record_ = record;
    for (int attempt = 1;; ++attempt) {
      const std::string bad = check(phase, m);
      log_block(phase, record, attempt, m, bad);
      if (!bad.empty()) {
        problem(bad);
      }
      const Reply* f = fault(phase, record, attempt, 0);
      const bool reject = s_.check && !bad.empty();
      if (!send(f != nullptr ? *f : Reply::send(std::string(reject ? err : ack)))) {
        return false;
      }
      for (;;) {
        Message reply;
        if (!next_expected(reply)) {
          return false;
        }
        if (is_token(reply, nxt)) {
          if (phase == Phase::data) {
            append(t_.payloads, std::span(m.bytes).subspan(packet_header_size,
                                                           m.bytes.size() - packet_header_size - trailer_size));
          }
          if (phase != Phase::descriptor) {
            // The next block belongs to the next record.
            have_descriptor_ = false;
            record_ = record + 1;
          }
          return true;
        }
        if (reply.kind == m.kind) {
          m = reply;
          break;
        }
        problem("unexpected " + shown(reply.bytes));
      }
    }
  }

  // Phase 5. The acknowledgement of "2DIS3" is not answered: after a healthy
  // one the reports follow at once; after a scripted one the box waits to
  // see whether the host sends "2DIS3" again.
  bool disconnect() {
    log("<- 2DIS3");
    for (int attempt = 1;; ++attempt) {
      const Reply* f = fault(Phase::disconnect, any, attempt, 0);
      if (!send(f != nullptr ? *f : Reply::send(std::string(ack)))) {
        return false;
      }
      if (f == nullptr) {
        return true;
      }
      Message m;
      const Got g = next(m, s_.reopen_ms);
      if (g == Got::end) {
        return false;
      }
      if (g == Got::quiet) {
        return true;
      }
      if (!is_token(m, dis)) {
        problem("after 2DIS3: unexpected " + shown(m.bytes));
        return true;
      }
      log("<- 2DIS3");
    }
  }

  // Phase 6: the three reports, each after its delay.
  bool report() {
    const std::array<int, 3> delays = {s_.done_delay_ms, s_.burn_ms, s_.verify_ms};
    for (int step = 0; step < 3; ++step) {
      const int delay = delays[static_cast<std::size_t>(step)];
      if (delay > 0 && !end_for(line_.pause(Milliseconds(delay)))) {
        return false;
      }
      const Reply* f = fault(Phase::reports, any, 1, step);
      if (!send(f != nullptr ? *f : Reply::send(healthy_reply(Phase::reports, step)))) {
        return false;
      }
    }
    reports_sent_ = true;
    return true;
  }

  void wait_for_close() {
    for (;;) {
      Message m;
      const Got g = next(m, s_.wait_ms);
      if (g == Got::end) {
        return;
      }
      if (g == Got::quiet) {
        finish(Outcome::timed_out);
        return;
      }
      problem("after the reports: unexpected " + shown(m.bytes));
    }
  }

  const Settings& s_;
  Line& line_;
  Transcript& t_;
  Bytes pending_;
  std::uint32_t announced_ = 0;  // L of the last descriptor
  bool have_descriptor_ = false;
  bool reports_sent_ = false;
  int record_ = -1;
  Clock::time_point opened_ = Clock::now();
  Clock::time_point end_by_ = Clock::time_point::max();
};

Box::Box(Settings settings) : settings_(std::move(settings)) {}

Box::~Box() {
  stop();
  if (thread_.joinable()) {
    thread_.join();
  }
}

Transcript Box::run() {
  Transcript t;
  Conversation(settings_, line_, t).run();
  return t;
}

void Box::start() {
  finished_ = false;
  thread_ = std::thread([this] {
    result_ = run();
    finished_ = true;
  });
}

Transcript Box::wait() {
  if (thread_.joinable()) {
    thread_.join();
  }
  return std::move(result_);
}

}  // namespace stb::sim
