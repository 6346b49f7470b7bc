// Download images made in memory, and the bytes a host must put on the wire
// for them. Used by the simulated box (to check what it receives), by the
// end-to-end tests and by the tool that writes the sample image.
//
// An image is a 14-byte DN_FILE_HEADER (55 AA, six free bytes, the 16-bit
// packet count, four free bytes) and packet records back to back: a 12-byte
// DN_PACKET_HEADER (5A 5A, the 16-bit number, four free bytes, the 32-bit
// payload length L), L payload bytes and a 4-byte trailer. Big-endian.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace stb::sim {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::size_t file_header_size = 14;
inline constexpr std::size_t packet_header_size = 12;
inline constexpr std::size_t trailer_size = 4;
inline constexpr std::size_t descriptor_size = 14;
inline constexpr std::uint32_t max_payload = 65520;  // a whole record fits 65,536 bytes

struct Record {
  std::uint16_t number = 0;
  Bytes payload;
  std::array<std::uint8_t, 4> trailer{0xC0, 0xFF, 0xEE, 0x00};
  std::uint32_t free_field = 0;                 // header bytes 4-7, passed on unchanged
  std::optional<std::uint32_t> stated_length;  // L written in the header, if not the payload's size
};

struct Image {
  std::uint16_t count = 0;
  std::array<std::uint8_t, 6> free_head{0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
  std::array<std::uint8_t, 4> free_tail{0x0A, 0x0B, 0x0C, 0x0D};
  std::vector<Record> records;
};

// `n` payload bytes that differ from record to record (seeded by `seed`).
Bytes pattern(std::size_t n, std::uint32_t seed);
// An image of `n` records numbered 0..n-1, count n, with payload sizes taken
// in turn from `sizes`.
Image numbered_image(std::size_t n, std::span<const std::size_t> sizes);

Bytes file_header_bytes(const Image& image);
Bytes record_bytes(const Record& record);
// The whole file.
Bytes image_bytes(const Image& image);

// CRC-32/ISO-HDLC (reflected 0xEDB88320, init and final XOR 0xFFFFFFFF).
std::uint32_t crc32(std::span<const std::uint8_t> bytes);
// The 14-byte DN_DATA_HEADER for payload length L: 02, L, ~L, 00, CRC-32 of
// the first ten bytes.
Bytes descriptor_bytes(std::uint32_t length);

struct DescriptorCheck {
  bool ok = false;
  std::uint32_t length = 0;
  std::string problem;  // empty when ok
};
DescriptorCheck check_descriptor(std::span<const std::uint8_t> bytes);

// Payload length written in a record's packet header.
std::uint32_t stated_length(std::span<const std::uint8_t> record);

// Writes the bytes to a file; false when it cannot.
bool write_file(const std::string& path, std::span<const std::uint8_t> bytes);

// Appending helpers for building expected byte streams.
void append(Bytes& to, std::span<const std::uint8_t> bytes);
void append(Bytes& to, std::string_view text);

}  // namespace stb::sim
