// stbflash.exe under wine against the simulated box: the real CreateFileA,
// SetCommState, SetCommTimeouts, ReadFile and WriteFile path of the Windows
// build, the box on a pseudo-terminal that wine serves as a COM port.
//
// A Windows program writes its line ends as CR LF when redirected, so the
// console text is compared with CR LF turned back into LF; the bytes on the
// wire are compared exactly.
//
// Not here: exclusive access. Wine lets a second program open a COM port
// that another holds (it does not enforce share mode 0 on ports), so that
// case runs only in the Linux suite.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tests/e2e/harness.h"
#include "tests/windows/wine_ports.h"

namespace stb::windows_e2e {
namespace {

using e2e::RunOptions;
using e2e::RunResult;
using sim::Bytes;
using sim::Fault;
using sim::Phase;
using sim::Reply;
namespace text = e2e::text;

std::string without_crlf(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') {
      continue;
    }
    out += s[i];
  }
  return out;
}

struct WineRun {
  RunResult host;
  sim::Transcript box;
};

int case_counter = 0;

// Runs stbflash.exe on `file` against a box with `settings` on a fresh
// pseudo-terminal mapped onto COM`number` (0: a number of its own), with
// the port named by `port_format` ("com%d", "COM%d", ...).
WineRun run_on_com(const Bytes& file, sim::Settings settings = {}, const char* port_format = "com%d",
                   int number = 0, const RunOptions& options = {}) {
  WineRun run;
  sim::Box box(std::move(settings));
  if (!box.open_pty()) {
    ADD_FAILURE() << "no pseudo-terminal: " << box.error();
    return run;
  }
  ComPort com(number != 0 ? number : com_number_for(box.path()), box.path());
  if (!com.ok()) {
    ADD_FAILURE() << com.error();
    return run;
  }
  box.start();
  std::array<char, 64> port{};
  std::snprintf(port.data(), port.size(), port_format, com.number());
  const std::string image =
      e2e::scratch_file("case" + std::to_string(::getpid()) + "." + std::to_string(++case_counter) + ".dnl", file);
  run.host = e2e::run_host({image, port.data()}, options);
  run.host.out = without_crlf(run.host.out);
  run.host.err = without_crlf(run.host.err);
  for (int i = 0; i < 300 && !box.finished(); ++i) {
    ::usleep(10'000);
  }
  box.stop();
  run.box = box.wait();
  return run;
}

sim::Image three_records() {
  const std::size_t sizes[] = {256, 5, 1000};
  return sim::numbered_image(3, sizes);
}

const sim::Image three = three_records();

TEST(WineDownload, ThreeRecordsByteForByte) {
  const WineRun r = run_on_com(sim::image_bytes(three));
  EXPECT_EQ(r.host.out, e2e::success_out(three));
  EXPECT_EQ(r.host.err, "");
  EXPECT_EQ(r.host.status, 0);
  EXPECT_TRUE(r.box.bytes() == e2e::healthy_wire(three)) << "the wire differs";
  EXPECT_TRUE(r.box.problems.empty());
  // The record of 1,016 bytes went out in 8-byte writes: nothing was lost
  // or reordered between them.
  EXPECT_TRUE(r.box.payloads == [] {
    Bytes all;
    for (const sim::Record& rec : three.records) {
      sim::append(all, rec.payload);
    }
    return all;
  }()) << "the payloads differ";
}

// The same port, named in either case or in the device namespace form;
// COM5 is used by this case alone.
TEST(WineDownload, ComNameInAnyCaseReachesThePort) {
  const std::size_t sizes[] = {5};
  const sim::Image one = sim::numbered_image(1, sizes);
  for (const char* format : {"com%d", "COM%d", "\\\\.\\COM%d"}) {
    SCOPED_TRACE(format);
    const WineRun r = run_on_com(sim::image_bytes(one), {}, format, 5);
    EXPECT_EQ(r.host.out, e2e::success_out(one));
    EXPECT_EQ(r.host.status, 0);
    EXPECT_TRUE(r.box.bytes() == e2e::healthy_wire(one)) << "the wire differs";
  }
}

TEST(WineFrontEnd, UnknownPortGivesTheMessageBlock) {
  const std::string image = e2e::scratch_file("header_only.dnl", sim::image_bytes(sim::Image{}));
  for (const char* port : {"com250", "nosuchport"}) {
    SCOPED_TRACE(port);
    RunResult r = e2e::run_host({image, port});
    EXPECT_EQ(without_crlf(r.out), text::banner);
    EXPECT_EQ(without_crlf(r.err), text::cannot_open_port(port));
    EXPECT_EQ(r.status, 1);
  }
}

// The real time-outs of the port: each of the eight reads of the opening
// word gives up after 10 seconds.
TEST(WineDownload, SilentBoxCostsEightTenSecondWaits) {
  sim::Settings silent;
  silent.faults = {Fault{Phase::handshake, sim::any, sim::any, 0, Reply::silence()}};
  silent.reopen_ms = 1'000'000;
  const WineRun r = run_on_com(sim::image_bytes(three), silent);
  std::string messages;
  for (int k = 0; k < 8; ++k) {
    messages += "\n 1-2) error = \n 1-6) retry = " + std::to_string(k) + "\n";
  }
  EXPECT_EQ(r.host.out, std::string(text::banner) + messages);
  EXPECT_EQ(r.host.err, text::connection_failed);
  EXPECT_EQ(r.host.status, 1);
  EXPECT_TRUE(r.box.bytes().empty());
  EXPECT_GE(r.host.seconds, 80.0);
  EXPECT_LT(r.host.seconds, 95.0);
}

// The box goes away while the host waits for the burn report: the read
// comes back empty and the port no longer answers, so the wait ends.
TEST(WineDownload, LostPortEndsTheFinalWait) {
  sim::Settings settings;
  settings.faults = {Fault{Phase::reports, sim::any, sim::any, 1, Reply{{{"", 300}}, true}}};
  const WineRun r = run_on_com(sim::image_bytes(three), settings);
  EXPECT_EQ(r.host.out, std::string(text::banner) + e2e::progress(three, 3) + "done\n\t Flash Burning ... ");
  EXPECT_EQ(r.host.err, text::port_lost);
  EXPECT_EQ(r.host.status, 1);
  EXPECT_TRUE(r.box.bytes() == e2e::healthy_wire(three)) << "the wire differs";
  EXPECT_LT(r.host.seconds, 30.0);
}

// Image defects, with both streams redirected into one file: the progress
// on standard output comes before the message on standard error.
struct DefectCase {
  const char* name;
  Bytes file;
  std::string_view message;
  bool header_sent;          // the image header went out
  std::size_t records_sent;  // whole records before the defect
  bool next_descriptor;      // the defective record's descriptor went out too
};
void PrintTo(const DefectCase& c, std::ostream* os) { *os << c.name; }

class WineImageDefect : public ::testing::TestWithParam<DefectCase> {};

TEST_P(WineImageDefect, RunEndsWhereTheReaderMeetsIt) {
  const DefectCase& c = GetParam();
  RunOptions options;
  options.combined_file = e2e::scratch_dir() + "/" + c.name + ".out";
  const WineRun r = run_on_com(c.file, {}, "com%d", 0, options);
  EXPECT_EQ(r.host.out, std::string(text::banner) + e2e::progress(three, c.records_sent) + std::string(c.message));
  EXPECT_EQ(r.host.status, 1);

  Bytes wire = e2e::text_bytes("2ACK3");
  if (c.header_sent) {
    sim::append(wire, sim::file_header_bytes(three));
    sim::append(wire, "2NXT3");
  }
  for (std::size_t i = 0; i < c.records_sent; ++i) {
    sim::append(wire, sim::descriptor_bytes(static_cast<std::uint32_t>(three.records[i].payload.size())));
    sim::append(wire, "2NXT3");
    sim::append(wire, sim::record_bytes(three.records[i]));
    sim::append(wire, "2NXT3");
  }
  if (c.next_descriptor) {
    sim::append(wire, sim::descriptor_bytes(static_cast<std::uint32_t>(three.records[c.records_sent].payload.size())));
    sim::append(wire, "2NXT3");
  }
  EXPECT_TRUE(r.box.bytes() == wire) << "the wire differs";
}

std::vector<DefectCase> defect_cases() {
  const Bytes whole = sim::image_bytes(three);
  Bytes swapped = whole;
  std::swap(swapped[0], swapped[1]);
  Bytes bad_packet = whole;
  bad_packet[sim::file_header_size + sim::record_bytes(three.records[0]).size() + 1] = 'Y';
  Bytes trailing = whole;
  sim::append(trailing, Bytes(5, 0x5A));
  return {
      {"shorter_than_a_header", Bytes(whole.begin(), whole.begin() + 10), text::file_read_error, false, 0, false},
      {"header_magic_swapped", swapped, text::file_header_format, false, 0, false},
      {"packet_magic_wrong", bad_packet, text::packet_header_format, true, 1, false},
      {"bytes_after_the_last_record", trailing, text::file_read_error, true, 3, false},
      {"payload_cut_short", Bytes(whole.begin(), whole.end() - 7), text::file_read_error, true, 2, true},
  };
}

INSTANTIATE_TEST_SUITE_P(Wine, WineImageDefect, ::testing::ValuesIn(defect_cases()),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(WineFrontEnd, MissingImageIsReportedAndThePortIsNeverOpened) {
  sim::Box box;
  ASSERT_TRUE(box.open_pty()) << box.error();
  ComPort com(com_number_for(box.path()), box.path());
  ASSERT_TRUE(com.ok()) << com.error();
  box.start();
  const std::string missing = e2e::scratch_dir() + "/no-such-image.dnl";
  const RunResult r = e2e::run_host({missing, "com" + std::to_string(com.number())});
  ::usleep(200'000);
  box.stop();
  const sim::Transcript t = box.wait();
  EXPECT_EQ(without_crlf(r.out), text::banner);
  EXPECT_EQ(without_crlf(r.err), text::cannot_open_image(missing));
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(t.host_opened);
}

}  // namespace
}  // namespace stb::windows_e2e
