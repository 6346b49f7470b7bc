// The download image (.dnl): a 14-byte DN_FILE_HEADER, then packet records
// back to back up to the end of the file. A record is a 12-byte
// DN_PACKET_HEADER, L payload bytes and a 4-byte trailer. Numbers are
// big-endian. The reader goes strictly front to back and never reads past
// the buffers it is given; it reports each defect as a value the moment it
// meets it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace stb::image {

inline constexpr std::size_t file_header_size = 14;
inline constexpr std::size_t packet_header_size = 12;
inline constexpr std::size_t trailer_size = 4;
// A whole record must fit the transmit buffer.
inline constexpr std::size_t record_capacity = 65536;
inline constexpr std::uint32_t max_payload_length =
    record_capacity - packet_header_size - trailer_size;  // 65,520

inline constexpr std::uint8_t file_magic_0 = 0x55;
inline constexpr std::uint8_t file_magic_1 = 0xAA;
inline constexpr std::uint8_t packet_magic = 0x5A;  // 'Z', twice

using FileHeader = std::array<std::uint8_t, file_header_size>;
using PacketHeader = std::array<std::uint8_t, packet_header_size>;
using RecordBuffer = std::array<std::uint8_t, record_capacity>;

struct ReadResult {
  bool ok = false;        // the read call succeeded
  std::size_t count = 0;  // bytes delivered; fewer than asked only at the end
};

// Where the image bytes come from: the image file, or memory in tests.
class Source {
 public:
  // Reads up to buffer.size() bytes; fewer only at the end of the data.
  virtual ReadResult read(std::span<std::uint8_t> buffer) = 0;

 protected:
  Source() = default;
  ~Source() = default;
  Source(const Source&) = default;
  Source& operator=(const Source&) = default;
};

// The image file of this platform, opened for reading without sharing.
class ImageFile final : public Source {
 public:
  ImageFile() = default;
  ~ImageFile();
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;

  // False when the file does not exist or cannot be opened.
  bool open(const char* path);
  void close();
  ReadResult read(std::span<std::uint8_t> buffer) override;

 private:
  static constexpr std::intptr_t invalid_handle = -1;
  std::intptr_t handle_ = invalid_handle;  // file descriptor or Win32 HANDLE
};

// An image held in memory.
class MemorySource final : public Source {
 public:
  explicit MemorySource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  ReadResult read(std::span<std::uint8_t> buffer) override;
  [[nodiscard]] std::size_t position() const { return position_; }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t position_ = 0;
};

enum class Error {
  none,
  file_read,             // the file ended inside a header or a record
  file_header_format,    // the image does not begin 55 AA
  packet_header_format,  // a record does not begin ZZ, or does not fit the buffer
};

// The console text for an image defect (empty for none).
std::string_view message(Error error);

struct FileHeaderRead {
  Error error = Error::none;
  std::uint16_t packet_count = 0;
};

// Reads and checks the 14-byte DN_FILE_HEADER into `header`.
FileHeaderRead read_file_header(Source& source, FileHeader& header);

struct PacketHeaderRead {
  Error error = Error::none;
  bool end = false;  // the image ended cleanly at a record boundary
  std::uint16_t number = 0;
  std::uint32_t payload_length = 0;
};

// Reads the next 12-byte DN_PACKET_HEADER into `header`. No bytes at all is
// the end of the image; 1 to 11 bytes is a read error. A payload longer than
// the transmit buffer allows is refused here, before anything else is read.
PacketHeaderRead read_packet_header(Source& source, PacketHeader& header);

// Assembles the record in `record`: the packet header at offset 0, then the
// payload and trailer (L + 4 bytes) read from the source. The record is then
// L + 16 bytes long. `payload_length` must be one that read_packet_header
// accepted.
Error read_packet_body(Source& source, const PacketHeader& header, std::uint32_t payload_length,
                       RecordBuffer& record);

// Pure decoding of the header fields.
std::uint16_t packet_count_of(const FileHeader& header);
std::uint16_t packet_number_of(const PacketHeader& header);
std::uint32_t payload_length_of(const PacketHeader& header);
inline constexpr std::size_t record_size(std::uint32_t payload_length) {
  return packet_header_size + payload_length + trailer_size;
}

}  // namespace stb::image
