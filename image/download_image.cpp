#include "image/download_image.h"

#include <algorithm>

namespace stb::image {
ReadResult MemorySource::read(std::span<std::uint8_t> buffer) {
  const std::size_t n = std::min(buffer.size(), bytes_.size() - position_);
  std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(position_), n, buffer.begin());
  position_ += n;
  return ReadResult{true, n};
}

std::string_view message(Error error) {
  switch (error) {
    case Error::none:
      return {};
    case Error::file_read:
      return "\n\tFile read error.\n";
    case Error::file_header_format:
      return "\n\tThe file header format is not correct.\n";
    case Error::packet_header_format:
      return "\n\tThe packet header format is not correct.\n";
  }
  return {};
}

std::uint16_t packet_count_of(const FileHeader& header) {
  return static_cast<std::uint16_t>(header[8] << 8 | header[9]);
}

std::uint16_t packet_number_of(const PacketHeader& header) {
  return static_cast<std::uint16_t>(header[2] << 8 | header[3]);
}

std::uint32_t payload_length_of(const PacketHeader& header) {
  return std::uint32_t{header[8]} << 24 | std::uint32_t{header[9]} << 16 | std::uint32_t{header[10]} << 8 |
         std::uint32_t{header[11]};
}

FileHeaderRead read_file_header(Source& source, FileHeader& header) {
  const ReadResult r = source.read(header);
  if (!r.ok || r.count != header.size()) {
    return {Error::file_read, 0};
  }
  if (header[0] != file_magic_0 || header[1] != file_magic_1) {
    return {Error::file_header_format, 0};
  }
  return {Error::none, packet_count_of(header)};
}

PacketHeaderRead read_packet_header(Source& source, PacketHeader& header) {
  const ReadResult r = source.read(header);
  if (r.count == 0) {
    // Nothing at all is the end of the image, whether or not the read
    // call reported a failure.
    return PacketHeaderRead{Error::none, true, 0, 0};
  }
  if (!r.ok || r.count != header.size()) {
    return PacketHeaderRead{Error::file_read, false, 0, 0};
  }
  if (header[0] != packet_magic || header[1] != packet_magic) {
    return PacketHeaderRead{Error::packet_header_format, false, 0, 0};
  }
  const std::uint32_t length = payload_length_of(header);
  if (length > max_payload_length) {
    // The record would not fit the transmit buffer: refused before its
    // descriptor goes out, so the box is never told of a record it won't get.
    return PacketHeaderRead{Error::packet_header_format, false, 0, 0};
  }
  return PacketHeaderRead{Error::none, false, packet_number_of(header), length};
}

Error read_packet_body(Source& source, const PacketHeader& header, std::uint32_t payload_length,
                       RecordBuffer& record) {
  if (payload_length > max_payload_length) {
    return Error::packet_header_format;
  }
  std::copy(header.begin(), header.end(), record.begin());
  const std::size_t wanted = std::size_t{payload_length} + trailer_size;
  const ReadResult r = source.read(std::span<std::uint8_t>(record).subspan(packet_header_size, wanted));
  if (!r.ok || r.count != wanted) {
    return Error::file_read;
  }
  return Error::none;
}

}  // namespace stb::image
