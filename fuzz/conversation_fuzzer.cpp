// The whole host side of a download against a box that says anything at
// all. The input is an image and a script for the port:
//
//   [image length, 2 bytes big-endian] [image] [script]
//
// Each read of the port takes one control byte from the script: 0 to 5
// deliver that many of the following script bytes (fewer if the read asked
// for fewer), 6 is a read that timed out, 7 a read that failed; the rest of
// the byte is ignored. When the script is used up the port is lost, which
// ends even the completion wait. The run must end, print only text a
// terminal shows as text, and put nothing on the wire but tokens, the image
// header, sound descriptors and pieces of the image's own records.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

#include "protocol/download.h"

namespace {

using namespace stb;

void check(bool holds) {
  if (!holds) {
    std::abort();
  }
}

class ScriptedPort final : public link::Port {
 public:
  ScriptedPort(std::span<const std::uint8_t> script, std::span<const std::uint8_t> image)
      : script_(script), image_(image) {}

  link::ReadResult read(std::span<std::uint8_t> buffer) override {
    check(!buffer.empty() && buffer.size() <= link::token_size);
    check(++reads_ < 1'000'000);  // a run that never ends would show here
    if (script_.empty()) {
      return {false, 0, true};
    }
    const std::uint8_t control = script_[0] & 0x07;
    script_ = script_.subspan(1);
    if (control == 6) {
      return {true, 0, false};
    }
    if (control == 7) {
      return {false, 0, false};
    }
    const std::size_t n = std::min({std::size_t{control}, buffer.size(), script_.size()});
    std::copy_n(script_.begin(), n, buffer.begin());
    script_ = script_.subspan(n);
    return {true, n, false};
  }

  void write(std::span<const std::uint8_t> bytes) override {
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (text == link::token_ack || text == link::token_nxt || text == link::token_err ||
        text == link::token_dis) {
      return;
    }
    if (bytes.size() == protocol::data_header_size) {
      check(is_image_header(bytes) || is_descriptor(bytes));
      return;
    }
    // A piece of a record: at most 8 bytes, found in the image past its header.
    check(!bytes.empty() && bytes.size() <= 8);
    check(image_.size() > image::file_header_size);
    const auto records = image_.subspan(image::file_header_size);
    check(std::search(records.begin(), records.end(), bytes.begin(), bytes.end()) != records.end());
  }

 private:
  bool is_image_header(std::span<const std::uint8_t> bytes) const {
    return image_.size() >= bytes.size() && std::equal(bytes.begin(), bytes.end(), image_.begin());
  }
  static bool is_descriptor(std::span<const std::uint8_t> b) {
    const std::uint32_t length = std::uint32_t{b[1]} << 24 | std::uint32_t{b[2]} << 16 | std::uint32_t{b[3]} << 8 | b[4];
    const std::uint32_t complement = std::uint32_t{b[5]} << 24 | std::uint32_t{b[6]} << 16 | std::uint32_t{b[7]} << 8 | b[8];
    const std::uint32_t crc = std::uint32_t{b[10]} << 24 | std::uint32_t{b[11]} << 16 | std::uint32_t{b[12]} << 8 | b[13];
    return b[0] == 0x02 && b[9] == 0x00 && complement == ~length && length <= image::max_payload_length &&
           crc == protocol::crc32(b.first(10));
  }

  std::span<const std::uint8_t> script_;
  std::span<const std::uint8_t> image_;
  std::size_t reads_ = 0;
};

// Messages may carry the box's bytes; they must reach the terminal escaped.
class CheckingConsole final : public protocol::Console {
 public:
  void out(std::string_view text) override { check_text(text); }
  void err(std::string_view text) override { check_text(text); }

 private:
  static void check_text(std::string_view text) {
    check(!text.empty());
    for (const char c : text) {
      const auto b = static_cast<unsigned char>(c);
      check((b >= 0x20 && b <= 0x7E) || b == '\n' || b == '\r' || b == '\t');
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) {
    return 0;
  }
  const std::span<const std::uint8_t> input(data, size);
  const std::size_t image_length = std::min<std::size_t>(std::size_t{data[0]} << 8 | data[1], size - 2);
  const auto image_bytes = input.subspan(2, image_length);
  const auto script = input.subspan(2 + image_length);

  image::MemorySource source(image_bytes);
  ScriptedPort port(script, image_bytes);
  CheckingConsole console;
  static protocol::Buffers buffers;
  buffers = {};
  buffers.reply[link::token_size] = 0;
  protocol::Session session{port, source, console, buffers};
  (void)protocol::download(session);
  check(buffers.reply[link::token_size] == 0);
  return 0;
}
