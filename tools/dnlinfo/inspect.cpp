#include "tools/dnlinfo/inspect.h"

#include <memory>

#include "link/serial_port.h"
#include "protocol/download.h"

namespace stb::dnlinfo {
namespace {

// Counts what the reader takes, so every finding can say where in the file
// it is; the reader itself only knows its buffers.
class CountingSource final : public image::Source {
 public:
  explicit CountingSource(image::Source& inner) : inner_(inner) {}

  image::ReadResult read(std::span<std::uint8_t> buffer) override {
    const image::ReadResult result = inner_.read(buffer);
    position_ += result.count;
    last_ok_ = result.ok;
    return result;
  }
  [[nodiscard]] std::uint64_t position() const { return position_; }
  [[nodiscard]] bool last_ok() const { return last_ok_; }

 private:
  image::Source& inner_;
  std::uint64_t position_ = 0;
  bool last_ok_ = true;
};

Defect short_read(image::Error error, Cause cause, bool read_ok, std::uint64_t offset,
                  std::uint64_t have, std::uint64_t need) {
  Defect defect;
  defect.error = error;
  defect.cause = read_ok ? cause : Cause::read_failed;
  defect.offset = offset;
  defect.have = have;
  defect.need = need;
  return defect;
}

void check_number(Report& report, const Record& record) {
  const std::size_t index = report.records.size();
  // Numbers are meant to run 0, 1, 2, ... so that the progress climbs
  // evenly to 100 %; a break in that run is reported once, where it happens.
  const std::uint16_t expected =
      index == 0 ? 0 : static_cast<std::uint16_t>(report.records.back().number + 1);
  if (record.number != expected) {
    report.warnings.push_back(
        {WarningKind::number_out_of_order, record.offset, index, record.number, expected});
  }
  if (record.number >= report.packet_count) {
    report.warnings.push_back({WarningKind::number_not_below_count, record.offset, index,
                               record.number, report.packet_count});
  }
}

}  // namespace

Report inspect(image::Source& source) {
  Report report;
  CountingSource counted(source);

  const image::FileHeaderRead file = image::read_file_header(counted, report.header);
  report.header_bytes = static_cast<std::size_t>(counted.position());
  if (file.error != image::Error::none) {
    if (file.error == image::Error::file_header_format) {
      Defect defect;
      defect.error = file.error;
      defect.cause = Cause::bad_file_magic;
      defect.magic = {report.header[0], report.header[1]};
      report.defect = defect;
    } else {
      report.defect = short_read(file.error, Cause::short_file_header, counted.last_ok(), 0,
                                 counted.position(), image::file_header_size);
    }
    report.bytes_read = counted.position();
    return report;
  }
  report.packet_count = file.packet_count;

  // A whole record is held at a time, as in the downloader.
  const auto buffer = std::make_unique<image::RecordBuffer>();
  for (;;) {
    const std::uint64_t offset = counted.position();
    image::PacketHeader packet_header{};
    const image::PacketHeaderRead head = image::read_packet_header(counted, packet_header);
    if (head.error == image::Error::packet_header_format) {
      Defect defect;
      defect.error = head.error;
      defect.offset = offset;
      defect.magic = {packet_header[0], packet_header[1]};
      defect.payload_length = image::payload_length_of(packet_header);
      const bool magic_ok =
          packet_header[0] == image::packet_magic && packet_header[1] == image::packet_magic;
      defect.cause = magic_ok ? Cause::payload_too_long : Cause::bad_packet_magic;
      report.defect = defect;
      break;
    }
    if (head.error != image::Error::none) {
      report.defect = short_read(head.error, Cause::short_packet_header, counted.last_ok(),
                                 offset, counted.position() - offset, image::packet_header_size);
      break;
    }
    if (head.end) {
      // No bytes at all ends the image even when the read call failed; the
      // downloader then disconnects as if the file had ended there.
      if (!counted.last_ok()) {
        report.warnings.push_back({WarningKind::read_failed_at_end, offset,
                                   report.records.size(), 0, 0});
      }
      break;
    }

    const image::Error body =
        image::read_packet_body(counted, packet_header, head.payload_length, *buffer);
    if (body != image::Error::none) {
      const std::uint64_t body_offset = offset + image::packet_header_size;
      Defect defect = short_read(body, Cause::short_body, counted.last_ok(), offset,
                                 counted.position() - body_offset,
                                 std::uint64_t{head.payload_length} + image::trailer_size);
      defect.payload_length = head.payload_length;
      report.defect = defect;
      break;
    }

    Record record;
    record.offset = offset;
    record.number = head.number;
    record.payload_length = head.payload_length;
    for (std::size_t i = 0; i < record.field.size(); ++i) {
      record.field[i] = packet_header[4 + i];
      record.trailer[i] = (*buffer)[image::packet_header_size + head.payload_length + i];
    }
    check_number(report, record);
    report.records.push_back(record);
  }

  // The count only matters against the records of an image sent whole.
  if (!report.defect && report.records.size() != report.packet_count) {
    report.warnings.push_back({WarningKind::count_mismatch, 0, 0,
                               static_cast<std::uint32_t>(report.records.size()),
                               report.packet_count});
  }
  report.bytes_read = counted.position();
  return report;
}

Totals totals_of(const Report& report) {
  constexpr std::uint64_t token = link::token_size;
  // Each block the host sends is acknowledged by the box and answered with
  // "next" by the host: two tokens on top of the block.
  constexpr std::uint64_t block_tokens = 2 * token;
  constexpr std::uint64_t handshake = 3 * token;   // opening word, ack, next
  constexpr std::uint64_t disconnect = 2 * token;  // disconnect and its ack
  constexpr std::uint64_t reports = 3 * token;     // downloaded, burnt, verified
  // 8 data bits framed by a start and a stop bit.
  constexpr double bits_per_byte = 10.0;

  Totals totals;
  totals.wire_bytes = handshake + image::file_header_size + block_tokens;
  for (const Record& record : report.records) {
    totals.payload_bytes += record.payload_length;
    totals.record_bytes += image::record_size(record.payload_length);
    totals.wire_bytes += protocol::data_header_size + block_tokens +
                         image::record_size(record.payload_length) + block_tokens;
  }
  totals.wire_bytes += disconnect + reports;
  totals.seconds = static_cast<double>(totals.wire_bytes) * bits_per_byte / link::baud_rate;
  return totals;
}

}  // namespace stb::dnlinfo
