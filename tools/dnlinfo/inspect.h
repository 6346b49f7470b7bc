// The image inspector: walks a download image the way the downloader reads
// it, and collects what a user wants to know before walking to a box: the
// header, every record, the totals, the time the download takes on the line,
// the defect at which the downloader would stop, and the oddities it
// tolerates without a word.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "image/download_image.h"

namespace stb::dnlinfo {

// One packet record as the downloader sends it.
struct Record {
  std::uint64_t offset = 0;  // of its DN_PACKET_HEADER in the file
  std::uint16_t number = 0;
  std::uint32_t payload_length = 0;
  std::array<std::uint8_t, 4> field{};    // header bytes 4-7, passed on unchanged
  std::array<std::uint8_t, 4> trailer{};  // the 4 bytes after the payload
};

// Why the downloader would stop, in more detail than its one-line message.
enum class Cause {
  read_failed,          // the read call itself failed
  short_file_header,    // the file ends inside the 14-byte header
  bad_file_magic,       // the file does not begin 55 AA
  bad_packet_magic,     // a record does not begin 5A 5A
  payload_too_long,     // a record does not fit the 65,536-byte transmit buffer
  short_packet_header,  // 1 to 11 bytes after the last whole record
  short_body,           // the payload or trailer is cut short by the end of the file
};

// The first defect the downloader stops on; nothing after it is sent.
struct Defect {
  image::Error error = image::Error::none;  // which of the downloader's messages
  Cause cause = Cause::read_failed;
  std::uint64_t offset = 0;  // where the defective header or record begins
  std::uint64_t have = 0;    // bytes found (short reads) ...
  std::uint64_t need = 0;    // ... of the bytes needed
  std::array<std::uint8_t, 2> magic{};  // the first two bytes found (bad magic)
  std::uint32_t payload_length = 0;     // the length asked for (too long, short body)
};

// Things the downloader lets pass but a user should see.
enum class WarningKind {
  count_mismatch,      // the header's count differs from the records found
  number_out_of_order, // a number is not the previous one plus 1 (the first not 0)
  number_not_below_count,  // progress reaches or passes 100 % on this record
  read_failed_at_end,  // a failed read at a record boundary, taken as the end
};

struct Warning {
  WarningKind kind = WarningKind::count_mismatch;
  std::uint64_t offset = 0;  // of the record concerned, or of the failed read
  std::size_t record = 0;    // index in file order
  std::uint32_t found = 0;   // the number (or the count of records found)
  std::uint32_t expected = 0;  // the number expected (or the header's count)
};

struct Report {
  image::FileHeader header{};  // as read, even when defective
  std::size_t header_bytes = 0;  // of the 14 header bytes, how many the file has
  std::uint16_t packet_count = 0;
  std::vector<Record> records;  // the whole records, in file order
  std::vector<Warning> warnings;
  std::optional<Defect> defect;
  std::uint64_t bytes_read = 0;  // everything the reader took from the file

  // True when the downloader would send the image to its end.
  [[nodiscard]] bool sends_whole() const { return !defect.has_value(); }
};

// Reads the image front to back, as the downloader does, up to its end or
// its first defect.
Report inspect(image::Source& source);

// The totals of the records found.
struct Totals {
  std::uint64_t payload_bytes = 0;
  std::uint64_t record_bytes = 0;  // headers, payloads and trailers
  std::uint64_t wire_bytes = 0;    // every byte of the conversation, both ways
  double seconds = 0;              // the time those bytes take on the line
};

// Bytes of the whole conversation for these records at the fixed line rate:
// the handshake, the image header, each descriptor and record with their
// tokens, the disconnect and the three reports. The box's own burn and
// verify time is not included: only the box knows it.
Totals totals_of(const Report& report);

}  // namespace stb::dnlinfo
