#include "sim/image_builder.h"

#include <cstdio>
#include <string_view>

namespace stb::sim {
namespace {

void put16(Bytes& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v));
}

void put32(Bytes& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) {
    out.push_back(static_cast<std::uint8_t>(v >> shift));
  }
}

std::uint32_t get32(std::span<const std::uint8_t> b, std::size_t at) {
  return std::uint32_t{b[at]} << 24 | std::uint32_t{b[at + 1]} << 16 | std::uint32_t{b[at + 2]} << 8 |
         std::uint32_t{b[at + 3]};
}

}  // namespace

Bytes pattern(std::size_t n, std::uint32_t seed) {
  Bytes out(n);
  std::uint32_t x = seed * 2654435761u + 12345u;
  for (auto& b : out) {
    x = x * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(x >> 16);
  }
  return out;
}

Image numbered_image(std::size_t n, std::span<const std::size_t> sizes) {
  Image image;
  image.count = static_cast<std::uint16_t>(n);
  for (std::size_t i = 0; i < n; ++i) {
    Record r;
    r.number = static_cast<std::uint16_t>(i);
    r.payload = pattern(sizes.empty() ? 0 : sizes[i % sizes.size()], static_cast<std::uint32_t>(i));
    r.free_field = 0x1000u + static_cast<std::uint32_t>(i);
    r.trailer = {static_cast<std::uint8_t>(i), 0xAB, 0xCD, static_cast<std::uint8_t>(~i)};
    image.records.push_back(std::move(r));
  }
  return image;
}

Bytes file_header_bytes(const Image& image) {
  // Built by appending rather than from a braced list: GCC 12 at -O3 warns
  // falsely about the insert that follows one.
  Bytes out;
  out.reserve(14);
  out.push_back(0x55);
  out.push_back(0xAA);
  out.insert(out.end(), image.free_head.begin(), image.free_head.end());
  put16(out, image.count);
  out.insert(out.end(), image.free_tail.begin(), image.free_tail.end());
  return out;
}

Bytes record_bytes(const Record& record) {
  Bytes out{0x5A, 0x5A};
  put16(out, record.number);
  put32(out, record.free_field);
  put32(out, record.stated_length.value_or(static_cast<std::uint32_t>(record.payload.size())));
  append(out, record.payload);
  append(out, record.trailer);
  return out;
}

Bytes image_bytes(const Image& image) {
  Bytes out = file_header_bytes(image);
  for (const Record& r : image.records) {
    append(out, record_bytes(r));
  }
  return out;
}

std::uint32_t crc32(std::span<const std::uint8_t> bytes) {
  // Bit by bit: independent of any table the host may carry.
  std::uint32_t crc = 0xFFFFFFFFu;
  for (const std::uint8_t b : bytes) {
    crc ^= b;
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1u) != 0 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
  }
  return crc ^ 0xFFFFFFFFu;
}

Bytes descriptor_bytes(std::uint32_t length) {
  Bytes out{0x02};
  put32(out, length);
  put32(out, ~length);
  out.push_back(0x00);
  put32(out, crc32(out));
  return out;
}

DescriptorCheck check_descriptor(std::span<const std::uint8_t> bytes) {
  DescriptorCheck c;
  if (bytes.size() != descriptor_size) {
    c.problem = "descriptor of " + std::to_string(bytes.size()) + " bytes";
    return c;
  }
  c.length = get32(bytes, 1);
  if (bytes[0] != 0x02 || bytes[9] != 0x00) {
    c.problem = "descriptor framing bytes wrong";
  } else if (get32(bytes, 10) != crc32(bytes.first(10))) {
    c.problem = "descriptor CRC-32 wrong";
  } else if (get32(bytes, 5) != ~c.length) {
    c.problem = "descriptor length complement wrong";
  } else if (c.length > max_payload) {
    c.problem = "descriptor length " + std::to_string(c.length) + " too long";
  } else {
    c.ok = true;
  }
  return c;
}

std::uint32_t stated_length(std::span<const std::uint8_t> record) {
  return record.size() < packet_header_size ? 0 : get32(record, 8);
}

bool write_file(const std::string& path, std::span<const std::uint8_t> bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    return false;
  }
  // An empty span may carry no pointer at all: write nothing then.
  const bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

void append(Bytes& to, std::span<const std::uint8_t> bytes) { to.insert(to.end(), bytes.begin(), bytes.end()); }

void append(Bytes& to, std::string_view text) { to.insert(to.end(), text.begin(), text.end()); }

}  // namespace stb::sim
