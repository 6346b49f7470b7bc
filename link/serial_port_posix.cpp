// The serial port on POSIX systems: termios for the line, poll() and a
// monotonic clock for the time-outs.

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>

#include "link/serial_port.h"

namespace stb::link {
namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

int fd_of(std::intptr_t handle) { return static_cast<int>(handle); }

// poll() takes whole milliseconds; round up so a wait never ends early.
int poll_timeout(Clock::duration left) {
  const auto ms = std::chrono::ceil<Milliseconds>(left).count();
  return static_cast<int>(std::clamp<decltype(ms)>(ms, 0, 60'000));
}

}  // namespace

SerialPort::~SerialPort() { close(); }

bool SerialPort::open(const char* name) {
  // O_NONBLOCK: the open must not wait for a carrier, and reads and writes
  // wait in poll(), where the time-outs are kept. O_NOCTTY: the box's line
  // must never become this program's controlling terminal.
  const int fd = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  // The port is ours alone. TIOCEXCL keeps other opens out, but root passes
  // it, so the advisory lock is what stops a second downloader on the port.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return false;
  }
  (void)::ioctl(fd, TIOCEXCL);  // not every device is a terminal; configure_line tells
  handle_ = fd;
  return true;
}

bool SerialPort::configure_line() {
  // Built from scratch rather than edited from the current settings, so
  // nothing another program left on the port survives: raw bytes, 8N1, the
  // receiver on, modem status ignored, no hardware or software flow control.
  termios line{};
  line.c_iflag = 0;
  line.c_oflag = 0;
  line.c_lflag = 0;
  line.c_cflag = CS8 | CREAD | CLOCAL;
  line.c_cc[VMIN] = 1;
  line.c_cc[VTIME] = 0;
  if (::cfsetispeed(&line, B115200) != 0 || ::cfsetospeed(&line, B115200) != 0) {
    return false;
  }
  if (::tcsetattr(fd_of(handle_), TCSANOW, &line) != 0) {
    return false;
  }
  // DTR and RTS off. A pseudo-terminal has no modem lines and refuses this;
  // that alone does not make the line settings wrong.
  int lines = TIOCM_DTR | TIOCM_RTS;
  (void)::ioctl(fd_of(handle_), TIOCMBIC, &lines);
  return true;
}

void SerialPort::set_timeouts(const Timeouts& timeouts) { timeouts_ = timeouts; }

void SerialPort::close() {
  if (handle_ != invalid_handle) {
    ::close(fd_of(handle_));  // the result is not looked at
    handle_ = invalid_handle;
  }
}

ReadResult SerialPort::read(std::span<std::uint8_t> buffer) {
  ReadResult result{true, 0, false};
  if (buffer.empty()) {
    return result;
  }
  const auto start = Clock::now();
  const auto total_end = start + Milliseconds(std::uint64_t{timeouts_.per_byte_ms} * buffer.size());
  const auto gap = Milliseconds(timeouts_.gap_ms);
  auto last_byte = start;

  while (result.count < buffer.size()) {
    const auto now = Clock::now();
    // The gap rule runs only once the first byte is in: until then the
    // total time-out alone bounds the wait.
    auto end = total_end;
    if (result.count > 0) {
      end = std::min(end, last_byte + gap);
    }
    if (now >= end) {
      break;
    }
    pollfd p{fd_of(handle_), POLLIN, 0};
    const int ready = ::poll(&p, 1, poll_timeout(end - now));
    if (ready < 0) {
      if (errno == EINTR) {
        continue;
      }
      result.ok = false;
      break;
    }
    if (ready == 0) {
      continue;  // the clock decides at the top of the loop
    }
    if ((p.revents & POLLIN) == 0) {
      // Hang-up or error with nothing left to read: the port has gone away.
      result.ok = false;
      result.lost = true;
      break;
    }
    const ssize_t n = ::read(fd_of(handle_), buffer.data() + result.count, buffer.size() - result.count);
    if (n > 0) {
      result.count += static_cast<std::size_t>(n);
      last_byte = Clock::now();
    } else if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
      continue;
    } else {
      // End of file (a device that is no terminal) or EIO (far end closed,
      // adapter unplugged): no more bytes will ever come, so do not wait.
      result.ok = false;
      result.lost = true;
      break;
    }
  }
  return result;
}

void SerialPort::write(std::span<const std::uint8_t> bytes) {
  // The clock is read only once the output queue is full: a record goes out
  // in thousands of 8-byte writes, and nearly all of them find room at once.
  std::optional<Clock::time_point> end;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd_of(handle_), bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && errno != EAGAIN) {
      return;  // nobody looks at a failed write: it shows as a missing reply
    }
    // Wait for room, but no longer than the write time-out allows, counted
    // from the first wait (the write itself takes no time until then).
    const auto now = Clock::now();
    if (!end) {
      end = now + Milliseconds(std::uint64_t{timeouts_.write_per_byte_ms} * bytes.size() +
                               timeouts_.write_constant_ms);
    }
    if (now >= *end) {
      return;
    }
    pollfd p{fd_of(handle_), POLLOUT, 0};
    if (::poll(&p, 1, poll_timeout(*end - now)) < 0 && errno != EINTR) {
      return;
    }
    if ((p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      return;
    }
  }
}

}  // namespace stb::link
