// The serial link: the port to the box, its line settings and time-outs, and
// the 5-byte tokens with which host and box steer a download.
//
// All waiting in the program happens inside these reads and writes. A read of
// n bytes ends when n bytes have arrived, when more than `gap_ms` pass between
// two received bytes, or when `per_byte_ms` * n have passed in all, whichever
// comes first. A short read is not an error of the port: it just delivers
// fewer bytes. A port that has gone away (unplugged adapter, closed far end)
// makes a read return at once with `lost` set.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace stb::link {

inline constexpr std::uint32_t baud_rate = 115200;

// Fixed time-outs of the line, in milliseconds.
struct Timeouts {
  std::uint32_t gap_ms = 2000;           // longest silence between two bytes of one read
  std::uint32_t per_byte_ms = 2000;      // a read of n bytes lasts at most n times this
  std::uint32_t write_per_byte_ms = 10;  // a write of n bytes lasts at most n times this ...
  std::uint32_t write_constant_ms = 10;  // ... plus this
};

struct ReadResult {
  bool ok = false;         // the read call itself succeeded (a short read is still ok)
  std::size_t count = 0;   // bytes delivered to the front of the buffer
  bool lost = false;       // the port has gone away; every later read fails as well
};

// What the phases of a download need from a port. The serial port below is
// the real one; tests and fuzzers put their own behind it.
class Port {
 public:
  // Reads up to buffer.size() bytes under the read rule above.
  virtual ReadResult read(std::span<std::uint8_t> buffer) = 0;
  // Writes the bytes, giving up after the write time-out. Nobody looks at
  // whether it worked: a lost write shows up as a missing reply.
  virtual void write(std::span<const std::uint8_t> bytes) = 0;

 protected:
  Port() = default;
  ~Port() = default;
  Port(const Port&) = default;
  Port& operator=(const Port&) = default;
};

// The serial port of this platform (POSIX termios or Win32 communications),
// chosen by the build. Owns its handle; closes it when destroyed.
class SerialPort final : public Port {
 public:
  SerialPort() = default;
  ~SerialPort();
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // Opens the named port for exclusive reading and writing; false when it
  // cannot be opened or another program holds it.
  bool open(const char* name);
  // Sets 115200 bps, 8 data bits, no parity, 1 stop bit, no flow control,
  // DTR and RTS off, built from scratch. False when the port rejects them.
  bool configure_line();
  // Sets the read and write time-outs (the fixed ones unless a test asks).
  void set_timeouts(const Timeouts& timeouts = Timeouts{});
  void close();
  [[nodiscard]] bool is_open() const { return handle_ != invalid_handle; }

  ReadResult read(std::span<std::uint8_t> buffer) override;
  void write(std::span<const std::uint8_t> bytes) override;

 private:
  static constexpr std::intptr_t invalid_handle = -1;
  std::intptr_t handle_ = invalid_handle;  // file descriptor or Win32 HANDLE
  Timeouts timeouts_{};
};

// ---- Tokens ---------------------------------------------------------------

inline constexpr std::size_t token_size = 5;

// Five ASCII bytes on the wire: '2', three capital letters, '3'.
inline constexpr std::string_view token_qxi = "2QXI3";  // box: opening word
inline constexpr std::string_view token_ack = "2ACK3";  // acknowledgement
inline constexpr std::string_view token_nxt = "2NXT3";  // next
inline constexpr std::string_view token_err = "2ERR3";  // host: wrong reply in the handshake
inline constexpr std::string_view token_dis = "2DIS3";  // host: end of the image
inline constexpr std::string_view token_pok = "2POK3";  // in the vocabulary, never used
inline constexpr std::string_view token_per = "2PER3";  // in the vocabulary, never used
inline constexpr std::string_view token_dld = "2DLD3";  // box: download complete
inline constexpr std::string_view token_dbd = "2DBD3";  // box: flash burnt
inline constexpr std::string_view token_dvd = "2DVD3";  // box: flash verified

// Every reply lands here: a read fills bytes 0 to 4, byte 5 stays 0 so the
// buffer always reads as a text of at most five characters. It is never
// cleared: after a short read the bytes past the new ones are the old ones.
using ReplyBuffer = std::array<std::uint8_t, token_size + 1>;

struct TokenRead {
  bool good = false;  // exactly five bytes arrived
  bool lost = false;  // the port has gone away
};

// One read of five bytes into the reply buffer.
TokenRead read_token(Port& port, ReplyBuffer& reply);
// True when the five reply bytes equal the token exactly.
bool token_matches(const ReplyBuffer& reply, std::string_view token);
// One write of the token's five bytes; never repeated by itself.
void send_token(Port& port, std::string_view token);

// ---- Retry discipline -----------------------------------------------------

// An exchange gives up when its counter of failed attempts reaches this:
// eight attempts in all.
inline constexpr std::uint8_t retry_limit = 8;

// Runs attempts until one succeeds (true) or the counter of failed attempts,
// reset here to 0, reaches the limit (false). Each attempt sees the counter
// before its increment, which is what the retry messages show.
template <typename Attempt>
bool run_exchange(std::uint8_t& retries, Attempt&& attempt) {
  retries = 0;
  for (;;) {
    if (attempt()) {
      return true;
    }
    ++retries;
    if (retries >= retry_limit) {
      return false;
    }
  }
}

}  // namespace stb::link
