// A simulated set-top box: the box's side of a download, played over a
// pseudo-terminal (or any serial line), recording every byte the host sends,
// with faults on cue.
//
// A healthy box sends its opening word "2QXI3"; answers the host's "2ACK3"
// with "2NXT3"; acknowledges the image header, every descriptor and every
// record with "2ACK3" (each answered by the host's "2NXT3"); acknowledges
// "2DIS3" and then reports "2DLD3", "2DBD3", "2DVD3". It checks every
// descriptor (CRC-32, length and its complement) and every record against its
// descriptor, and answers a bad one with "2ERR3".
//
// A fault replaces one healthy reply, chosen by phase, record, attempt and
// step, with a scripted Reply. A table of faults drives any misbehaviour.
//
// The box follows the host by what it receives: a block received again is
// the next attempt of the same exchange; "2NXT3" closes it. In the handshake
// it answers the last of the host's tokens once the host has been quiet for
// `settle_ms` ("2ACK3": the closing word; "2ERR3": a fresh opening word), and
// sends a fresh opening word when the host has said nothing for `reopen_ms`
// (the host has given up on that attempt).
//
// No wait is unbounded: each has a deadline, and the box stops as soon as the
// host closes the line or stop() is called.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "sim/image_builder.h"
#include "sim/line.h"

namespace stb::sim {

inline constexpr int any = -1;

enum class Phase : std::uint8_t {
  handshake = 1,   // step 0: the opening word; step 1: the closing "2NXT3"
  header = 2,      // the image header
  descriptor = 3,  // the DN_DATA_HEADER of a record
  data = 4,        // a packet record
  disconnect = 5,  // "2DIS3"
  reports = 6,     // step 0: "2DLD3", step 1: "2DBD3", step 2: "2DVD3"
};

// A stretch of bytes: wait `delay_ms`, then send `bytes`, one at a time
// `trickle_ms` apart when that is not 0.
struct Piece {
  std::string bytes;
  int delay_ms = 0;
  int trickle_ms = 0;
};

// What the box sends in place of a healthy reply. No pieces is silence.
struct Reply {
  std::vector<Piece> pieces;
  bool hang_up = false;  // after the pieces, close the line

  static Reply silence() { return {}; }
  static Reply send(std::string bytes) { return {{{std::move(bytes)}}, false}; }
  static Reply delayed(int ms, std::string bytes) { return {{{std::move(bytes), ms}}, false}; }
  // The first `split` bytes, a gap, the rest.
  static Reply partial(const std::string& bytes, std::size_t split, int gap_ms) {
    return {{{bytes.substr(0, split)}, {bytes.substr(split), gap_ms}}, false};
  }
  static Reply trickle(std::string bytes, int ms) { return {{{std::move(bytes), 0, ms}}, false}; }
  static Reply stray(const std::string& before, const std::string& bytes, const std::string& after) {
    return send(before + bytes + after);
  }
  static Reply hang_up_now() { return {{}, true}; }
};

struct Fault {
  Phase phase = Phase::handshake;
  int record = any;   // descriptor and data: the record's index in file order
  int attempt = any;  // 1 for the first attempt of the exchange
  int step = 0;       // handshake and reports, see Phase
  Reply reply;
};

// The reply a healthy box gives at that point: "2QXI3", "2NXT3", "2ACK3",
// "2DLD3", ...
std::string healthy_reply(Phase phase, int step);

struct Settings {
  std::vector<Fault> faults;  // the first that fits a reply replaces it
  int opener_delay_ms = 0;    // before the first opening word
  int done_delay_ms = 0;      // after acknowledging "2DIS3", before "2DLD3"
  int burn_ms = 0;            // before "2DBD3"
  int verify_ms = 0;          // before "2DVD3"
  int settle_ms = 100;
  int reopen_ms = 10500;      // longer than the host's 10-second read
  int wait_ms = 30000;        // longest wait for the host's next block
  int open_wait_ms = 60000;   // longest wait for the host to open the line
  int run_ms = 600000;        // bound on one whole conversation
  bool check = true;          // answer a bad descriptor or record with "2ERR3"
  // Told one short line per event (a block received, a reply, a problem).
  std::function<void(std::string_view)> log;
};

// One block the host sent, as the box framed it.
struct Message {
  enum class Kind { token, file_header, descriptor, record, stray };
  Kind kind = Kind::stray;
  Bytes bytes;
  std::int64_t at_ms = 0;  // since the host opened the line
  int record = -1;         // descriptor and record: index in file order
};

enum class Outcome {
  completed,     // all three reports sent, then the host closed the line
  host_left,     // the host closed the line before the end
  hung_up,       // the box hung up on cue
  not_opened,    // the host never opened the line
  timed_out,     // a wait passed its deadline
  stopped,       // stop() was called
  line_error,    // the line failed
};

struct Transcript {
  Outcome outcome = Outcome::stopped;
  bool host_opened = false;
  std::vector<Bytes> reads;        // every read from the host, in order
  std::vector<Message> messages;   // the same bytes framed into blocks
  std::vector<std::string> problems;  // bad descriptors, records, unexpected blocks
  Bytes payloads;                  // payload bytes of acknowledged records, in order

  // Everything the host sent, in order.
  [[nodiscard]] Bytes bytes() const;
  // The host's tokens as text, in order.
  [[nodiscard]] std::vector<std::string> tokens() const;
  // Every copy received of the record with that index.
  [[nodiscard]] std::vector<Bytes> copies_of_record(int record) const;
};

std::string_view name(Outcome outcome);

class Box {
 public:
  explicit Box(Settings settings = {});
  ~Box();
  Box(const Box&) = delete;
  Box& operator=(const Box&) = delete;

  // Where the box listens: a fresh pseudo-terminal, a serial device or a
  // descriptor already open. False with error() on failure.
  bool open_pty() { return line_.open_pty(); }
  bool open_device(const std::string& path) { return line_.open_device(path); }
  void adopt(int fd) { line_.adopt(fd); }
  [[nodiscard]] const std::string& path() const { return line_.path(); }
  [[nodiscard]] const std::string& error() const { return line_.error(); }

  // One conversation, here and now: waits for the host to open the line,
  // plays the box's side, and returns when the host closes it.
  Transcript run();
  // The same on a thread of its own; wait() joins it.
  void start();
  Transcript wait();
  // Ends a conversation early (from any thread).
  void stop() { line_.stop(); }
  // True once the conversation started by start() has ended.
  [[nodiscard]] bool finished() const { return finished_.load(); }

 private:
  class Conversation;
  Settings settings_;
  Line line_;
  std::thread thread_;
  std::atomic<bool> finished_{false};
  Transcript result_;
};

}  // namespace stb::sim
