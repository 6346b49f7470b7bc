// The box's end of the serial line: the master of a pseudo-terminal that the
// box creates (the host opens its slave), or a serial device or descriptor
// that is already there (a real port, another program's pseudo-terminal).
//
// Every wait takes a deadline and ends early when stop() is called from any
// thread or when the host has gone (the pty slave closed, the device ended).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace stb::sim {

using Clock = std::chrono::steady_clock;

enum class Wait {
  ready,    // the host is there / bytes arrived
  timeout,  // the deadline passed first
  stopped,  // stop() was called
  gone,     // the host closed its end, or the line was hung up
};

class Line {
 public:
  Line();
  ~Line();
  Line(const Line&) = delete;
  Line& operator=(const Line&) = delete;

  // Creates a pseudo-terminal in raw mode and keeps only its master. The
  // slave is opened and closed once here, so that the master reports a
  // hang-up until the host opens it. False with error() on failure.
  bool open_pty();
  // Opens a serial device (or a pty slave) and sets it raw, 115200 8N1,
  // no flow control, modem lines ignored.
  bool open_device(const std::string& path);
  // Takes an open descriptor (it is closed with the line).
  void adopt(int fd);

  // The path the host opens: the pty slave, or the device given.
  [[nodiscard]] const std::string& path() const { return path_; }
  [[nodiscard]] const std::string& error() const { return error_; }
  [[nodiscard]] bool is_open() const { return fd_ >= 0; }

  // On a pty master: waits until the host has the slave open. On any other
  // line: ready at once (there is no way to see the far end).
  Wait wait_for_host(Clock::time_point deadline);
  // Reads what is there (at least one byte) into `buffer`; `count` is set on
  // ready. Bytes the host wrote before closing are still delivered first.
  Wait read(std::span<std::uint8_t> buffer, std::size_t& count, Clock::time_point deadline);
  // Writes all bytes; false when the host has gone or the line is full for
  // longer than a few seconds.
  bool write(std::span<const std::uint8_t> bytes);
  // Sleeps without reading; ends early (stopped, gone) on stop() or when the
  // host closes its end; ready when the time is up.
  Wait pause(std::chrono::milliseconds ms);
  // Closes the line: the host sees the far end vanish.
  void hang_up();
  // Safe from any thread; every present and later wait returns `stopped`.
  void stop();
  [[nodiscard]] bool stopping() const { return stop_requested_.load(); }

 private:
  int fd_ = -1;
  bool pty_master_ = false;
  int stop_pipe_[2] = {-1, -1};
  std::atomic<bool> stop_requested_{false};
  std::string path_;
  std::string error_;
};

}  // namespace stb::sim
