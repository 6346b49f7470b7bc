// The fault matrix: the real stbflash against a simulated box that
// misbehaves on cue in one phase: silence, a token cut by a gap of more than
// 2 seconds, a token with one byte wrong, another token where one belongs,
// stray bytes, an answer only on the k-th attempt (or never), bytes trickled
// just under the 2-second gap, the far end hanging up. Each cell states the
// whole console output, the exit status and what reached the wire; one
// runner checks them all, and on every run checks that each block the host
// sent was whole and exactly what the image holds, however often it was
// sent again.

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/fixture.h"

namespace stb {
namespace {

using e2e::Bytes;
using sim::any;
using sim::Fault;
using sim::Phase;
using sim::Reply;
namespace text = e2e::text;

// Three records of 256, 5 and 1,000 bytes; the faults on a descriptor or a
// record fall on the middle one.
const sim::Image& image() {
  static const sim::Image three = e2e::three_records();
  return three;
}
constexpr int faulted = 1;

std::string repeat(const std::string& s, int times) {
  std::string all;
  for (int i = 0; i < times; ++i) {
    all += s;
  }
  return all;
}

// A message for each of the attempts first..last, with %d the attempt's
// retry counter (0 for the first).
std::string numbered(const char* format, int first, int last) {
  std::string all;
  for (int i = first; i <= last; ++i) {
    std::array<char, 96> line{};
    std::snprintf(line.data(), line.size(), format, i);
    all += line.data();
  }
  return all;
}

// The same reply in place of the healthy one for attempts 1 .. k-1.
std::vector<Fault> until(Phase phase, int k, const Reply& reply, int step = 0) {
  std::vector<Fault> faults;
  const int record = phase == Phase::descriptor || phase == Phase::data ? faulted : any;
  for (int attempt = 1; attempt < k; ++attempt) {
    faults.push_back({phase, record, attempt, step, reply});
  }
  return faults;
}
std::vector<Fault> always(Phase phase, const Reply& reply, int step = 0) {
  const int record = phase == Phase::descriptor || phase == Phase::data ? faulted : any;
  return {{phase, record, any, step, reply}};
}

struct Cell {
  std::string name;
  std::vector<Fault> faults;
  int status = 0;
  // Standard output after the banner: messages of the handshake and the
  // image header, then those of the faulted record's descriptor (before its
  // progress line) and of its data (after it), then the end.
  std::string early;
  std::string at_descriptor;
  std::string at_data;
  int records_sent = 3;  // records whose progress shows, each sent whole
  std::string tail = std::string(text::done_tail);
  std::string err;
  int copies = 1;  // how often the faulted block went out (handshake: "2ERR3"s sent)
  Phase phase = Phase::handshake;
  int done_delay_ms = 0;
  int burn_ms = 0;
};

// gtest shows a cell by its name.
void PrintTo(const Cell& c, std::ostream* os) { *os << c.name; }

std::string expected_out(const Cell& c) {
  std::string out = std::string(text::banner) + c.early;
  for (int i = 0; i < static_cast<int>(image().records.size()); ++i) {
    if (i == faulted) {
      out += c.at_descriptor;
    }
    if (i >= c.records_sent) {
      return out;
    }
    out += e2e::progress_line(image().records[static_cast<std::size_t>(i)].number, image().count);
    if (i == faulted) {
      out += c.at_data;
    }
  }
  return out + c.tail;
}

std::size_t copies_of(const sim::Transcript& t, Phase phase) {
  const auto& r = image().records[faulted];
  const Bytes want = phase == Phase::header       ? sim::file_header_bytes(image())
                     : phase == Phase::descriptor ? sim::descriptor_bytes(static_cast<std::uint32_t>(r.payload.size()))
                     : phase == Phase::data       ? sim::record_bytes(r)
                     : phase == Phase::disconnect ? e2e::text_bytes("2DIS3")
                                                  : e2e::text_bytes("2ERR3");
  return static_cast<std::size_t>(
      std::count_if(t.messages.begin(), t.messages.end(), [&](const sim::Message& m) { return m.bytes == want; }));
}

// Every block the host sent is whole and is what the image holds: the image
// header as it stands, then for each record in file order its descriptor and
// the record, each copy of a repeated block identical to the first.
void check_wire(const sim::Transcript& t, int records_sent) {
  EXPECT_TRUE(t.problems.empty()) << t.problems.front();
  std::vector<Bytes> distinct;
  for (const sim::Message& m : t.messages) {
    switch (m.kind) {
      case sim::Message::Kind::stray:
        ADD_FAILURE() << "stray bytes from the host: " << m.bytes.size();
        break;
      case sim::Message::Kind::file_header:
        EXPECT_EQ(m.bytes, sim::file_header_bytes(image()));
        break;
      case sim::Message::Kind::descriptor: {
        const auto n = distinct.size();
        ASSERT_LT(n, image().records.size());
        EXPECT_EQ(m.bytes, sim::descriptor_bytes(static_cast<std::uint32_t>(image().records[n].payload.size())));
        break;
      }
      case sim::Message::Kind::record:
        if (distinct.empty() || distinct.back() != m.bytes) {
          distinct.push_back(m.bytes);
        }
        break;
      case sim::Message::Kind::token:
        break;
    }
  }
  ASSERT_EQ(distinct.size(), static_cast<std::size_t>(records_sent));
  for (std::size_t i = 0; i < distinct.size(); ++i) {
    EXPECT_EQ(distinct[i], sim::record_bytes(image().records[i])) << "record " << i;
  }
}

std::vector<Cell> cells() {
  const std::string after_handshake = "2NXT3";  // what the reply buffer holds in phase 2
  std::vector<Cell> c;

  // ---- Phase 1: the box's opening word and its closing "2NXT3" ----
  c.push_back({.name = "handshake_silent_once",
               .faults = until(Phase::handshake, 2, Reply::silence()),
               .early = "\n 1-2) error = \n 1-6) retry = 0\n",
               .copies = 0});
  c.push_back({.name = "handshake_silent_always",
               .faults = always(Phase::handshake, Reply::silence()),
               .status = 1,
               .early = numbered("\n 1-2) error = \n 1-6) retry = %d\n", 0, 7),
               .records_sent = 0,
               .err = std::string(text::connection_failed),
               .copies = 0});
  for (int k : {2, 5, 8}) {
    c.push_back({.name = "handshake_wrong_byte_until_attempt_" + std::to_string(k),
                 .faults = until(Phase::handshake, k, Reply::send("2QXJ3")),
                 .early = numbered("\n 1-1) error = 2QXJ3\n 1-6) retry = %d\n", 0, k - 2),
                 .copies = k - 1});
  }
  c.push_back({.name = "handshake_wrong_byte_always",
               .faults = always(Phase::handshake, Reply::send("2QXJ3")),
               .status = 1,
               .early = numbered("\n 1-1) error = 2QXJ3\n 1-6) retry = %d\n", 0, 7),
               .records_sent = 0,
               .err = std::string(text::connection_failed),
               .copies = 8});
  c.push_back({.name = "handshake_ack_for_opening_word",
               .faults = until(Phase::handshake, 2, Reply::send("2ACK3")),
               .early = "\n 1-1) error = 2ACK3\n 1-6) retry = 0\n",
               .copies = 1});
  c.push_back({.name = "handshake_err_for_closing_word",
               .faults = until(Phase::handshake, 2, Reply::send("2ERR3"), 1),
               .copies = 1});
  c.push_back({.name = "handshake_closing_word_silent",
               .faults = until(Phase::handshake, 2, Reply::silence(), 1),
               .early = "\n 1-5) error = 2QXI3",
               .copies = 0});
  // The first three bytes are a short read; the last two, alone after the
  // gap, another; the box's next opening word then comes whole.
  c.push_back({.name = "handshake_opening_word_cut_by_a_gap",
               .faults = until(Phase::handshake, 2, Reply::partial("2QXI3", 3, 2500)),
               .early = "\n 1-2) error = 2QX\n 1-6) retry = 0\n\n 1-2) error = I3X\n 1-6) retry = 1\n",
               .copies = 0});
  c.push_back({.name = "handshake_opening_word_trickled",
               .faults = until(Phase::handshake, 2, Reply::trickle("2QXI3", 1900)),
               .copies = 0});
  // Five stray bytes are read as one wrong reply; the word behind them is
  // then read whole.
  c.push_back({.name = "handshake_stray_bytes_before_the_word",
               .faults = until(Phase::handshake, 2, Reply::send("zzzzz2QXI3")),
               .early = "\n 1-1) error = zzzzz\n 1-6) retry = 0\n",
               .copies = 1});
  c.push_back({.name = "handshake_hang_up",
               .faults = always(Phase::handshake, Reply::hang_up_now()),
               .status = 1,
               .early = numbered("\n 1-2) error = \n 1-6) retry = %d\n", 0, 7),
               .records_sent = 0,
               .err = std::string(text::connection_failed),
               .copies = 0});

  // ---- Phase 2: the image header ----
  for (int k = 1; k <= 8; ++k) {
    c.push_back({.name = "header_answered_on_attempt_" + std::to_string(k),
                 .faults = until(Phase::header, k, Reply::send("2NXT3")),
                 .copies = k,
                 .phase = Phase::header});
  }
  c.push_back({.name = "header_never_answered",
               .faults = always(Phase::header, Reply::send("2NXT3")),
               .status = 1,
               .records_sent = 0,
               .tail = "",
               .err = std::string(text::stb_does_not_respond),
               .copies = 8,
               .phase = Phase::header});
  c.push_back({.name = "header_silent_once",
               .faults = until(Phase::header, 2, Reply::silence()),
               .early = "\n 2-3) read ack error = " + after_handshake,
               .copies = 2,
               .phase = Phase::header});
  c.push_back({.name = "header_silent_always",
               .faults = always(Phase::header, Reply::silence()),
               .status = 1,
               .early = repeat("\n 2-3) read ack error = " + after_handshake, 8),
               .records_sent = 0,
               .tail = "",
               .err = std::string(text::stb_does_not_respond),
               .copies = 8,
               .phase = Phase::header});
  c.push_back({.name = "header_wrong_byte_once",
               .faults = until(Phase::header, 2, Reply::send("2ACJ3")),
               .copies = 2,
               .phase = Phase::header});
  // The two bytes left after the gap stay in the queue ahead of every later
  // acknowledgement, so no later reply reads as "2ACK3".
  c.push_back({.name = "header_ack_cut_by_a_gap",
               .faults = until(Phase::header, 2, Reply::partial("2ACK3", 3, 2500)),
               .status = 1,
               .early = "\n 2-3) read ack error = 2ACT3",
               .records_sent = 0,
               .tail = "",
               .err = std::string(text::stb_does_not_respond),
               .copies = 8,
               .phase = Phase::header});
  c.push_back({.name = "header_ack_trickled",
               .faults = until(Phase::header, 2, Reply::trickle("2ACK3", 1900)),
               .copies = 1,
               .phase = Phase::header});
  c.push_back({.name = "header_hang_up",
               .faults = always(Phase::header, Reply::hang_up_now()),
               .status = 1,
               .early = repeat("\n 2-3) read ack error = " + after_handshake, 8),
               .records_sent = 0,
               .tail = "",
               .err = std::string(text::stb_does_not_respond),
               .copies = 1,
               .phase = Phase::header});

  // ---- Phase 3: the middle record's descriptor ----
  for (int k : {2, 8}) {
    c.push_back({.name = "descriptor_answered_on_attempt_" + std::to_string(k),
                 .faults = until(Phase::descriptor, k, Reply::send("2ERR3")),
                 .copies = k,
                 .phase = Phase::descriptor});
  }
  c.push_back({.name = "descriptor_never_answered",
               .faults = always(Phase::descriptor, Reply::send("2ERR3")),
               .status = 1,
               .records_sent = 1,
               .tail = "",
               .err = std::string(text::stb_dont_respond),
               .copies = 8,
               .phase = Phase::descriptor});
  c.push_back({.name = "descriptor_silent_once",
               .faults = until(Phase::descriptor, 2, Reply::silence()),
               .at_descriptor = "\n 3-3) DN_DATA_HEADER no data (0)",
               .copies = 2,
               .phase = Phase::descriptor});
  c.push_back({.name = "descriptor_silent_always",
               .faults = always(Phase::descriptor, Reply::silence()),
               .status = 1,
               .at_descriptor = numbered("\n 3-3) DN_DATA_HEADER no data (%d)", 0, 7),
               .records_sent = 1,
               .tail = "",
               .err = std::string(text::stb_dont_respond),
               .copies = 8,
               .phase = Phase::descriptor});
  c.push_back({.name = "descriptor_wrong_byte_once",
               .faults = until(Phase::descriptor, 2, Reply::send("3ACK3")),
               .copies = 2,
               .phase = Phase::descriptor});
  c.push_back({.name = "descriptor_ack_trickled",
               .faults = until(Phase::descriptor, 2, Reply::trickle("2ACK3", 1900)),
               .copies = 1,
               .phase = Phase::descriptor});
  c.push_back({.name = "descriptor_hang_up",
               .faults = always(Phase::descriptor, Reply::hang_up_now()),
               .status = 1,
               .at_descriptor = numbered("\n 3-3) DN_DATA_HEADER no data (%d)", 0, 7),
               .records_sent = 1,
               .tail = "",
               .err = std::string(text::stb_dont_respond),
               .copies = 1,
               .phase = Phase::descriptor});

  // ---- Phase 4: the middle record ----
  for (int k : {2, 8}) {
    c.push_back({.name = "record_answered_on_attempt_" + std::to_string(k),
                 .faults = until(Phase::data, k, Reply::send("2NXT3")),
                 .copies = k,
                 .phase = Phase::data});
  }
  c.push_back({.name = "record_never_answered",
               .faults = always(Phase::data, Reply::send("2NXT3")),
               .status = 1,
               .records_sent = 2,
               .tail = "",
               .err = std::string(text::aborted),
               .copies = 8,
               .phase = Phase::data});
  c.push_back({.name = "record_silent_once",
               .faults = until(Phase::data, 2, Reply::silence()),
               .at_data = "\n 4-3) no ack (2ACK3)",
               .copies = 2,
               .phase = Phase::data});
  c.push_back({.name = "record_silent_always",
               .faults = always(Phase::data, Reply::silence()),
               .status = 1,
               .at_data = repeat("\n 4-3) no ack (2ACK3)", 8),
               .records_sent = 2,
               .tail = "",
               .err = std::string(text::aborted),
               .copies = 8,
               .phase = Phase::data});
  c.push_back({.name = "record_wrong_byte_once",
               .faults = until(Phase::data, 2, Reply::send("2aCK3")),
               .copies = 2,
               .phase = Phase::data});
  c.push_back({.name = "record_ack_trickled",
               .faults = until(Phase::data, 2, Reply::trickle("2ACK3", 1900)),
               .copies = 1,
               .phase = Phase::data});
  c.push_back({.name = "record_hang_up",
               .faults = always(Phase::data, Reply::hang_up_now()),
               .status = 1,
               .at_data = repeat("\n 4-3) no ack (2ACK3)", 8),
               .records_sent = 2,
               .tail = "",
               .err = std::string(text::aborted),
               .copies = 1,
               .phase = Phase::data});

  // ---- Phase 5: the disconnect ----
  for (int k : {2, 8}) {
    c.push_back({.name = "disconnect_answered_on_attempt_" + std::to_string(k),
                 .faults = until(Phase::disconnect, k, Reply::send("2NXT3")),
                 .copies = k,
                 .phase = Phase::disconnect});
  }
  c.push_back({.name = "disconnect_never_answered",
               .faults = always(Phase::disconnect, Reply::send("2NXT3")),
               .status = 1,
               .tail = "",
               .err = std::string(text::aborted),
               .copies = 8,
               .phase = Phase::disconnect});
  c.push_back({.name = "disconnect_silent_always",
               .faults = always(Phase::disconnect, Reply::silence()),
               .status = 1,
               .tail = "",
               .err = std::string(text::aborted),
               .copies = 8,
               .phase = Phase::disconnect});
  c.push_back({.name = "disconnect_hang_up",
               .faults = always(Phase::disconnect, Reply::hang_up_now()),
               .status = 1,
               .tail = "",
               .err = std::string(text::aborted),
               .copies = 1,
               .phase = Phase::disconnect});

  // ---- Phase 6: the three reports, waited for without a limit ----
  c.push_back({.name = "reports_ack_for_done",
               .faults = always(Phase::reports, Reply::send("2ACK3"), 0),
               .status = 1,
               .tail = std::string(text::transferring_failed),
               .copies = 0});
  c.push_back({.name = "reports_wrong_byte_for_burnt",
               .faults = always(Phase::reports, Reply::send("2DBD4"), 1),
               .status = 1,
               .tail = "done\n\t Flash Burning ... " + std::string(text::burning_failed),
               .copies = 0});
  c.push_back({.name = "reports_err_for_verified",
               .faults = always(Phase::reports, Reply::send("2ERR3"), 2),
               .status = 1,
               .tail = "done\n\t Flash Burning ... done\n\t Program Verifying ... " + std::string(text::verifying_failed),
               .copies = 0});
  // Three 10-second reads time out before the box reports; the host waits.
  c.push_back({.name = "reports_after_a_long_silence", .copies = 0, .done_delay_ms = 25000});
  // "2DL", a gap, "D3" alone (dropped), and then "2DBD3": not the word awaited.
  c.push_back({.name = "reports_done_cut_by_a_gap",
               .faults = always(Phase::reports, Reply::partial("2DLD3", 3, 2500), 0),
               .status = 1,
               .tail = std::string(text::transferring_failed),
               .copies = 0,
               .burn_ms = 3000});
  c.push_back({.name = "reports_trickled",
               .faults = always(Phase::reports, Reply::trickle("2DLD3", 1900), 0),
               .copies = 0});
  // The box hangs up a moment after reporting the download (a pty drops
  // what its far end has not read yet when it is hung up).
  c.push_back({.name = "reports_hang_up_while_burning",
               .faults = always(Phase::reports, Reply::hang_up_now(), 1),
               .status = 1,
               .tail = "done\n\t Flash Burning ... ",
               .err = std::string(text::port_lost),
               .copies = 0,
               .burn_ms = 1000});
  return c;
}

class FaultMatrix : public ::testing::TestWithParam<Cell> {};

TEST_P(FaultMatrix, Outcome) {
  const Cell& c = GetParam();
  sim::Settings settings = e2e::with_faults(c.faults);
  settings.done_delay_ms = c.done_delay_ms;
  settings.burn_ms = c.burn_ms;
  const e2e::Download d = e2e::download(image(), settings);

  EXPECT_FALSE(d.host.killed);
  EXPECT_EQ(d.host.status, c.status);
  EXPECT_EQ(d.host.out, expected_out(c));
  EXPECT_EQ(d.host.err, c.err);
  EXPECT_EQ(copies_of(d.box, c.phase), static_cast<std::size_t>(c.copies));
  check_wire(d.box, c.records_sent);
}

INSTANTIATE_TEST_SUITE_P(Cells, FaultMatrix, ::testing::ValuesIn(cells()),
                         [](const ::testing::TestParamInfo<Cell>& cell) { return cell.param.name; });

}  // namespace
}  // namespace stb
