// Download images for the benchmarks: a header and `records` packet records
// that all carry `payload_length` bytes of pseudo-random payload (like
// compressed firmware, so a transfer that escapes control bytes pays what it
// would pay in the field). The same payload, back to back, can also be
// written as a plain file for a general file transfer to move.
#pragma once

#include <cstdint>
#include <string>

namespace stb::bench {

struct ImagePlan {
  std::uint32_t payload_length = 65520;  // L of every record: at most 65,520
  std::uint32_t records = 1;             // at most 65,535
  std::uint32_t seed = 1;
};

// Writes the image, and the bare payload when `payload_path` is not empty.
// False (with errno) when a file cannot be written.
bool write_image(const ImagePlan& plan, const std::string& image_path, const std::string& payload_path);

}  // namespace stb::bench
