// bench_image: writes a download image of equal records for the benchmarks.
//
//   bench_image --image OUT.dnl --record-size BYTES --records N [--payload OUT.bin] [--seed S]
//
// The record size counts the whole record (12-byte header, payload, 4-byte
// trailer), so 65536 gives the largest record the downloader sends.

#include <cstdio>

#include "bench/bench_image.h"
#include "bench/options.h"

int main(int argc, char** argv) {
  using namespace stb::bench;
  Options options;
  if (!options.parse(argc, argv, 1, {"image", "payload", "record-size", "records", "seed"})) {
    return 2;
  }
  const auto image = options.text("image");
  const auto size = options.number("record-size", 65536);
  const auto records = options.number("records", 1);
  const auto seed = options.number("seed", 1);
  if (!image || !size || !records || !seed || *size < 16 || *size > 65536 || *records > 65535) {
    std::fprintf(stderr, "usage: bench_image --image OUT --record-size 16..65536 --records 0..65535\n");
    return 2;
  }
  const ImagePlan plan{static_cast<std::uint32_t>(*size) - 16, static_cast<std::uint32_t>(*records),
                       static_cast<std::uint32_t>(*seed)};
  if (!write_image(plan, *image, options.text("payload").value_or(""))) {
    std::perror(image->c_str());
    return 1;
  }
  return 0;
}
