// The front end, the serial link and the handshake, end to end: the real
// host program against a simulated box on a pseudo-terminal.

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <thread>

#include "tests/e2e/fixture.h"

namespace stb::e2e {
namespace {

using sim::Fault;
using sim::Phase;
using sim::Reply;

std::string retry_lines(std::string_view error_line, int from, int to) {
  std::string out;
  for (int k = from; k < to; ++k) {
    out += std::string(error_line) + "\n 1-6) retry = " + std::to_string(k) + "\n";
  }
  return out;
}

sim::Image header_only() { return sim::Image{}; }

TEST(FrontEnd, TooFewArgumentsGiveTheBannerThenTheUsage) {
  const std::vector<std::vector<std::string>> cases = {{}, {"file.dnl"}};
  for (const auto& args : cases) {
    SCOPED_TRACE(args.size());
    const RunResult r = run_host(args);
    EXPECT_EQ(r.out, text::banner);
    EXPECT_EQ(r.err, text::usage);
    EXPECT_EQ(r.status, 1);
  }
}

TEST(FrontEnd, MissingImageIsReportedAndThePortIsNeverOpened) {
  const std::string missing = scratch_dir() + "/no-such-image.dnl";
  sim::Box box;
  ASSERT_TRUE(box.open_pty()) << box.error();
  box.start();
  const RunResult r = run_host({missing, box.path()});
  ::usleep(200'000);
  box.stop();
  const sim::Transcript t = box.wait();
  EXPECT_EQ(r.out, text::banner);
  EXPECT_EQ(r.err, text::cannot_open_image(missing));
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(t.host_opened);
  EXPECT_TRUE(t.reads.empty());
}

TEST(FrontEnd, UnknownPortGivesTheMessageBlock) {
  const std::string image = scratch_file(unique_name(".dnl"), sim::image_bytes(header_only()));
  const RunResult r = run_host({image, "/dev/no-such-port"});
  EXPECT_EQ(r.out, text::banner);
  EXPECT_EQ(r.err, text::cannot_open_port("/dev/no-such-port"));
  EXPECT_EQ(r.status, 1);
}

TEST(FrontEnd, PortLockedByAnotherProcessIsRefused) {
  sim::Box box;
  ASSERT_TRUE(box.open_pty()) << box.error();
  box.start();
  const int holder = ::open(box.path().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
  const std::string image = scratch_file(unique_name(".dnl"), sim::image_bytes(header_only()));
  const RunResult r = run_host({image, box.path()});
  ::close(holder);
  box.stop();
  const sim::Transcript t = box.wait();
  EXPECT_EQ(r.out, text::banner);
  EXPECT_EQ(r.err, text::cannot_open_port(box.path()));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(t.reads.empty()) << "the refused host must not have written";
}

TEST(FrontEnd, SecondDownloaderOnAHeldPortIsRefusedAndTheFirstCarriesOn) {
  sim::Settings settings;
  settings.opener_delay_ms = 1500;  // the first host holds the port meanwhile
  sim::Box box(settings);
  ASSERT_TRUE(box.open_pty()) << box.error();
  box.start();
  const sim::Image image = three_records();
  const std::string path = scratch_file(unique_name(".dnl"), sim::image_bytes(image));
  RunResult first;
  std::thread first_host([&] { first = run_host({path, box.path()}); });
  ::usleep(500'000);
  const RunResult second = run_host({path, box.path()});
  first_host.join();
  const sim::Transcript t = box.wait();

  EXPECT_EQ(second.out, text::banner);
  EXPECT_EQ(second.err, text::cannot_open_port(box.path()));
  EXPECT_EQ(second.status, 1);
  EXPECT_EQ(first.out, success_out(image));
  EXPECT_EQ(first.err, "");
  EXPECT_EQ(first.status, 0);
  EXPECT_EQ(t.bytes(), healthy_wire(image));
}

// A port that opens but is no terminal: the line settings fail, which is
// only reported, and every read ends at once at the end of the "line". The
// same run with both streams in one file shows the order of the texts.
TEST(FrontEnd, PortThatIsNoTerminalFailsTheLineSettingsAndTheHandshake) {
  const std::string image = scratch_file(unique_name(".dnl"), sim::image_bytes(header_only()));
  const std::string expected_out =
      std::string(text::banner) + std::string(text::uart_failed) + retry_lines("\n 1-2) error = ", 0, 8);

  const RunResult apart = run_host({image, "/dev/null"});
  EXPECT_EQ(apart.out, expected_out);
  EXPECT_EQ(apart.err, text::connection_failed);
  EXPECT_EQ(apart.status, 1);
  EXPECT_LT(apart.seconds, 5.0) << "reads at the end of the file must not wait";

  RunOptions together;
  together.combined_file = scratch_dir() + "/" + unique_name(".out");
  const RunResult one_file = run_host({image, "/dev/null"}, together);
  EXPECT_EQ(one_file.out, expected_out + std::string(text::connection_failed));
  EXPECT_EQ(one_file.status, 1);
}

struct HandshakeCase {
  const char* name;
  std::vector<Fault> faults;
  std::string messages;     // standard output between the banner and the rest
  std::string wire_before;  // what the host sends before its final "2ACK3"
  bool connects = true;
};
void PrintTo(const HandshakeCase& c, std::ostream* os) { *os << c.name; }

Fault opener(Reply r, int attempt = 1) { return {Phase::handshake, sim::any, attempt, 0, std::move(r)}; }
Fault closer(Reply r, int attempt = 1) { return {Phase::handshake, sim::any, attempt, 1, std::move(r)}; }

class Handshake : public ::testing::TestWithParam<HandshakeCase> {};

TEST_P(Handshake, HostAnswersAsTheBoxSpeaks) {
  const HandshakeCase& c = GetParam();
  const sim::Image image = header_only();
  const Download d = download(image, with_faults(c.faults));

  Bytes wire = text_bytes(c.wire_before);
  if (c.connects) {
    sim::append(wire, healthy_wire(image));
    EXPECT_EQ(d.host.out, std::string(text::banner) + c.messages + std::string(text::done_tail));
    EXPECT_EQ(d.host.err, "");
    EXPECT_EQ(d.host.status, 0);
  } else {
    EXPECT_EQ(d.host.out, std::string(text::banner) + c.messages);
    EXPECT_EQ(d.host.err, text::connection_failed);
    EXPECT_EQ(d.host.status, 1);
  }
  EXPECT_EQ(as_text(d.box.bytes()), as_text(wire));
}

const Reply hang_up_after_a_moment{{{"", 300}}, true};

INSTANTIATE_TEST_SUITE_P(
    E2E, Handshake,
    ::testing::Values(
        HandshakeCase{"wrong_word_first", {opener(Reply::send("2ACK3"))},
                      "\n 1-1) error = 2ACK3\n 1-6) retry = 0\n", "2ERR3"},
        HandshakeCase{"opening_word_twice", {opener(Reply::send("2QXI32QXI3"))}, "", "2ACK32ERR3"},
        HandshakeCase{"closing_word_one_byte_wrong", {closer(Reply::send("2NXT4"))}, "", "2ACK32ERR3"},
        HandshakeCase{"closing_word_missing", {closer(Reply::silence())}, "\n 1-5) error = 2QXI3", "2ACK3"},
        HandshakeCase{"opener_split_by_a_gap_over_2s", {opener(Reply::partial("2QXI3", 3, 3000))},
                      "\n 1-2) error = 2QX\n 1-6) retry = 0\n\n 1-2) error = I3X\n 1-6) retry = 1\n", ""},
        HandshakeCase{"opener_split_by_a_gap_under_2s", {opener(Reply::partial("2QXI3", 2, 1500))}, "", ""},
        HandshakeCase{"opener_trickled", {opener(Reply::trickle("2QXI3", 400))}, "", ""},
        HandshakeCase{"opener_late", {opener(Reply::delayed(4000, "2QXI3"))}, "", ""},
        HandshakeCase{"control_bytes_shown_escaped", {opener(Reply::send("\x1b[31m"))},
                      "\n 1-1) error = \\x1b[31m\n 1-6) retry = 0\n", "2ERR3"},
        HandshakeCase{"reply_shown_up_to_a_zero_byte", {opener(Reply::send(std::string("2Q\0I3", 5)))},
                      "\n 1-1) error = 2Q\n 1-6) retry = 0\n", "2ERR3"},
        HandshakeCase{"silent_box", {opener(Reply::silence(), sim::any)}, retry_lines("\n 1-2) error = ", 0, 8),
                      "", false},
        // The stray byte stays in the host's input queue: every later
        // opening word is read one byte out of step.
        HandshakeCase{"stray_byte_before_the_opener", {opener(Reply::stray("x", "2QXI3", ""))},
                      "\n 1-1) error = x2QXI\n 1-6) retry = 0\n" +
                          [] {
                            std::string s;
                            for (int k = 1; k < 8; ++k) {
                              s += "\n 1-1) error = 32QXI\n 1-6) retry = " + std::to_string(k) + "\n";
                            }
                            return s;
                          }(),
                      "2ERR32ERR32ERR32ERR32ERR32ERR32ERR32ERR3", false},
        HandshakeCase{"box_hangs_up", {opener(hang_up_after_a_moment)}, retry_lines("\n 1-2) error = ", 0, 8), "",
                      false}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace stb::e2e
