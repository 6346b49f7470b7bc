#include "tests/e2e/harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace stb::e2e {
namespace {

using Clock = std::chrono::steady_clock;

void drain(int& fd, std::string& into) {
  std::array<char, 8192> buffer{};
  const ssize_t n = ::read(fd, buffer.data(), buffer.size());
  if (n > 0) {
    into.append(buffer.data(), static_cast<std::size_t>(n));
  } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
    ::close(fd);
    fd = -1;
  }
}

int poll_ms(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::max<decltype(left)>(left, 0));
}

}  // namespace

Process::~Process() {
  if (pid_ > 0) {
    ::kill(-pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  for (int fd : {out_fd_, err_fd_}) {
    if (fd >= 0) {
      ::close(fd);
    }
  }
}

bool Process::start(const std::vector<std::string>& argv, const RunOptions& options) {
  options_ = options;
  int out_pipe[2] = {-1, -1};
  int err_pipe[2] = {-1, -1};
  int file_fd = -1;
  if (options.combined_file.empty()) {
    if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) {
      return false;
    }
  } else {
    file_fd = ::open(options.combined_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (file_fd < 0) {
      return false;
    }
  }
  std::vector<char*> args;
  for (const std::string& a : argv) {
    args.push_back(const_cast<char*>(a.c_str()));
  }
  args.push_back(nullptr);

  started_ = Clock::now();
  pid_ = ::fork();
  if (pid_ == 0) {
    // A process group of its own, so that the deadline kills whatever the
    // host command started (a Windows emulator, for one).
    ::setpgid(0, 0);
    const int out = file_fd >= 0 ? file_fd : out_pipe[1];
    const int err = file_fd >= 0 ? file_fd : err_pipe[1];
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    const int null_in = ::open("/dev/null", O_RDONLY);
    if (null_in >= 0) {
      ::dup2(null_in, STDIN_FILENO);
    }
    ::execvp(args[0], args.data());
    std::fprintf(stderr, "exec %s: %s\n", args[0], std::strerror(errno));
    ::_exit(127);
  }
  if (file_fd >= 0) {
    ::close(file_fd);
  } else {
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    out_fd_ = out_pipe[0];
    err_fd_ = err_pipe[0];
  }
  return pid_ > 0;
}

std::string Process::read_line(std::chrono::milliseconds deadline) {
  const auto end = Clock::now() + deadline;
  while (out_.find('\n') == std::string::npos && out_fd_ >= 0 && Clock::now() < end) {
    pollfd p{out_fd_, POLLIN, 0};
    if (::poll(&p, 1, poll_ms(end)) > 0) {
      drain(out_fd_, out_);
    }
  }
  const auto at = out_.find('\n');
  return at == std::string::npos ? std::string() : out_.substr(0, at + 1);
}

RunResult Process::finish() {
  RunResult r;
  const auto end = started_ + options_.deadline;
  while ((out_fd_ >= 0 || err_fd_ >= 0) && Clock::now() < end) {
    std::array<pollfd, 2> p{{{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}}};
    if (::poll(p.data(), p.size(), poll_ms(end)) <= 0) {
      continue;
    }
    if (out_fd_ >= 0 && p[0].revents != 0) {
      drain(out_fd_, out_);
    }
    if (err_fd_ >= 0 && p[1].revents != 0) {
      drain(err_fd_, err_);
    }
  }
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      break;
    }
    if (Clock::now() >= end) {
      r.killed = true;
      ::kill(-pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
    ::usleep(2000);
  }
  pid_ = -1;
  r.seconds = std::chrono::duration<double>(Clock::now() - started_).count();
  r.status = WIFEXITED(status) && !r.killed ? WEXITSTATUS(status) : -1;
  r.out = options_.combined_file.empty() ? out_ : read_text(options_.combined_file);
  r.err = err_;
  return r;
}

std::vector<std::string> host_command() {
  if (const char* env = std::getenv("STB_E2E_HOST"); env != nullptr && *env != '\0') {
    std::vector<std::string> words;
    std::istringstream in(env);
    for (std::string w; in >> w;) {
      words.push_back(w);
    }
    return words;
  }
  return {STBFLASH_PATH};
}

RunResult run_host(const std::vector<std::string>& args, const RunOptions& options) {
  std::vector<std::string> argv = host_command();
  argv.insert(argv.end(), args.begin(), args.end());
  Process p;
  if (!p.start(argv, options)) {
    return {};
  }
  return p.finish();
}

std::string scratch_dir() {
  static const std::string dir = [] {
    std::string pattern = "/tmp/stb-e2e-XXXXXX";
    const char* made = ::mkdtemp(pattern.data());
    return std::string(made != nullptr ? made : "/tmp");
  }();
  return dir;
}

std::string scratch_file(const std::string& name, const Bytes& bytes) {
  const std::string path = scratch_dir() + "/" + name;
  (void)sim::write_file(path, bytes);
  return path;
}

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

Bytes text_bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes healthy_wire(const sim::Image& image) {
  Bytes wire = text_bytes("2ACK3");
  sim::append(wire, sim::file_header_bytes(image));
  sim::append(wire, "2NXT3");
  for (const sim::Record& r : image.records) {
    sim::append(wire, sim::descriptor_bytes(static_cast<std::uint32_t>(r.payload.size())));
    sim::append(wire, "2NXT3");
    sim::append(wire, sim::record_bytes(r));
    sim::append(wire, "2NXT3");
  }
  sim::append(wire, "2DIS3");
  return wire;
}

std::string progress_line(std::uint16_t number, std::uint16_t count) {
  // (number + 1) * 100 / count, truncated; a count of 0 shows 0.
  const unsigned percent = count == 0 ? 0u : (number + 1u) * 100u / count;
  std::array<char, 64> line{};
  std::snprintf(line.data(), line.size(), "\r\t Program Downloading %3u%% ... ", percent);
  return line.data();
}

std::string progress(const sim::Image& image, std::size_t records) {
  std::string out;
  for (std::size_t i = 0; i < records && i < image.records.size(); ++i) {
    out += progress_line(image.records[i].number, image.count);
  }
  return out;
}

std::string success_out(const sim::Image& image) {
  return std::string(text::banner) + progress(image, image.records.size()) + std::string(text::done_tail);
}

namespace text {
std::string cannot_open_image(const std::string& path) { return "\n\tCan't open input file " + path + "\n"; }

std::string cannot_open_port(const std::string& port) {
  return "\n\tCan't open serial port [" + port + "]\n" +
         "\t\tPlease check if the com port has the following parameters.\n"
         "\t\tBaudrate  : 115200bps\n"
         "\t\tParity    : no parity\n"
         "\t\tDatabyte  : 8 bit/data\n"
         "\t\tStop bit  : 1\n";
}
}  // namespace text

}  // namespace stb::e2e
