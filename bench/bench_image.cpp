#include "bench/bench_image.h"

#include <array>
#include <cstdio>
#include <memory>
#include <vector>

namespace stb::bench {
namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { (void)std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

void put_be(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) {
    out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  }
}

bool put(std::FILE* f, const std::vector<std::uint8_t>& bytes) {
  return f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
}

}  // namespace

bool write_image(const ImagePlan& plan, const std::string& image_path, const std::string& payload_path) {
  File image(std::fopen(image_path.c_str(), "wb"));
  File payload(payload_path.empty() ? nullptr : std::fopen(payload_path.c_str(), "wb"));
  if (!image || (!payload_path.empty() && !payload)) {
    return false;
  }
  // DN_FILE_HEADER: 55 AA, six bytes the host passes on, the packet count,
  // four more bytes it passes on.
  std::vector<std::uint8_t> header{0x55, 0xAA, 0, 0, 0, 0, 0, 0};
  put_be(header, plan.records, 2);
  put_be(header, 0, 4);
  if (!put(image.get(), header)) {
    return false;
  }
  std::uint32_t state = plan.seed == 0 ? 1 : plan.seed;  // xorshift32 never leaves 0
  std::vector<std::uint8_t> record;
  std::vector<std::uint8_t> body;
  for (std::uint32_t n = 0; n < plan.records; ++n) {
    record.assign({0x5A, 0x5A});
    put_be(record, n, 2);
    put_be(record, 0, 4);
    put_be(record, plan.payload_length, 4);
    body.clear();
    for (std::uint32_t i = 0; i < plan.payload_length; ++i) {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      body.push_back(static_cast<std::uint8_t>(state));
    }
    record.insert(record.end(), body.begin(), body.end());
    put_be(record, n, 4);  // trailer
    if (!put(image.get(), record) || !put(payload.get(), body)) {
      return false;
    }
  }
  return std::fflush(image.get()) == 0 && (!payload || std::fflush(payload.get()) == 0);
}

}  // namespace stb::bench
