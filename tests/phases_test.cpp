// The phases of a download against a scripted port: what goes on the wire,
// what the console shows, and how each exchange ends.

#include <gtest/gtest.h>

#include "support/fakes.h"

namespace stb {
namespace {

using testing::file_header;
using testing::record;
using Strings = std::vector<std::string>;

const std::string ack = "2ACK3", nxt = "2NXT3", qxi = "2QXI3", err = "2ERR3", dis = "2DIS3";

struct Rig {
  testing::FakePort port;
  testing::FakeConsole console;
  protocol::Buffers buffers{};
  std::string file;
  image::MemorySource image{{}};

  explicit Rig(std::string image_file) : file(std::move(image_file)), image(testing::as_bytes(file)) {}
  protocol::Session session() { return {port, image, console, buffers}; }
};

std::string repeat(const std::string& text, int times) {
  std::string all;
  for (int i = 0; i < times; ++i) {
    all += text;
  }
  return all;
}

Strings join(Strings a, const Strings& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// ---- Phase 1 ---------------------------------------------------------------

TEST(Handshake, RepliesMessagesAndOutcome) {
  std::string eight_silent;
  for (int i = 0; i < 8; ++i) {
    eight_silent += "\n 1-2) error = \n 1-6) retry = " + std::to_string(i) + "\n";
  }
  struct Case {
    const char* name;
    Strings replies;
    Strings writes;
    std::string out;
    bool connected;
  };
  const Case cases[] = {
      {"good", {qxi, nxt}, {ack}, "", true},
      {"wrong word, then right", {ack, qxi, nxt}, {err, ack}, "\n 1-1) error = 2ACK3\n 1-6) retry = 0\n", true},
      {"opening word twice", {qxi, qxi, qxi, nxt}, {ack, err, ack}, "", true},
      {"short read leaves a mixture", {qxi, "2N"}, {ack}, "\n 1-5) error = 2NXI3", false},
      {"control bytes shown escaped", {"\x1b[2J\x07", qxi, nxt}, {err, ack},
       "\n 1-1) error = \\x1b[2J\\x07\n 1-6) retry = 0\n", true},
      {"silent box", {}, {}, eight_silent, false},
      {"eighth attempt still counts", join(Strings(7, err), {qxi, nxt}), join(Strings(7, err), {ack}),
       [] {
         std::string s;
         for (int i = 0; i < 7; ++i) s += "\n 1-1) error = 2ERR3\n 1-6) retry = " + std::to_string(i) + "\n";
         return s;
       }(),
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig run("");
    run.port.replies.assign(c.replies.begin(), c.replies.end());
    auto s = run.session();
    EXPECT_EQ(protocol::connect(s), c.connected);
    EXPECT_EQ(run.port.writes, c.writes);
    if (c.connected) {
      EXPECT_EQ(run.console.out_text, c.out);
      EXPECT_EQ(run.console.err_text, "");
    } else {
      EXPECT_TRUE(run.console.out_text.starts_with(c.out)) << run.console.out_text;
      EXPECT_EQ(run.console.err_text, "\n\tThe connetion failed.\n");
    }
  }
}

TEST(Handshake, GivesUpAfterEightAttempts) {
  Rig run("");
  run.port.replies.assign(9, err);
  auto s = run.session();
  EXPECT_FALSE(protocol::connect(s));
  EXPECT_EQ(run.port.reads, 8);
  EXPECT_EQ(run.port.writes, Strings(8, err));
}

// ---- A whole download ----------------------------------------------------------

// The host's writes for one record: descriptor, answer, 8-byte pieces, answer.
Strings record_writes(const std::string& rec) {
  image::PacketHeader packet{};
  std::copy_n(rec.begin(), packet.size(), packet.begin());
  protocol::DataHeader header{};
  protocol::build_data_header(packet, header);
  Strings w{testing::bytes(header), nxt};
  for (std::size_t i = 0; i < rec.size(); i += 8) {
    w.push_back(rec.substr(i, 8));
  }
  w.push_back(nxt);
  return w;
}

Strings healthy_box(int records) {
  Strings r{qxi, nxt, ack};
  for (int i = 0; i < records; ++i) {
    r.insert(r.end(), {ack, ack});
  }
  r.insert(r.end(), {ack, "2DLD3", "2DBD3", "2DVD3"});
  return r;
}

TEST(Download, ThreeRecordsOnTheWireAndOnTheConsole) {
  const std::string r0 = record(0, 5), r1 = record(1, 0), r2 = record(2, 300);
  Rig run(file_header(3) + r0 + r1 + r2);
  const Strings box = healthy_box(3);
  run.port.replies.assign(box.begin(), box.end());
  auto s = run.session();
  ASSERT_TRUE(protocol::download(s));

  Strings expected{ack, run.file.substr(0, 14), nxt};
  for (const auto* r : {&r0, &r1, &r2}) {
    const Strings w = record_writes(*r);
    expected.insert(expected.end(), w.begin(), w.end());
  }
  expected.push_back(dis);
  EXPECT_EQ(run.port.writes, expected);
  EXPECT_EQ(run.port.writes[5], r0.substr(0, 8));
  EXPECT_EQ(run.port.writes[7], r0.substr(16, 5));  // 21 bytes: 8, 8 and 5
  EXPECT_EQ(run.console.out_text,
            "\r\t Program Downloading  33% ... \r\t Program Downloading  66% ... "
            "\r\t Program Downloading 100% ... done\n\t Flash Burning ... done"
            "\n\t Program Verifying ... done");
  EXPECT_EQ(run.console.err_text, "");
}

TEST(Download, HeaderOnlyImageDisconnectsAtOnce) {
  Rig run(file_header(0));
  const Strings box = healthy_box(0);
  run.port.replies.assign(box.begin(), box.end());
  auto s = run.session();
  ASSERT_TRUE(protocol::download(s));
  EXPECT_EQ(run.port.writes, (Strings{ack, run.file, nxt, dis}));
}

TEST(Download, RejectedRecordIsResentWholeFromTheBuffer) {
  const std::string r0 = record(0, 20);
  Rig run(file_header(1) + r0);
  run.port.replies.assign({qxi, nxt, ack, ack, nxt /* not an ack */, ack, ack, "2DLD3", "2DBD3", "2DVD3"});
  auto s = run.session();
  ASSERT_TRUE(protocol::download(s));
  const Strings w = record_writes(r0);  // descriptor, NXT, 5 pieces, NXT
  Strings expected{ack, run.file.substr(0, 14), nxt, w[0], w[1]};
  expected.insert(expected.end(), w.begin() + 2, w.end() - 1);  // first attempt: no answer
  expected.insert(expected.end(), w.begin() + 2, w.end());
  expected.push_back(dis);
  EXPECT_EQ(run.port.writes, expected);
  EXPECT_EQ(std::count(run.console.out_text.begin(), run.console.out_text.end(), '\r'), 1);  // progress once
}

// ---- Each exchange exhausting its attempts ----------------------------------------

TEST(Download, EachPhaseGivingUp) {
  const std::string image = file_header(1) + record(0, 4);
  auto numbered = [](const char* format) {
    std::string s;
    for (int i = 0; i < 8; ++i) {
      std::array<char, 64> line{};
      std::snprintf(line.data(), line.size(), format, i);
      s += line.data();
    }
    return s;
  };
  struct Case {
    const char* name;
    Strings replies;  // then silence
    std::string out_tail;
    std::string err;
    std::string repeated_write;  // sent by every one of the eight attempts
  };
  const Case cases[] = {
      {"header", {qxi, nxt}, repeat("\n 2-3) read ack error = 2NXT3", 8), "\n\tThe stb does not respond.\n",
       image.substr(0, 14)},
      {"descriptor", {qxi, nxt, ack}, numbered("\n 3-3) DN_DATA_HEADER no data (%d)"),
       "\n\tThe stb don't respond.\n", ""},
      {"data", {qxi, nxt, ack, ack},
       "\r\t Program Downloading 100% ... " + repeat("\n 4-3) no ack (2ACK3)", 8),
       "\n\tConnection aborted due to communication problems.!\n", image.substr(14 + 16, 4)},
      {"disconnect", {qxi, nxt, ack, ack, ack}, "\r\t Program Downloading 100% ... ",
       "\n\tConnection aborted due to communication problems.!\n", dis},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig run(image);
    run.port.replies.assign(c.replies.begin(), c.replies.end());
    auto s = run.session();
    EXPECT_FALSE(protocol::download(s));
    EXPECT_EQ(run.console.out_text, c.out_tail);
    EXPECT_EQ(run.console.err_text, c.err);
    if (!c.repeated_write.empty()) {
      EXPECT_EQ(std::count(run.port.writes.begin(), run.port.writes.end(), c.repeated_write), 8);
    }
  }
}

// ---- Image defects and the end of the download ----------------------------------

TEST(Download, ImageDefectEndsTheRunAndNothingMoreIsSent) {
  struct Case {
    const char* name;
    std::string image;
    Strings replies;
    std::size_t writes;  // the last write before the defect was met
    std::string err;
  };
  const Case cases[] = {
      {"short header", "\x55\xAA", {qxi, nxt}, 1, "\n\tFile read error.\n"},
      {"swapped magic", "\xAA\x55" + file_header(1).substr(2), {qxi, nxt}, 1,
       "\n\tThe file header format is not correct.\n"},
      {"too long a record", file_header(1) + record(0, 65521), {qxi, nxt, ack}, 3,
       "\n\tThe packet header format is not correct.\n"},
      {"payload cut short", file_header(1) + record(0, 40).substr(0, 30), {qxi, nxt, ack, ack}, 5,
       "\n\tFile read error.\n"},
      {"bytes after the last record", file_header(1) + record(0, 0) + "ZZ", {qxi, nxt, ack, ack, ack}, 8,
       "\n\tFile read error.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig run(c.image);
    run.port.replies.assign(c.replies.begin(), c.replies.end());
    auto s = run.session();
    EXPECT_FALSE(protocol::download(s));
    EXPECT_EQ(run.console.err_text, c.err);
    EXPECT_EQ(run.port.writes.size(), c.writes);
    EXPECT_TRUE(run.port.replies.empty());
  }
}

TEST(Completion, ReportsOfTheBox) {
  struct Case {
    const char* name;
    Strings replies;
    bool lost;
    bool verified;
    std::string out;
    std::string err;
  };
  const Case cases[] = {
      {"all three", {"2DLD3", "2DBD3", "2DVD3"}, false, true,
       "done\n\t Flash Burning ... done\n\t Program Verifying ... done", ""},
      {"silence and short reads are waited out", {"", "2D", "", "2DLD3", "2DBD3", "2DVD3"}, false, true,
       "done\n\t Flash Burning ... done\n\t Program Verifying ... done", ""},
      {"burn reported first", {"2DBD3"}, false, false, "\n\t 6-2) firmware transferring failed", ""},
      {"burn failed", {"2DLD3", "2PER3"}, false, false, "done\n\t Flash Burning ... \n\t 6-4) flash burning failed",
       ""},
      {"verify failed", {"2DLD3", "2DBD3", "2DLD3"}, false, false,
       "done\n\t Flash Burning ... done\n\t Program Verifying ... \n\t 6-6) flash verifying failed", ""},
      {"port lost while waiting", {"2DLD3"}, true, false, "done\n\t Flash Burning ... ",
       "\n\tThe serial port was disconnected.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig run("");
    for (const std::string& r : c.replies) {
      run.port.replies.push_back(r);
    }
    run.port.lost_after_script = c.lost;
    if (!c.lost) {
      // A silent box would be waited for forever; make silence finite here.
      run.port.replies.push_back("2XXX3");
    }
    auto s = run.session();
    EXPECT_EQ(protocol::await_completion(s), c.verified);
    EXPECT_EQ(run.console.out_text, c.out);
    EXPECT_EQ(run.console.err_text, c.err);
    EXPECT_TRUE(run.port.writes.empty());  // the host says nothing in this phase
  }
}

}  // namespace
}  // namespace stb
