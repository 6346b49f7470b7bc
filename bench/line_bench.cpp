// line_bench: one transfer through the line emulator, timed on the line.
//
//   line_bench --mode stbflash|session --box CMD --host CMD [--check CMD]
//              [--baud 115200] [--latency-ms 0] [--payload-bytes N]
//              [--records R --payload-length L] [--label NAME] [--log FILE]
//              [--timeout-s 900] [--first box|host]
//
// Starts the box command, then the host command (or the other way round with
// --first host), each a shell command line in
// which {box} and {host} stand for the two ends of the emulated line, and
// watches every byte that crosses it. Prints one "result" line.
//
// --mode stbflash: the host is the downloader and the box the simulated box;
// the image has R records of L payload bytes. The time on the line runs from
// the host's first byte after the handshake (the image header) to the moment
// the box's acknowledgement of the disconnect reaches the host: the transfer
// and the disconnect, without the handshake (where the box takes its time on
// purpose) and without the box's burning and verifying. The run counts only when the box sent exactly the
// tokens of a download without a single retry. Also reported: the
// protocol's ceiling for those bytes and turnarounds, and the host's answer
// time, from an acknowledgement reaching it to its first byte back.
//
// --mode session: any two programs (a file transfer's sender and receiver);
// the host end is the sender. The time runs from the sender's first byte to
// the last byte delivered either way, so that, as for the download, the
// receiver's calls for a sender that has not started yet do not count.
// The run counts when both end with status 0 and the check command, if any,
// succeeds.

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/child_process.h"
#include "bench/clock.h"
#include "bench/line_emulator.h"
#include "bench/options.h"

namespace stb::bench {
namespace {

constexpr std::size_t token_size = 5;
constexpr std::size_t handshake_bytes = 2 * token_size;  // the box's "2QXI3" and "2NXT3"
constexpr std::int64_t first_start_ms = 100;  // lets the first program open its end
constexpr std::int64_t box_linger_ms = 10'000;

std::string expand(std::string command, const LineEmulator& line) {
  for (const auto& [key, side] : {std::pair{"{host}", Side::host}, std::pair{"{box}", Side::box}}) {
    for (std::size_t at; (at = command.find(key)) != std::string::npos;) {
      command.replace(at, std::string_view(key).size(), line.path(side));
    }
  }
  return command;
}

double percentile(std::vector<std::int64_t> values, double p) {
  if (values.empty()) {
    return 0;
  }
  std::sort(values.begin(), values.end());
  const auto at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return static_cast<double>(values[at]);
}

// Every byte of the session: the sender's first byte taken and the last byte
// delivered either way.
class SessionWatch : public LineObserver {
 public:
  std::int64_t first_ns = 0;
  std::int64_t last_ns = 0;
  std::array<std::uint64_t, 2> taken_bytes{};

  void taken(Side from, std::span<const std::uint8_t> bytes, std::int64_t at_ns) override {
    if (first_ns == 0 && from == Side::host) {
      first_ns = at_ns;
    }
    taken_bytes[from == Side::host ? 0 : 1] += bytes.size();
  }
  void delivered(Side, std::span<const std::uint8_t>, std::int64_t at_ns) override { last_ns = at_ns; }
};

// The download conversation: the box only ever sends tokens, so its byte
// stream tells which block each acknowledgement answers.
class DownloadWatch : public LineObserver {
 public:
  explicit DownloadWatch(std::uint32_t records) : end_offset_(token_size * (2 * std::size_t{records} + 4)) {}

  std::int64_t first_ns = 0;  // the host's first byte taken after the handshake
  std::int64_t end_ns = 0;    // the acknowledgement of the disconnect delivered
  std::string box_stream;     // every byte the box sent, in order
  std::uint64_t host_bytes_in_window = 0;
  std::vector<std::int64_t> answers_ns;  // acknowledgement delivered -> host's next byte taken

  void taken(Side from, std::span<const std::uint8_t> bytes, std::int64_t at_ns) override {
    if (from == Side::box) {
      return;
    }
    if (first_ns == 0 && box_stream.size() >= handshake_bytes) {
      first_ns = at_ns;
    }
    if (first_ns != 0 && end_ns == 0) {
      host_bytes_in_window += bytes.size();
    }
    if (ack_at_ != 0) {
      answers_ns.push_back(at_ns - ack_at_);
      ack_at_ = 0;
    }
  }

  void delivered(Side from, std::span<const std::uint8_t> bytes, std::int64_t at_ns) override {
    if (from == Side::host) {
      return;
    }
    const std::size_t before = box_stream.size();
    box_stream.append(bytes.begin(), bytes.end());
    if (before < end_offset_ && box_stream.size() >= end_offset_) {
      end_ns = at_ns;
    }
    // An acknowledgement is complete when its last byte reaches the host.
    for (std::size_t end = (before / token_size + 1) * token_size; end <= box_stream.size(); end += token_size) {
      if (box_stream.compare(end - token_size, token_size, "2ACK3") == 0) {
        ack_at_ = at_ns;
      }
    }
  }

 private:
  std::size_t end_offset_;
  std::int64_t ack_at_ = 0;
};

// The box's tokens of a clean download of `records` records: opening word,
// handshake, one acknowledgement for the header, two for each record, one
// for the disconnect, then the three completion reports.
std::string expected_box_stream(std::uint32_t records) {
  std::string s = "2QXI32NXT3";
  for (std::uint32_t i = 0; i < 2 * records + 2; ++i) {
    s += "2ACK3";
  }
  return s + "2DLD32DBD32DVD3";
}

bool file_contains(const std::string& path, const std::string& text) {
  std::ifstream in(path);
  std::stringstream all;
  all << in.rdbuf();
  return all.str().find(text) != std::string::npos;
}

}  // namespace
}  // namespace stb::bench

