// The POSIX serial port on a real pseudo-terminal: exclusive open, line
// settings, and the read rule with small time-outs.

#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "link/serial_port.h"

namespace stb {
namespace {

using namespace std::string_literals;

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Owns the box end of a pseudo-terminal.
class Pty {
 public:
  Pty() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0) {
      path_ = ::ptsname(master_);
    }
  }
  ~Pty() { close_master(); }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  [[nodiscard]] const char* path() const { return path_.c_str(); }
  void send(std::string_view bytes) const { ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size())); }
  std::string receive() const {
    std::string got(256, '\0');
    const ssize_t n = ::read(master_, got.data(), got.size());
    got.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return got;
  }
  void close_master() {
    if (master_ >= 0) {
      ::close(master_);
      master_ = -1;
    }
  }

 private:
  int master_ = -1;
  std::string path_;
};

// Small time-outs keep the read rule testable in well under a second.
constexpr link::Timeouts quick{100, 100, 10, 10};

struct Timed {
  link::ReadResult result;
  long ms;
};

Timed timed_read(link::SerialPort& port, std::span<std::uint8_t> buffer) {
  const auto start = Clock::now();
  const link::ReadResult r = port.read(buffer);
  return {r, static_cast<long>(std::chrono::duration_cast<milliseconds>(Clock::now() - start).count())};
}

class SerialPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(std::string(pty.path()).empty());
    ASSERT_TRUE(port.open(pty.path()));
    ASSERT_TRUE(port.configure_line());
    port.set_timeouts(quick);
  }
  Pty pty;
  link::SerialPort port;
  std::array<std::uint8_t, 5> buffer{};
};

TEST_F(SerialPortTest, LineIsRawEightNoneOneAt115200WithoutFlowControl) {
  const int fd = ::open(pty.path(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);  // we run as root, who passes TIOCEXCL
  termios t{};
  ASSERT_EQ(::tcgetattr(fd, &t), 0);
  ::close(fd);
  EXPECT_EQ(::cfgetospeed(&t), B115200);
  EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
  EXPECT_NE(t.c_cflag & CLOCAL, 0U);
  EXPECT_NE(t.c_cflag & CREAD, 0U);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | ISTRIP), 0U);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0U);
  EXPECT_EQ(t.c_oflag & OPOST, 0U);
}

TEST_F(SerialPortTest, SecondOpenOfAHeldPortFails) {
  link::SerialPort second;
  EXPECT_FALSE(second.open(pty.path()));
  port.close();
  EXPECT_TRUE(second.open(pty.path()));
}

TEST_F(SerialPortTest, ReadEndsAtTheCountAtTheGapOrAtTheTotal) {
  // All five at once: no waiting.
  pty.send("2ACK3");
  Timed t = timed_read(port, buffer);
  EXPECT_TRUE(t.result.ok);
  EXPECT_EQ(t.result.count, 5U);
  EXPECT_LT(t.ms, 250);

  // Two bytes, then nothing: the gap ends the read about 100 ms later.
  pty.send("2A");
  t = timed_read(port, buffer);
  EXPECT_TRUE(t.result.ok);
  EXPECT_EQ(t.result.count, 2U);
  EXPECT_GE(t.ms, 100);
  EXPECT_LT(t.ms, 450);

  // Nothing at all: the total, 100 ms a byte, ends it.
  t = timed_read(port, buffer);
  EXPECT_TRUE(t.result.ok);
  EXPECT_EQ(t.result.count, 0U);
  EXPECT_FALSE(t.result.lost);
  EXPECT_GE(t.ms, 500);
  EXPECT_LT(t.ms, 1500);
}

TEST_F(SerialPortTest, BytesTrickledUnderTheGapAreGatheredUntilTheTotal) {
  std::thread box([this] {
    for (const char c : std::string("2ACK3")) {
      std::this_thread::sleep_for(milliseconds(60));
      pty.send(std::string(1, c));
    }
  });
  const Timed t = timed_read(port, buffer);
  box.join();
  EXPECT_EQ(t.result.count, 5U);
  EXPECT_EQ(std::string(buffer.begin(), buffer.end()), "2ACK3");
}

TEST_F(SerialPortTest, LostFarEndFailsAtOnceEveryTime) {
  pty.send("2A");
  pty.close_master();
  for (int i = 0; i < 3; ++i) {
    const Timed t = timed_read(port, buffer);
    EXPECT_FALSE(t.result.ok);
    EXPECT_TRUE(t.result.lost);
    EXPECT_LT(t.ms, 250);
  }
}

TEST_F(SerialPortTest, WritesArriveWholeAndInOrder) {
  const std::string block = "\x55\xAA\x00\x01\x02\x03\r\n\x11\x13"s;
  port.write(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(block.data()), block.size()));
  EXPECT_EQ(pty.receive(), block);  // no translation, no flow-control bytes eaten
}

TEST(SerialPort, DeviceThatIsNoTerminal) {
  // An empty file stands in for /dev/null, which the end-to-end suite uses
  // and which would be locked by whichever runs first.
  char path[] = "/tmp/stb-not-a-tty-XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ::close(fd);
  link::SerialPort port;
  ASSERT_TRUE(port.open(path));
  ::unlink(path);
  EXPECT_FALSE(port.configure_line());
  port.set_timeouts(quick);
  std::array<std::uint8_t, 5> buffer{};
  const link::ReadResult r = port.read(buffer);  // end of file at once
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.count, 0U);
}

TEST(SerialPort, MissingDeviceCannotBeOpened) {
  link::SerialPort port;
  EXPECT_FALSE(port.open("/dev/no-such-port"));
  EXPECT_FALSE(port.is_open());
}

}  // namespace
}  // namespace stb
