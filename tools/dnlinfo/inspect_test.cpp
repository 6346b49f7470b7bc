#include "tools/dnlinfo/inspect.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "tools/dnlinfo/report.h"

namespace stb::dnlinfo {
namespace {

using image::Error;

std::string be16(unsigned value) {
  return {static_cast<char>(value >> 8 & 0xFF), static_cast<char>(value & 0xFF)};
}
std::string be32(std::uint32_t value) { return be16(value >> 16) + be16(value & 0xFFFF); }

std::string file_header(unsigned count) {
  return std::string("\x55\xAA" "abcdef", 8) + be16(count) + "ghij";
}
// A record with `length` payload bytes; the trailer is "TRLR".
std::string record(unsigned number, std::uint32_t length) {
  return "ZZ" + be16(number) + "fld_" + be32(length) + std::string(length, 'p') + "TRLR";
}

Report inspect_bytes(const std::string& file) {
  image::MemorySource source(
      std::span(reinterpret_cast<const std::uint8_t*>(file.data()), file.size()));
  return inspect(source);
}

struct ExpectedDefect {
  Error error;
  Cause cause;
  std::uint64_t offset;
  std::uint64_t have = 0;
};

TEST(Inspect, ImagesSoundAndDefective) {
  const std::string three = file_header(3) + record(0, 5) + record(1, 0) + record(2, 300);
  std::string swapped = file_header(1) + record(0, 5);
  std::swap(swapped[0], swapped[1]);
  std::string bad_magic = file_header(2) + record(0, 5) + record(1, 5);
  bad_magic[14 + 21 + 1] = 'Y';
  const std::string largest = file_header(1) + record(0, image::max_payload_length);
  const std::string too_long = file_header(1) + "ZZ" + be16(0) + "fld_" +
                               be32(image::max_payload_length + 1) + std::string(70000, 'p');
  std::string cut_body = file_header(1) + record(0, 10);
  cut_body.resize(cut_body.size() - 8);

  struct Case {
    const char* name;
    std::string file;
    std::size_t records;
    std::optional<ExpectedDefect> defect;
  };
  const Case cases[] = {
      {"three records", three, 3, std::nullopt},
      {"header only", file_header(0), 0, std::nullopt},
      {"largest payload fits", largest, 1, std::nullopt},
      {"empty file", "", 0, ExpectedDefect{Error::file_read, Cause::short_file_header, 0, 0}},
      {"short header", file_header(1).substr(0, 9), 0,
       ExpectedDefect{Error::file_read, Cause::short_file_header, 0, 9}},
      {"swapped magic", swapped, 0,
       ExpectedDefect{Error::file_header_format, Cause::bad_file_magic, 0}},
      {"second record not ZZ", bad_magic, 1,
       ExpectedDefect{Error::packet_header_format, Cause::bad_packet_magic, 35}},
      {"payload too long", too_long, 0,
       ExpectedDefect{Error::packet_header_format, Cause::payload_too_long, 14}},
      {"bytes after the last record", file_header(1) + record(0, 5) + std::string("ZZ\x00\x01x", 5), 1,
       ExpectedDefect{Error::file_read, Cause::short_packet_header, 35, 5}},
      {"payload cut short", cut_body, 0,
       ExpectedDefect{Error::file_read, Cause::short_body, 14, 6}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Report report = inspect_bytes(c.file);
    EXPECT_EQ(report.records.size(), c.records);
    EXPECT_EQ(report.sends_whole(), !c.defect.has_value());
    ASSERT_EQ(report.defect.has_value(), c.defect.has_value());
    if (c.defect) {
      EXPECT_EQ(report.defect->error, c.defect->error);
      EXPECT_EQ(report.defect->cause, c.defect->cause);
      EXPECT_EQ(report.defect->offset, c.defect->offset);
      EXPECT_EQ(report.defect->have, c.defect->have);
      // A defect ends the walk; the count is not held against a torn image.
      EXPECT_TRUE(report.warnings.empty());
    }
  }
}

TEST(Inspect, RecordsCarryTheirPlaceAndFields) {
  const Report report = inspect_bytes(file_header(3) + record(0, 5) + record(1, 0) + record(2, 300));
  ASSERT_EQ(report.records.size(), 3u);
  const std::uint64_t offsets[] = {14, 35, 51};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(report.records[i].offset, offsets[i]);
    EXPECT_EQ(report.records[i].number, i);
    EXPECT_EQ(std::string(report.records[i].field.begin(), report.records[i].field.end()), "fld_");
    EXPECT_EQ(std::string(report.records[i].trailer.begin(), report.records[i].trailer.end()),
              "TRLR");
  }
  EXPECT_EQ(report.records[2].payload_length, 300u);
  EXPECT_EQ(report.packet_count, 3);
  EXPECT_EQ(report.bytes_read, 14u + 21 + 16 + 316);
}

TEST(Inspect, WarnsOfWhatTheDownloaderTolerates) {
  struct Expected {
    WarningKind kind;
    std::uint64_t offset;
    std::uint32_t found;
    std::uint32_t expected;
  };
  struct Case {
    const char* name;
    std::string file;
    std::vector<Expected> warnings;
  };
  const Case cases[] = {
      {"count above the records", file_header(2) + record(0, 1),
       {{WarningKind::count_mismatch, 0, 1, 2}}},
      {"numbers swapped", file_header(3) + record(0, 1) + record(2, 1) + record(1, 1),
       {{WarningKind::number_out_of_order, 31, 2, 1}, {WarningKind::number_out_of_order, 48, 1, 3}}},
      {"number at the count", file_header(2) + record(0, 1) + record(1, 1) + record(2, 1),
       {{WarningKind::number_not_below_count, 48, 2, 2}, {WarningKind::count_mismatch, 0, 3, 2}}},
      {"first number not 0", file_header(3) + record(1, 1),
       {{WarningKind::number_out_of_order, 14, 1, 0}, {WarningKind::count_mismatch, 0, 1, 3}}},
      {"count of 0", file_header(0) + record(0, 1),
       {{WarningKind::number_not_below_count, 14, 0, 0}, {WarningKind::count_mismatch, 0, 1, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Report report = inspect_bytes(c.file);
    EXPECT_TRUE(report.sends_whole());
    ASSERT_EQ(report.warnings.size(), c.warnings.size());
    for (std::size_t i = 0; i < c.warnings.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(report.warnings[i].kind, c.warnings[i].kind);
      EXPECT_EQ(report.warnings[i].offset, c.warnings[i].offset);
      EXPECT_EQ(report.warnings[i].found, c.warnings[i].found);
      EXPECT_EQ(report.warnings[i].expected, c.warnings[i].expected);
    }
  }
}

// Delivers its bytes, then fails every read.
class FailingSource final : public image::Source {
 public:
  FailingSource(std::string bytes, std::size_t fail_at) : bytes_(std::move(bytes)), fail_at_(fail_at) {}
  image::ReadResult read(std::span<std::uint8_t> buffer) override {
    std::size_t n = 0;
    while (n < buffer.size() && position_ < fail_at_) {
      buffer[n++] = static_cast<std::uint8_t>(bytes_[position_++]);
    }
    return {n == buffer.size(), n};
  }

 private:
  std::string bytes_;
  std::size_t fail_at_;
  std::size_t position_ = 0;
};

TEST(Inspect, FailedReads) {
  const std::string image = file_header(2) + record(0, 5) + record(1, 5);

  // At a record boundary the downloader takes a failed read as the end.
  FailingSource at_boundary(image, 35);
  const Report ended = inspect(at_boundary);
  EXPECT_TRUE(ended.sends_whole());
  ASSERT_EQ(ended.warnings.size(), 2u);
  EXPECT_EQ(ended.warnings[0].kind, WarningKind::read_failed_at_end);
  EXPECT_EQ(ended.warnings[0].offset, 35u);

  FailingSource in_body(image, 40);
  const Report torn = inspect(in_body);
  ASSERT_TRUE(torn.defect.has_value());
  EXPECT_EQ(torn.defect->error, Error::file_read);
  EXPECT_EQ(torn.defect->cause, Cause::read_failed);
  EXPECT_EQ(torn.defect->offset, 35u);
}

TEST(Inspect, DownloadTimeCountsEveryByteOfTheConversation) {
  // One record with a 5-byte payload: handshake 15, image header 14 + 10,
  // descriptor 14 + 10, record 21 + 10, disconnect 10, reports 15.
  const Totals one = totals_of(inspect_bytes(file_header(1) + record(0, 5)));
  EXPECT_EQ(one.payload_bytes, 5u);
  EXPECT_EQ(one.record_bytes, 21u);
  EXPECT_EQ(one.wire_bytes, 119u);
  EXPECT_DOUBLE_EQ(one.seconds, 119 * 10 / 115200.0);

  // Each further record adds its descriptor, the record and four tokens.
  const Totals two = totals_of(inspect_bytes(file_header(2) + record(0, 5) + record(1, 1000)));
  EXPECT_EQ(two.wire_bytes, 119u + 14 + 1016 + 20);
}

TEST(Report, TextNamesTheDefectWithTheDownloadersMessage) {
  std::string bad = file_header(2) + record(0, 5) + record(1, 5);
  bad[36] = 'Y';
  const std::string text = text_report(inspect_bytes(bad), "fw.dnl");
  EXPECT_NE(text.find("defect   at 35 (0x23): \"The packet header format is not correct.\" "
                      "record 1 begins 5A 59, not 5A 5A\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("after sending 1 whole record;"), std::string::npos) << text;

  const std::string sound = text_report(inspect_bytes(file_header(1) + record(0, 5)), "fw.dnl");
  EXPECT_NE(sound.find("header   55 AA, count 1; passed on unchanged: bytes 2-7 61 62 63 64 65 66, "
                       "bytes 10-13 67 68 69 6A\n"),
            std::string::npos)
      << sound;
  EXPECT_NE(sound.find("       0       0        5          14  66 6C 64 5F  54 52 4C 52\n"),
            std::string::npos)
      << sound;
  EXPECT_NE(sound.find("verdict  stbflash sends the whole image, 1 record\n"), std::string::npos)
      << sound;
}

TEST(Report, JsonStringsAreAlwaysValid) {
  struct Case {
    const char* name;
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"plain", "fw.dnl", "\"fw.dnl\""},
      {"quote and backslash", "a\"b\\c", "\"a\\\"b\\\\c\""},
      {"control characters", "a\nb\x01", "\"a\\u000ab\\u0001\""},
      {"valid UTF-8 kept", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\""},
      {"stray byte", "a\xFF" "b", "\"a\xEF\xBF\xBD" "b\""},
      {"overlong form", "\xE0\x80\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
      {"surrogate", "\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
      {"cut at the end", "a\xE2\x82", "\"a\xEF\xBF\xBD\xEF\xBF\xBD\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(json_string(c.in), c.out);
  }
}

}  // namespace
}  // namespace stb::dnlinfo
