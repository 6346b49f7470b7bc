// The download allocates nothing once the program runs. This binary replaces
// the C library's allocator with one that counts the calls made by the test's
// own thread while a run is under way (operator new ends up in malloc too),
// then runs whole downloads, good and failing: in-process over the phases,
// and through the real driver with its serial port, image file and console
// against a box on a pseudo-terminal.

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "app/console.h"
#include "app/driver.h"
#include "healthy_box.h"
#include "support/fakes.h"

// glibc's own entry points, which the replacements below pass on to.
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* block);
}

namespace {

thread_local bool counting = false;
thread_local std::size_t allocations = 0;

void count() {
  if (counting) {
    ++allocations;
  }
}

// Counts what the calling thread allocates between its construction and
// `taken()`.
class AllocationCount {
 public:
  AllocationCount() {
    allocations = 0;
    counting = true;
  }
  ~AllocationCount() { counting = false; }
  AllocationCount(const AllocationCount&) = delete;
  AllocationCount& operator=(const AllocationCount&) = delete;
  std::size_t taken() {
    counting = false;
    return allocations;
  }
};

}  // namespace

extern "C" {
void* malloc(std::size_t size) noexcept {
  count();
  return __libc_malloc(size);
}
void* calloc(std::size_t n, std::size_t size) noexcept {
  count();
  return __libc_calloc(n, size);
}
void* realloc(void* block, std::size_t size) noexcept {
  count();
  return __libc_realloc(block, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
  count();
  return __libc_memalign(alignment, size);
}
int posix_memalign(void** block, std::size_t alignment, std::size_t size) noexcept {
  count();
  *block = __libc_memalign(alignment, size);
  return *block == nullptr ? ENOMEM : 0;
}
void free(void* block) noexcept { __libc_free(block); }
}

namespace stb {
namespace {

using testing::file_header;
using testing::record;

// A console that keeps only the end of what it was given, in place.
class QuietConsole final : public protocol::Console {
 public:
  std::array<char, 64> last{};
  std::size_t texts = 0;
  void out(std::string_view t) override { keep(t); }
  void err(std::string_view t) override { keep(t); }

 private:
  void keep(std::string_view t) {
    ++texts;
    last.fill('\0');
    std::copy_n(t.begin(), std::min(t.size(), last.size() - 1), last.begin());
  }
};

// A box that never answers.
class SilentBox final : public link::Port {
 public:
  link::ReadResult read(std::span<std::uint8_t>) override { return {true, 0, false}; }
  void write(std::span<const std::uint8_t>) override {}
};

TEST(NoAllocation, CountingSeesAnAllocation) {
  AllocationCount c;
  auto* p = new std::string(100, 'x');  // proves the counter is wired up
  const std::size_t n = c.taken();
  delete p;
  EXPECT_GE(n, 1U);
}

TEST(NoAllocation, PhasesGoodAndFailing) {
  const std::string good = file_header(3) + record(0, 5) + record(1, 0) + record(2, 40000);
  const std::string cut = good.substr(0, good.size() - 7);
  struct Case {
    const char* name;
    const std::string& image;
    bool silent;
    bool downloaded;
  };
  const Case cases[] = {
      {"complete download", good, false, true},
      {"image cut short", cut, false, false},
      {"silent box", good, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    image::MemorySource source(testing::as_bytes(c.image));
    reliability::HealthyBox healthy;
    SilentBox silent;
    link::Port& port = c.silent ? static_cast<link::Port&>(silent) : healthy;
    QuietConsole console;
    static protocol::Buffers buffers;
    buffers = {};
    protocol::Session session{port, source, console, buffers};

    AllocationCount allocations;
    const bool downloaded = protocol::download(session);
    EXPECT_EQ(allocations.taken(), 0U);
    EXPECT_EQ(downloaded, c.downloaded);
    EXPECT_GT(console.texts, 0U);
  }
}

// The box end of a pseudo-terminal, played by a thread that follows one
// known image through a healthy download.
class PtyBox {
 public:
  explicit PtyBox(const std::string& image) : image_(image) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0) {
      path_ = ::ptsname(master_);
    }
  }
  ~PtyBox() {
    if (thread_.joinable()) {
      thread_.join();
    }
    if (master_ >= 0) {
      ::close(master_);
    }
  }
  PtyBox(const PtyBox&) = delete;
  PtyBox& operator=(const PtyBox&) = delete;

  [[nodiscard]] const std::string& path() const { return path_; }
  void start() { thread_ = std::thread([this] { play(); }); }
  void join() { thread_.join(); }
  [[nodiscard]] const std::string& received() const { return received_; }

 private:
  void play() {
    const std::size_t header = image::file_header_size;
    send("2QXI3");
    if (!expect(5)) return;
    send("2NXT3");
    if (!expect(header)) return;
    send("2ACK3");
    if (!expect(5)) return;
    for (std::size_t at = header; at < image_.size();) {
      const auto* p = reinterpret_cast<const std::uint8_t*>(image_.data() + at);
      const std::size_t size = image::record_size(std::uint32_t{p[8]} << 24 | std::uint32_t{p[9]} << 16 |
                                                  std::uint32_t{p[10]} << 8 | p[11]);
      if (!expect(protocol::data_header_size)) return;
      send("2ACK3");
      if (!expect(5 + size)) return;
      send("2ACK3");
      if (!expect(5)) return;
      at += size;
    }
    if (!expect(5)) return;
    send("2ACK3");
    send("2DLD3");
    send("2DBD3");
    send("2DVD3");
  }
  void send(std::string_view token) const { (void)!::write(master_, token.data(), token.size()); }
  // Gathers n more bytes from the host, giving up after 5 s of silence.
  bool expect(std::size_t n) {
    char chunk[512];
    for (std::size_t want = received_.size() + n; received_.size() < want;) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 5000) <= 0) return false;
      const ssize_t got = ::read(master_, chunk, std::min(sizeof chunk, want - received_.size()));
      if (got <= 0) return false;
      received_.append(chunk, static_cast<std::size_t>(got));
    }
    return true;
  }

  std::string image_;
  int master_ = -1;
  std::string path_;
  std::string received_;
  std::thread thread_;
};

