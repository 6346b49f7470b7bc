// Arbitrary bytes as an image file, walked the way a download walks it: the
// reader must stop at the first defect, never read past its buffers, and
// hand over every record exactly as it stands in the file.

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "image/download_image.h"

namespace {

using namespace stb::image;

void check(bool holds) {
  if (!holds) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  MemorySource source({data, size});
  FileHeader header{};
  PacketHeader packet{};
  static RecordBuffer record;

  const FileHeaderRead file_header = read_file_header(source, header);
  if (file_header.error != Error::none) {
    check(size < file_header_size || data[0] != file_magic_0 || data[1] != file_magic_1);
    return 0;
  }
  check(std::memcmp(header.data(), data, file_header_size) == 0);
  check(file_header.packet_count == (data[8] << 8 | data[9]));

  for (;;) {
    const std::size_t start = source.position();
    const PacketHeaderRead p = read_packet_header(source, packet);
    if (p.end) {
      check(p.error == Error::none && start == size);
      return 0;
    }
    if (p.error != Error::none) {
      check(!message(p.error).empty());
      return 0;
    }
    check(size - start >= packet_header_size);
    check(p.payload_length <= max_payload_length);
    check(std::memcmp(packet.data(), data + start, packet_header_size) == 0);

    const Error body = read_packet_body(source, packet, p.payload_length, record);
    const std::size_t length = record_size(p.payload_length);
    if (body != Error::none) {
      check(body == Error::file_read && size - start < length);
      return 0;
    }
    check(source.position() == start + length);
    check(std::memcmp(record.data(), data + start, length) == 0);
  }
}
