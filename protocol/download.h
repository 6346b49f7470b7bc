// The download conversation with the box, phase by phase: the handshake, the
// image header, each record's DN_DATA_HEADER and the record itself, the
// disconnect and the three completion reports. Also the pure pieces the phases
// are built from: CRC-32, the descriptor, the progress figure and the way a
// reply is shown in messages.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "image/download_image.h"
#include "link/serial_port.h"

namespace stb::protocol {

// Exit statuses of the program.
inline constexpr int exit_success = 0;  // downloaded, burnt and verified
inline constexpr int exit_failure = 1;  // anything else

// Where messages go. `out` is standard output (banner, steps, progress,
// completion); `err` is standard error (every failure that ends the run).
class Console {
 public:
  virtual void out(std::string_view text) = 0;
  virtual void err(std::string_view text) = 0;

 protected:
  Console() = default;
  ~Console() = default;
  Console(const Console&) = default;
  Console& operator=(const Console&) = default;
};

// ---- CRC-32 and DN_DATA_HEADER ------------------------------------------

inline constexpr std::size_t data_header_size = 14;
using DataHeader = std::array<std::uint8_t, data_header_size>;

// The standard CRC-32 (reflected 0xEDB88320, init and final XOR 0xFFFFFFFF).
std::uint32_t crc32(std::span<const std::uint8_t> bytes);

// The 14-byte descriptor of a record: 0x02, L, ~L, 0x00, CRC-32 of bytes 0-9.
// Built over the header buffer, which held the DN_FILE_HEADER before.
void build_data_header(const image::PacketHeader& packet_header, DataHeader& header);

// ---- Console texts --------------------------------------------------------

// The progress figure: (number + 1) * 100 / count, truncated; 0 when the
// count is 0.
int progress_percent(std::uint16_t packet_number, std::uint16_t packet_count);

// The reply buffer as a message shows it: up to its first zero byte, every
// byte outside 0x20-0x7E written as \xNN so the box cannot drive the terminal.
using ReplyText = std::array<char, 4 * link::token_size + 1>;
std::string_view format_reply(const link::ReplyBuffer& reply, ReplyText& text);

// ---- The download ---------------------------------------------------------

// Everything that lives for the whole run, fixed in size. Every buffer
// starts zeroed.
struct Buffers {
  link::ReplyBuffer reply{};
  std::uint8_t retries = 0;
  image::FileHeader header{};  // the DN_FILE_HEADER, then each DN_DATA_HEADER
  image::PacketHeader packet_header{};
  image::RecordBuffer transmit{};
  std::uint16_t packet_count = 0;
  std::uint16_t packet_number = 0;
  std::uint32_t payload_length = 0;
};

struct Session {
  link::Port& port;
  image::Source& image;
  Console& console;
  Buffers& buffers;
};

// Phase 1: waits for the box's opening word and completes the handshake.
bool connect(Session& session);
// Reads the image header and sends it (phase 2), then every record with its
// descriptor (phases 3 and 4) until the image ends.
bool transfer_image(Session& session);
// Phase 5: tells the box the image has ended.
bool disconnect(Session& session);
// Phase 6: follows the box through download, burn and verify, with no time
// limit. True when the box reported the flash verified.
bool await_completion(Session& session);

// All phases in order, printing every message on the way. True when the
// firmware was downloaded, burnt and verified: the caller then closes the
// file, then the port, and prints the success line.
bool download(Session& session);

// The success line, printed once the handles are closed.
inline constexpr std::string_view success_line = "\n\t Firmware was downloaded successfully.\n";

}  // namespace stb::protocol