int main(int argc, char** argv) {
  using namespace stb::bench;
  Options options;
  if (!options.parse(argc, argv, 1,
                     {"mode", "box", "host", "check", "baud", "latency-ms", "payload-bytes", "records",
                      "payload-length", "label", "log", "timeout-s", "first"})) {
    return 2;
  }
  const std::string mode = options.text("mode").value_or("session");
  const auto baud = options.number("baud", 115200);
  const auto latency_ms = options.number("latency-ms", 0);
  const auto payload = options.number("payload-bytes", 0);
  const auto records = options.number("records", 0);
  const auto length = options.number("payload-length", 0);
  const auto timeout_s = options.number("timeout-s", 900);
  const auto box_cmd = options.text("box");
  const auto host_cmd = options.text("host");
  if (!baud || !latency_ms || !payload || !records || !length || !timeout_s || !box_cmd || !host_cmd ||
      (mode != "stbflash" && mode != "session")) {
    std::fprintf(stderr, "line_bench: see the comment at the top of line_bench.cpp for the options\n");
    return 2;
  }
  const std::string label = options.text("label").value_or(mode);
  const std::string log = options.text("log").value_or("");
  const bool download = mode == "stbflash";
  const auto n_records = static_cast<std::uint32_t>(*records);

  LineEmulator line;
  if (!line.open({static_cast<std::uint32_t>(*baud), ms_to_ns(*latency_ms)})) {
    std::perror("pseudo-terminal");
    return 1;
  }
  SessionWatch session;
  DownloadWatch conversation(n_records);
  LineObserver* watch = download ? static_cast<LineObserver*>(&conversation) : &session;
  std::atomic<bool> stop{false};
  std::thread carrier([&] { (void)line.run(stop, watch); });

  // The program that waits for the other is started first, so that nothing
  // it sends at once is lost or flushed before its peer is there.
  Child box;
  Child host;
  const bool host_first = options.text("first").value_or("box") == "host";
  std::string problem;
  Child& first = host_first ? host : box;
  Child& second = host_first ? box : host;
  if (!first.start_shell(expand(host_first ? *host_cmd : *box_cmd, line), log)) {
    problem = "the first command did not start";
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(first_start_ms));
  if (problem.empty() && !second.start_shell(expand(host_first ? *box_cmd : *host_cmd, line), log)) {
    problem = "the second command did not start";
  }
  ChildExit host_end;
  ChildExit box_end;
  if (problem.empty()) {
    host_end = host.wait(static_cast<std::int64_t>(*timeout_s * 1000));
    box_end = box.wait(download ? 2'000 : box_linger_ms);  // the simulated box may stay up: that is fine
  }
  stop = true;
  carrier.join();

  double seconds = 0;
  double ceiling = 0;
  if (problem.empty() && !host_end.exited) {
    problem = "host did not finish";
  }
  if (download) {
    const std::string expected = expected_box_stream(n_records);
    if (problem.empty() && conversation.box_stream.compare(0, expected.size() - 15, expected, 0,
                                                           expected.size() - 15) != 0) {
      problem = "the box's tokens show a retry or a failure";
    }
    if (problem.empty() && !file_contains(log, "Firmware was downloaded successfully.")) {
      problem = "no success line from the host";
    }
    const std::uint64_t host_expected = 24 + std::uint64_t{n_records} * (static_cast<std::uint64_t>(*length) + 40);
    if (problem.empty() && conversation.host_bytes_in_window != host_expected) {
      problem = "host sent " + std::to_string(conversation.host_bytes_in_window) + " bytes, expected " +
                std::to_string(host_expected);
    }
    seconds = static_cast<double>(conversation.end_ns - conversation.first_ns) / 1e9;
    // Stop-and-wait: nothing overlaps, so the line needs the time of every
    // byte in the window, both ways, plus one latency for each block that
    // must arrive before the other end can answer.
    const double byte_s = *baud > 0 ? bits_per_byte / *baud : 0;
    const double bytes = 34.0 + n_records * (*length + 50.0);
    const double blocks = 4.0 + 4.0 * n_records;
    const double line_s = bytes * byte_s + blocks * *latency_ms / 1000;
    ceiling = line_s > 0 ? *payload * byte_s / line_s : 0;
  } else {
    if (problem.empty() && !(host_end.status == 0 && box_end.exited && box_end.status == 0)) {
      problem = "a transfer program failed";
    }
    if (problem.empty() && options.text("check")) {
      Child check;
      if (!check.start_shell(*options.text("check"), log) || check.wait(60'000).status != 0) {
        problem = "the received file differs";
      }
    }
    seconds = static_cast<double>(session.last_ns - session.first_ns) / 1e9;
  }
  // Without a rate limit there is no line to be efficient against.
  const double efficiency = seconds > 0 && *baud > 0 ? *payload * bits_per_byte / *baud / seconds : 0;

  std::printf("result label=%s baud=%g latency_ms=%g payload=%.0f seconds=%.4f efficiency=%.5f", label.c_str(),
              *baud, *latency_ms, *payload, seconds, efficiency);
  if (download) {
    std::printf(" ceiling=%.5f answers=%zu answer_median_us=%.1f answer_p99_us=%.1f", ceiling,
                conversation.answers_ns.size(), percentile(conversation.answers_ns, 0.5) / 1e3,
                percentile(conversation.answers_ns, 0.99) / 1e3);
  }
  std::replace(problem.begin(), problem.end(), ' ', '_');  // one word on the result line
  std::printf(" status=%s\n", problem.empty() ? "ok" : ("invalid:" + problem).c_str());
  return problem.empty() ? 0 : 1;
}
