#include <gtest/gtest.h>

#include "support/fakes.h"

namespace stb {
namespace {

using image::Error;
using testing::file_header;
using testing::record;

struct Walk {
  Error error = Error::none;
  int records = 0;       // records read whole before the walk stopped
  bool ended = false;    // the image ended cleanly
  std::uint16_t count = 0;
};

// Walks an image the way the download does: header, then header and body of
// each record until the end or the first defect.
Walk walk(const std::string& file) {
  image::MemorySource source(testing::as_bytes(file));
  image::FileHeader header{};
  image::PacketHeader packet{};
  static image::RecordBuffer transmit;
  Walk w;
  const image::FileHeaderRead h = image::read_file_header(source, header);
  w.count = h.packet_count;
  if ((w.error = h.error) != Error::none) {
    return w;
  }
  for (;;) {
    const image::PacketHeaderRead p = image::read_packet_header(source, packet);
    if ((w.error = p.error) != Error::none) {
      return w;
    }
    if (p.end) {
      w.ended = true;
      return w;
    }
    if ((w.error = image::read_packet_body(source, packet, p.payload_length, transmit)) != Error::none) {
      return w;
    }
    EXPECT_TRUE(std::equal(packet.begin(), packet.end(), transmit.begin()));
    ++w.records;
  }
}

TEST(ImageReader, ImagesGoodAndDefective) {
  const std::string two = file_header(2) + record(0, 5) + record(1, 300);
  std::string swapped = file_header(1);
  std::swap(swapped[0], swapped[1]);
  std::string bad_packet = file_header(2) + record(0, 5) + record(1, 5);
  bad_packet[14 + 21 + 1] = 'Y';
  std::string huge = record(0, 0);
  huge[8] = '\xFF', huge[9] = '\xFF', huge[10] = '\xFF', huge[11] = '\xF0';

  struct Case {
    const char* name;
    std::string file;
    Error error;
    int records;
    bool ended;
  };
  const Case cases[] = {
      {"two records", two, Error::none, 2, true},
      {"header only", file_header(0), Error::none, 0, true},
      {"empty file", "", Error::file_read, 0, false},
      {"13 bytes", file_header(1).substr(0, 13), Error::file_read, 0, false},
      {"swapped magic", swapped, Error::file_header_format, 0, false},
      {"bad packet magic", bad_packet, Error::packet_header_format, 1, false},
      {"1 byte after the last record", two + "Z", Error::file_read, 2, false},
      {"11 bytes after the last record", two + record(2, 0).substr(0, 11), Error::file_read, 2, false},
      {"payload cut short", two + record(2, 10).substr(0, 20), Error::file_read, 2, false},
      {"trailer cut short", two + record(2, 10).substr(0, 25), Error::file_read, 2, false},
      {"L = 0", file_header(1) + record(0, 0), Error::none, 1, true},
      {"L = 65,520 fits", file_header(1) + record(0, 65520), Error::none, 1, true},
      {"L = 65,521 refused", file_header(1) + record(0, 65521), Error::packet_header_format, 0, false},
      {"L = 0xFFFFFFF0 refused", file_header(1) + huge, Error::packet_header_format, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Walk w = walk(c.file);
    EXPECT_EQ(w.error, c.error);
    EXPECT_EQ(w.records, c.records);
    EXPECT_EQ(w.ended, c.ended);
  }
}

TEST(ImageReader, FieldsAndRecordLayout) {
  const std::string file = file_header(0x0102) + record(0xA0B1, 3, 'x');
  image::MemorySource source(testing::as_bytes(file));
  image::FileHeader header{};
  image::PacketHeader packet{};
  static image::RecordBuffer transmit;
  EXPECT_EQ(image::read_file_header(source, header).packet_count, 0x0102);
  EXPECT_EQ(testing::bytes(header), file.substr(0, 14));  // kept exactly as read
  const image::PacketHeaderRead p = image::read_packet_header(source, packet);
  EXPECT_EQ(p.number, 0xA0B1);
  EXPECT_EQ(p.payload_length, 3U);
  ASSERT_EQ(image::read_packet_body(source, packet, 3, transmit), Error::none);
  EXPECT_EQ(image::record_size(3), 19U);
  EXPECT_EQ(std::string(transmit.begin(), transmit.begin() + 19), file.substr(14));
  EXPECT_EQ(source.position(), file.size());
}

TEST(ImageReader, DefectsAreReportedInTheirOwnWords) {
  EXPECT_EQ(image::message(Error::file_read), "\n\tFile read error.\n");
  EXPECT_EQ(image::message(Error::file_header_format), "\n\tThe file header format is not correct.\n");
  EXPECT_EQ(image::message(Error::packet_header_format), "\n\tThe packet header format is not correct.\n");
}

}  // namespace
}  // namespace stb