TEST(NoAllocation, WholeDriverOnASerialPort) {
  const std::string image = file_header(2) + record(0, 100) + record(1, 3000);
  const auto path = std::filesystem::temp_directory_path() / ("stb-noalloc-" + std::to_string(::getpid()) + ".dnl");
  std::ofstream(path, std::ios::binary).write(image.data(), static_cast<std::streamsize>(image.size()));
  const std::string image_path = path.string();

  PtyBox box(image);
  ASSERT_FALSE(box.path().empty());
  // The console's output goes to a file while the driver runs.
  std::fflush(stdout);
  const int saved_out = ::dup(1);
  const auto out_path = path.string() + ".out";
  const int out_fd = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(out_fd, 0);
  ::dup2(out_fd, 1);
  app::StdioConsole console;
  box.start();

  const char* arguments[] = {image_path.c_str(), box.path().c_str()};
  int status = -1;
  std::size_t taken = 0;
  {
    AllocationCount allocations;
    status = app::run_download(arguments, console);
    taken = allocations.taken();
  }
  std::fflush(stdout);
  ::dup2(saved_out, 1);
  ::close(saved_out);
  ::close(out_fd);
  box.join();

  EXPECT_EQ(taken, 0U);
  EXPECT_EQ(status, 0);
  std::ifstream shown(out_path, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(shown)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(text.ends_with(protocol::success_line)) << text;
  EXPECT_EQ(box.received().size(), 5 + 14 + 5 + 2 * (14 + 5 + 5) + 116 + 3016 + 5);
  std::filesystem::remove(path);
  std::filesystem::remove(out_path);
}

}  // namespace
}  // namespace stb
