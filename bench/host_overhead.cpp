// host_overhead: the downloader at full speed against the bare pseudo-terminal.
//
//   host_overhead raw --bytes N [--write-size 8] [--reader box|drain]
//       A child process writes N bytes to a pseudo-terminal slave in writes
//       of the given size while this process reads the master: like the
//       simulated box (non-blocking reads of 4 KiB, poll() when empty) or in
//       blocking 64 KiB reads (the fastest a reader can drain it). Prints the
//       throughput and the writer's CPU time.
//
//   host_overhead download --stbflash PATH --image FILE --box CMD
//                          --image-bytes N --log FILE
//       Starts the box command, which makes a pseudo-terminal and prints
//       "ready on PATH" (its output goes to FILE.box), then the downloader on
//       PATH, with no pacing; the downloader's output goes to FILE. Prints the downloader's
//       wall time from start to exit, its CPU time and its peak resident
//       memory.
//
//   host_overhead lean --stbflash PATH --image FILE --log FILE
//       The downloader against a lean box in this process that reads like
//       the simulated box but does nothing else. Prints the time from the
//       image header's first byte to the disconnect, the downloader's CPU
//       time and peak memory, and the host's answer times: from the box's
//       acknowledgement written to the host's next byte read.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <string_view>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "bench/child_process.h"
#include "bench/clock.h"
#include "bench/options.h"

