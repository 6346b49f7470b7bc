// The whole download, end to end: images of every shape, each phase failing,
// the completion reports and image defects.

#include "tests/e2e/fixture.h"

namespace stb::e2e {
namespace {

using sim::Fault;
using sim::Phase;
using sim::Reply;

sim::Image with_records(std::vector<std::size_t> sizes, std::uint16_t count) {
  sim::Image image = sim::numbered_image(sizes.size(), sizes);
  image.count = count;
  return image;
}

void expect_clean_success(const Download& d, const sim::Image& image) {
  EXPECT_EQ(d.host.out, success_out(image));
  EXPECT_EQ(d.host.err, "");
  EXPECT_EQ(d.host.status, 0);
  EXPECT_TRUE(d.box.bytes() == healthy_wire(image)) << "the wire differs";
  EXPECT_EQ(d.box.outcome, sim::Outcome::completed) << name(d.box.outcome);
  EXPECT_TRUE(d.box.problems.empty()) << d.box.problems.front();
}

TEST(Download, ThreeRecordsEndWithTheFourLines) {
  const sim::Image image = three_records();
  const Download d = download(image);
  expect_clean_success(d, image);
  EXPECT_EQ(d.host.out, std::string(text::banner) +
                            "\r\t Program Downloading  33% ... \r\t Program Downloading  66% ... "
                            "\r\t Program Downloading 100% ... done\n"
                            "\t Flash Burning ... done\n"
                            "\t Program Verifying ... done\n"
                            "\t Firmware was downloaded successfully.\n");
  Bytes payloads;
  for (const sim::Record& r : image.records) {
    sim::append(payloads, r.payload);
  }
  EXPECT_TRUE(d.box.payloads == payloads);
}

struct ShapeCase {
  const char* name;
  sim::Image image;
};
void PrintTo(const ShapeCase& c, std::ostream* os) { *os << c.name; }

class ImageShape : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(ImageShape, EveryByteReachesTheBox) {
  const sim::Image& image = GetParam().image;
  expect_clean_success(download(image), image);
}

INSTANTIATE_TEST_SUITE_P(
    E2E, ImageShape,
    ::testing::Values(ShapeCase{"header_only", sim::Image{}},
                      ShapeCase{"empty_payload", with_records({0}, 1)},
                      ShapeCase{"five_byte_payload", with_records({5}, 1)},
                      ShapeCase{"largest_payload", with_records({65520}, 1)},
                      ShapeCase{"three_hundred_records", with_records({1, 8, 200, 4096, 0, 13}, 300)},
                      ShapeCase{"count_of_zero", with_records({10, 10}, 0)},
                      ShapeCase{"numbers_beyond_the_count", with_records({10, 10, 10}, 1)}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(Download, ArgumentsAfterTheSecondAreIgnored) {
  const sim::Image image = three_records();
  const Download d = download(sim::image_bytes(image), {}, {}, {"extra", "words"});
  expect_clean_success(d, image);
}

// A box that stops answering in one phase: eight real 10-second waits.
struct SilenceCase {
  const char* name;
  Fault fault;
  std::size_t progress_records;  // progress lines printed before the failure
  std::string messages;
  std::string_view failure;
  Bytes repeated;               // the block sent on every attempt
  std::size_t healthy_records;  // records fully exchanged before
};
void PrintTo(const SilenceCase& c, std::ostream* os) { *os << c.name; }

class Silence : public ::testing::TestWithParam<SilenceCase> {};

std::string eight(const std::string& format_before, const std::string& after, bool numbered) {
  std::string s;
  for (int k = 0; k < 8; ++k) {
    s += format_before + (numbered ? std::to_string(k) : "") + after;
  }
  return s;
}

TEST_P(Silence, HostGivesUpAfterEightAttempts) {
  const SilenceCase& c = GetParam();
  const sim::Image image = three_records();
  const Download d = download(image, with_faults({c.fault}));

  EXPECT_EQ(d.host.out, std::string(text::banner) + progress(image, c.progress_records) + c.messages);
  EXPECT_EQ(d.host.err, c.failure);
  EXPECT_EQ(d.host.status, 1);

  Bytes wire = text_bytes("2ACK3");
  if (c.fault.phase != Phase::header) {
    sim::append(wire, sim::file_header_bytes(image));
    sim::append(wire, "2NXT3");
  }
  for (std::size_t i = 0; i < c.healthy_records; ++i) {
    const sim::Record& r = image.records[i];
    sim::append(wire, sim::descriptor_bytes(static_cast<std::uint32_t>(r.payload.size())));
    sim::append(wire, "2NXT3");
    sim::append(wire, sim::record_bytes(r));
    sim::append(wire, "2NXT3");
  }
  if (c.fault.phase == Phase::data) {
    sim::append(wire, sim::descriptor_bytes(static_cast<std::uint32_t>(image.records[1].payload.size())));
    sim::append(wire, "2NXT3");
  }
  for (int k = 0; k < 8; ++k) {
    sim::append(wire, c.repeated);
  }
  EXPECT_TRUE(d.box.bytes() == wire) << "the wire differs";
  if (c.fault.phase == Phase::data) {
    const std::vector<Bytes> copies = d.box.copies_of_record(1);
    ASSERT_EQ(copies.size(), 8u);
    for (const Bytes& copy : copies) {
      EXPECT_TRUE(copy == sim::record_bytes(image.records[1])) << "a copy of the record differs";
    }
  }
}

sim::Image three = three_records();

INSTANTIATE_TEST_SUITE_P(
    E2E, Silence,
    ::testing::Values(
        SilenceCase{"after_the_header", {Phase::header, sim::any, sim::any, 0, Reply::silence()}, 0,
                    eight("\n 2-3) read ack error = 2NXT3", "", false), text::stb_does_not_respond,
                    sim::file_header_bytes(three), 0},
        SilenceCase{"after_a_descriptor", {Phase::descriptor, 0, sim::any, 0, Reply::silence()}, 0,
                    eight("\n 3-3) DN_DATA_HEADER no data (", ")", true), text::stb_dont_respond,
                    sim::descriptor_bytes(256), 0},
        SilenceCase{"after_a_record", {Phase::data, 1, sim::any, 0, Reply::silence()}, 2,
                    eight("\n 4-3) no ack (2ACK3)", "", false), text::aborted, sim::record_bytes(three.records[1]),
                    1},
        SilenceCase{"after_the_disconnect", {Phase::disconnect, sim::any, sim::any, 0, Reply::silence()}, 3, "",
                    text::aborted, text_bytes("2DIS3"), 3}),
    [](const auto& p) { return std::string(p.param.name); });

// A reply the host does not take costs one attempt, silently: the block is
// sent again whole and the download goes on. A late or slow reply is taken.
struct RetryCase {
  const char* name;
  Fault fault;
  int copies;  // how often the faulted block goes out
};
void PrintTo(const RetryCase& c, std::ostream* os) { *os << c.name; }

class OneBadReply : public ::testing::TestWithParam<RetryCase> {};

TEST_P(OneBadReply, BlockIsSentAgainAndTheDownloadSucceeds) {
  const RetryCase& c = GetParam();
  const sim::Image image = three_records();
  const Download d = download(image, with_faults({c.fault}));
  EXPECT_EQ(d.host.out, success_out(image));
  EXPECT_EQ(d.host.err, "");
  EXPECT_EQ(d.host.status, 0);

  Bytes wire = text_bytes("2ACK3");
  auto send = [&](const Bytes& block, bool faulted) {
    for (int k = 0; k < (faulted ? c.copies : 1); ++k) {
      sim::append(wire, block);
    }
  };
  send(sim::file_header_bytes(image), c.fault.phase == Phase::header);
  sim::append(wire, "2NXT3");
  for (std::size_t i = 0; i < image.records.size(); ++i) {
    const auto& r = image.records[i];
    const bool here = static_cast<int>(i) == c.fault.record;
    send(sim::descriptor_bytes(static_cast<std::uint32_t>(r.payload.size())), here && c.fault.phase == Phase::descriptor);
    sim::append(wire, "2NXT3");
    send(sim::record_bytes(r), here && c.fault.phase == Phase::data);
    sim::append(wire, "2NXT3");
  }
  send(text_bytes("2DIS3"), c.fault.phase == Phase::disconnect);
  EXPECT_TRUE(d.box.bytes() == wire) << "the wire differs";
  EXPECT_EQ(d.box.outcome, sim::Outcome::completed) << name(d.box.outcome);
  if (c.fault.phase == Phase::data) {
    const std::vector<Bytes> copies = d.box.copies_of_record(c.fault.record);
    ASSERT_EQ(copies.size(), static_cast<std::size_t>(c.copies));
    for (const Bytes& copy : copies) {
      EXPECT_TRUE(copy == sim::record_bytes(image.records[static_cast<std::size_t>(c.fault.record)]));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    E2E, OneBadReply,
    ::testing::Values(
        RetryCase{"header_answered_with_next", {Phase::header, sim::any, 1, 0, Reply::send("2NXT3")}, 2},
        RetryCase{"descriptor_answered_one_byte_wrong", {Phase::descriptor, 1, 1, 0, Reply::send("2ACJ3")}, 2},
        RetryCase{"record_rejected_once", {Phase::data, 1, 1, 0, Reply::send("2ERR3")}, 2},
        RetryCase{"disconnect_answered_with_next", {Phase::disconnect, sim::any, 1, 0, Reply::send("2NXT3")}, 2},
        RetryCase{"record_acknowledged_late", {Phase::data, 0, 1, 0, Reply::delayed(4000, "2ACK3")}, 1},
        RetryCase{"descriptor_acknowledged_slowly", {Phase::descriptor, 0, 1, 0, Reply::trickle("2ACK3", 600)}, 1}),
    [](const auto& p) { return std::string(p.param.name); });

// The completion reports. The host waits for each as long as the box needs
// and sends nothing.
struct ReportCase {
  const char* name;
  std::vector<Fault> faults;
  int done_delay_ms;
  std::string tail;  // standard output after the last progress line
  std::string_view err;
  int status;
};
void PrintTo(const ReportCase& c, std::ostream* os) { *os << c.name; }

Fault report(int step, Reply r) { return {Phase::reports, sim::any, sim::any, step, std::move(r)}; }

class Reports : public ::testing::TestWithParam<ReportCase> {};

TEST_P(Reports, HostFollowsTheBox) {
  const ReportCase& c = GetParam();
  const sim::Image image = three_records();
  sim::Settings settings = with_faults(c.faults);
  settings.done_delay_ms = c.done_delay_ms;
  const Download d = download(image, settings);
  EXPECT_EQ(d.host.out, std::string(text::banner) + progress(image, 3) + c.tail);
  EXPECT_EQ(d.host.err, c.err);
  EXPECT_EQ(d.host.status, c.status);
  EXPECT_TRUE(d.box.bytes() == healthy_wire(image)) << "the host sent something in phase 6";
  if (c.err == text::port_lost) {
    EXPECT_LT(d.host.seconds, 3.0) << "a lost port must end the wait at once";
  }
}

INSTANTIATE_TEST_SUITE_P(
    E2E, Reports,
    ::testing::Values(
        ReportCase{"out_of_order", {report(0, Reply::send("2DBD3"))}, 0, std::string(text::transferring_failed), "",
                   1},
        ReportCase{"burn_reported_wrong", {report(1, Reply::send("2ERR3"))}, 0,
                   "done\n\t Flash Burning ... " + std::string(text::burning_failed), "", 1},
        ReportCase{"verify_reported_wrong",
                   {report(2, Reply::send("2DLD3"))},
                   0,
                   "done\n\t Flash Burning ... done\n\t Program Verifying ... " + std::string(text::verifying_failed),
                   "",
                   1},
        // The first three bytes end in a short read and are dropped; the
        // last two are read together with the next report and do not match.
        ReportCase{"split_by_a_gap_then_the_next_report", {report(0, Reply::partial("2DLD3", 3, 3000))}, 0,
                   std::string(text::transferring_failed), "", 1},
        // Both halves are dropped; the whole word that follows is taken.
        ReportCase{"split_by_a_gap_then_quiet",
                   {report(0, Reply{{{"2DL"}, {"D3", 3000}, {"2DLD3", 3000}}, false})},
                   0,
                   std::string(text::done_tail),
                   "",
                   0},
        ReportCase{"long_silence_before_the_reports", {}, 25000, std::string(text::done_tail), "", 0},
        ReportCase{"port_lost_while_waiting", {report(1, Reply{{{"", 300}}, true})}, 0, "done\n\t Flash Burning ... ",
                   text::port_lost, 1}),
    [](const auto& p) { return std::string(p.param.name); });

// Image defects end the run where the reader meets them, without a
// disconnect; the host sends nothing after.
struct DefectCase {
  const char* name;
  Bytes file;
  std::string_view err;
  Bytes wire;
  std::size_t progress_records;
};
void PrintTo(const DefectCase& c, std::ostream* os) { *os << c.name; }

class ImageDefect : public ::testing::TestWithParam<DefectCase> {};

TEST_P(ImageDefect, RunEndsWhereTheReaderMeetsIt) {
  const DefectCase& c = GetParam();
  const Download d = download(c.file);
  EXPECT_EQ(d.host.out, std::string(text::banner) + progress(three, c.progress_records));
  EXPECT_EQ(d.host.err, c.err);
  EXPECT_EQ(d.host.status, 1);
  EXPECT_TRUE(d.box.bytes() == c.wire) << "the wire differs";
}

Bytes prefix_of_wire(std::size_t records, bool and_next_descriptor) {
  Bytes wire = text_bytes("2ACK3");
  sim::append(wire, sim::file_header_bytes(three));
  sim::append(wire, "2NXT3");
  for (std::size_t i = 0; i < records; ++i) {
    sim::append(wire, sim::descriptor_bytes(static_cast<std::uint32_t>(three.records[i].payload.size())));
    sim::append(wire, "2NXT3");
    sim::append(wire, sim::record_bytes(three.records[i]));
    sim::append(wire, "2NXT3");
  }
  if (and_next_descriptor) {
    sim::append(wire, sim::descriptor_bytes(static_cast<std::uint32_t>(three.records[records].payload.size())));
    sim::append(wire, "2NXT3");
  }
  return wire;
}

std::vector<DefectCase> defect_cases() {
  std::vector<DefectCase> cases;
  const Bytes whole = sim::image_bytes(three);
  cases.push_back({"shorter_than_a_header", Bytes(whole.begin(), whole.begin() + 10), text::file_read_error,
                   text_bytes("2ACK3"), 0});
  Bytes swapped = whole;
  std::swap(swapped[0], swapped[1]);
  cases.push_back({"header_magic_swapped", swapped, text::file_header_format, text_bytes("2ACK3"), 0});
  Bytes bad_packet = whole;
  bad_packet[sim::file_header_size + sim::record_bytes(three.records[0]).size() + 1] = 'Y';
  cases.push_back({"packet_magic_wrong", bad_packet, text::packet_header_format, prefix_of_wire(1, false), 1});
  for (std::size_t extra : {1u, 2u, 5u, 11u}) {
    Bytes trailing = whole;
    sim::append(trailing, Bytes(extra, 0x5A));
    cases.push_back({extra == 1 ? "one_trailing_byte" : extra == 2 ? "two_trailing_bytes"
                                                    : extra == 5 ? "five_trailing_bytes"
                                                                 : "eleven_trailing_bytes",
                     trailing, text::file_read_error, prefix_of_wire(3, false), 3});
  }
  cases.push_back({"payload_cut_short", Bytes(whole.begin(), whole.end() - 7), text::file_read_error,
                   prefix_of_wire(2, true), 2});
  sim::Image too_long = three;
  too_long.records[1].stated_length = 65521;
  cases.push_back({"payload_longer_than_the_buffer", sim::image_bytes(too_long), text::packet_header_format,
                   prefix_of_wire(1, false), 1});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(E2E, ImageDefect, ::testing::ValuesIn(defect_cases()),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace stb::e2e