namespace stb::bench {
namespace {

constexpr double mib = 1024.0 * 1024.0;
constexpr std::size_t drain_size = 65536;
constexpr std::size_t box_read_size = 4096;
constexpr std::int64_t port_wait_ms = 10'000;

double cpu_seconds(const rusage& u) {
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The writer: what the downloader does to its port, minus the protocol.
[[noreturn]] void write_raw(const char* slave, std::size_t bytes, std::size_t write_size) {
  const int fd = ::open(slave, O_RDWR | O_NOCTTY);
  termios t{};
  if (fd < 0 || ::tcgetattr(fd, &t) != 0) {
    ::_exit(3);
  }
  ::cfmakeraw(&t);
  if (::tcsetattr(fd, TCSANOW, &t) != 0) {
    ::_exit(3);
  }
  std::vector<std::uint8_t> block(write_size, 0xA5);
  for (std::size_t sent = 0; sent < bytes;) {
    const ssize_t n = ::write(fd, block.data(), std::min(write_size, bytes - sent));
    if (n < 0) {
      ::_exit(4);
    }
    sent += static_cast<std::size_t>(n);
  }
  ::_exit(0);
}

int run_raw(const Options& options) {
  const auto bytes = options.number("bytes", 64 * mib);
  const auto write_size = options.number("write-size", 8);
  if (!bytes || !write_size || *write_size < 1) {
    return 2;
  }
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
    std::perror("pseudo-terminal");
    return 1;
  }
  const std::string slave = ::ptsname(master);
  const auto total = static_cast<std::size_t>(*bytes);
  const std::int64_t start = now_ns();
  const pid_t writer = ::fork();
  if (writer == 0) {
    write_raw(slave.c_str(), total, static_cast<std::size_t>(*write_size));
  }
  if (writer < 0) {
    std::perror("fork");
    return 1;
  }
  const bool like_box = options.text("reader").value_or("box") == "box";
  if (like_box) {
    (void)::fcntl(master, F_SETFL, O_NONBLOCK);  // best effort: a blocking read only drains faster
  }
  std::vector<std::uint8_t> buffer(like_box ? box_read_size : drain_size);
  std::size_t got = 0;
  while (got < total) {
    const ssize_t n = ::read(master, buffer.data(), buffer.size());
    if (n < 0 && errno == EAGAIN) {
      pollfd p{master, POLLIN, 0};
      (void)::poll(&p, 1, 100);
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && errno == EIO) {
      // No slave open yet: EIO until the child opens it.
      std::this_thread::sleep_for(std::chrono::microseconds(100));
      continue;
    }
    if (n <= 0) {
      break;
    }
    got += static_cast<std::size_t>(n);
  }
  const std::int64_t end = now_ns();
  int status = 0;
  rusage usage{};
  (void)::wait4(writer, &status, 0, &usage);
  ::close(master);
  const double seconds = static_cast<double>(end - start) / 1e9;
  const bool ok = got == total && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  std::printf("raw reader=%s bytes=%zu write_size=%.0f seconds=%.4f mib_per_s=%.3f writer_cpu_s_per_mib=%.5f status=%s\n",
              like_box ? "box" : "drain", got, *write_size, seconds, static_cast<double>(got) / mib / seconds,
              cpu_seconds(usage) / (static_cast<double>(got) / mib), ok ? "ok" : "invalid");
  return ok ? 0 : 1;
}

// The box announces its port with a line "... ready on PATH" in the log.
std::string wait_for_port(const std::string& log) {
  constexpr std::string_view marker = "ready on ";
  const std::int64_t deadline = now_ns() + port_wait_ms * 1'000'000;
  while (now_ns() < deadline) {
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);) {
      const auto at = line.find(marker);
      if (at != std::string::npos) {
        return line.substr(at + marker.size());
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return {};
}

int run_download(const Options& options) {
  const auto stbflash = options.text("stbflash");
  const auto image = options.text("image");
  const auto box_cmd = options.text("box");
  const auto image_bytes = options.number("image-bytes", 0);
  const auto log = options.text("log");
  if (!stbflash || !image || !box_cmd || !image_bytes || !log) {
    return 2;
  }
  Child box;
  const std::string box_log = *log + ".box";
  std::remove(box_log.c_str());  // a log of an earlier run; absent is fine
  const std::string port = box.start_shell(*box_cmd, box_log) ? wait_for_port(box_log) : "";
  if (port.empty()) {
    std::fprintf(stderr, "host_overhead: the box did not say where it is ready\n");
    return 1;
  }
  Child host;
  const std::int64_t start = now_ns();
  if (!host.start({*stbflash, *image, port}, *log)) {
    std::perror("stbflash");
    return 1;
  }
  const ChildExit end = host.wait(900'000);
  (void)box.wait(2'000);  // the box ends once the host has closed the line
  std::ifstream text(*log);
  const std::string output((std::istreambuf_iterator<char>(text)), std::istreambuf_iterator<char>());
  const bool ok = end.exited && output.find("Firmware was downloaded successfully.") != std::string::npos;
  const double seconds = static_cast<double>(end.end_ns - start) / 1e9;
  const double image_mib = *image_bytes / mib;
  std::printf("download image_bytes=%.0f seconds=%.4f mib_per_s=%.3f cpu_s=%.4f cpu_ms_per_mib=%.3f "
              "peak_rss_kib=%ld status=%s\n",
              *image_bytes, seconds, image_mib / seconds, cpu_seconds(end.usage),
              1000 * cpu_seconds(end.usage) / image_mib, end.usage.ru_maxrss, ok ? "ok" : "invalid");
  return ok ? 0 : 1;
}


// A lean box for the full-speed run: it reads like the simulated box (4 KiB
// non-blocking reads, poll() when empty) but checks nothing and keeps
// nothing, so that what is left of the time is the host's and the protocol's.
class LeanBox {
 public:
  explicit LeanBox(int master) : master_(master) {}

  std::vector<std::int64_t> answers_ns;  // acknowledgement written -> host's next byte read

  bool read_exact(std::uint8_t* out, std::size_t n) {
    while (n > 0) {
      if (head_ == tail_ && !fill()) {
        return false;
      }
      const std::size_t take = std::min(n, tail_ - head_);
      if (out != nullptr) {
        std::copy_n(buffer_.data() + head_, take, out);
        out += take;
      }
      head_ += take;
      n -= take;
    }
    return true;
  }
  bool expect(std::string_view token) {
    std::array<std::uint8_t, 5> got{};
    return read_exact(got.data(), got.size()) && std::equal(got.begin(), got.end(), token.begin());
  }
  bool send(std::string_view token, bool is_ack) {
    if (::write(master_, token.data(), token.size()) != static_cast<ssize_t>(token.size())) {
      return false;
    }
    ack_at_ = is_ack ? now_ns() : 0;
    return true;
  }

 private:
  static constexpr int silence_ms = 10'000;

  bool fill() {
    head_ = tail_ = 0;
    for (;;) {
      const ssize_t n = ::read(master_, buffer_.data(), buffer_.size());
      if (n > 0) {
        if (ack_at_ != 0) {
          answers_ns.push_back(now_ns() - ack_at_);
          ack_at_ = 0;
        }
        tail_ = static_cast<std::size_t>(n);
        return true;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR && errno != EIO) {
        return false;
      }
      // EIO: the host has not opened its end yet (or has closed it).
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, errno == EIO ? 1 : silence_ms) == 0) {
        return false;
      }
    }
  }

  int master_;
  std::array<std::uint8_t, box_read_size> buffer_{};
  std::size_t head_ = 0;
  std::size_t tail_ = 0;
  std::int64_t ack_at_ = 0;
};

// The box's side of a clean download, timed from the image header's first
// byte to the disconnect.
bool play_box(LeanBox& box, std::int64_t& start_ns, std::int64_t& end_ns) {
  constexpr std::size_t descriptor_size = 14;
  std::array<std::uint8_t, descriptor_size> block{};
  if (!box.send("2QXI3", false) || !box.expect("2ACK3") || !box.send("2NXT3", false) ||
      !box.read_exact(block.data(), 1)) {
    return false;
  }
  start_ns = now_ns();
  if (!box.read_exact(block.data() + 1, descriptor_size - 1) || !box.send("2ACK3", true) || !box.expect("2NXT3")) {
    return false;
  }
  for (;;) {
    if (!box.read_exact(block.data(), 5)) {
      return false;
    }
    if (std::equal(block.begin(), block.begin() + 5, std::string_view("2DIS3").begin())) {
      end_ns = now_ns();
      break;
    }
    if (!box.read_exact(block.data() + 5, descriptor_size - 5) || !box.send("2ACK3", true) ||
        !box.expect("2NXT3")) {
      return false;
    }
    const std::size_t length = std::size_t{block[1]} << 24 | std::size_t{block[2]} << 16 |
                               std::size_t{block[3]} << 8 | block[4];
    if (!box.read_exact(nullptr, length + 16) || !box.send("2ACK3", true) || !box.expect("2NXT3")) {
      return false;
    }
  }
  return box.send("2ACK3", false) && box.send("2DLD3", false) && box.send("2DBD3", false) &&
         box.send("2DVD3", false);
}

int run_lean(const Options& options) {
  const auto stbflash = options.text("stbflash");
  const auto image = options.text("image");
  const auto log = options.text("log");
  if (!stbflash || !image || !log) {
    return 2;
  }
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  termios t{};
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::tcgetattr(master, &t) != 0) {
    std::perror("pseudo-terminal");
    return 1;
  }
  ::cfmakeraw(&t);
  (void)::tcsetattr(master, TCSANOW, &t);  // the host sets its end raw as well
  Child host;
  if (!host.start({*stbflash, *image, ::ptsname(master)}, *log)) {
    std::perror("stbflash");
    return 1;
  }
  LeanBox box(master);
  std::int64_t start = 0;
  std::int64_t end = 0;
  const bool played = play_box(box, start, end);
  const ChildExit done = host.wait(10'000);
  ::close(master);
  const bool ok = played && done.exited;
  const std::vector<std::int64_t>& a = box.answers_ns;
  std::vector<std::int64_t> sorted(a);
  std::sort(sorted.begin(), sorted.end());
  const auto at = [&](double p) {
    return sorted.empty() ? 0.0 : static_cast<double>(sorted[static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5)]) / 1e3;
  };
  std::printf("lean seconds=%.4f cpu_s=%.4f peak_rss_kib=%ld answers=%zu answer_median_us=%.1f answer_p99_us=%.1f "
              "status=%s\n",
              static_cast<double>(end - start) / 1e9, cpu_seconds(done.usage), done.usage.ru_maxrss, a.size(),
              at(0.5), at(0.99), ok ? "ok" : "invalid");
  return ok ? 0 : 1;
}

}  // namespace
}  // namespace stb::bench

int main(int argc, char** argv) {
  using namespace stb::bench;
  const std::string what = argc > 1 ? argv[1] : "";
  Options options;
  if (what == "raw" && options.parse(argc, argv, 2, {"bytes", "write-size", "reader"})) {
    return run_raw(options);
  }
  if (what == "download" &&
      options.parse(argc, argv, 2, {"stbflash", "image", "box", "image-bytes", "log"})) {
    return run_download(options);
  }
  if (what == "lean" && options.parse(argc, argv, 2, {"stbflash", "image", "log"})) {
    return run_lean(options);
  }
  std::fprintf(stderr, "usage: host_overhead raw|download|lean ... (see the comment at the top of host_overhead.cpp)\n");
  return 2;
}
