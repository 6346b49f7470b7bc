// The Win32 side of the platform layer, run under wine (or on Windows): the
// image file, a port that cannot be opened or is no port, and the console
// test. What a real COM port does is tested end to end in wine_e2e_test.cpp.
#include <windows.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/process.h"
#include "image/download_image.h"
#include "link/serial_port.h"

namespace stb {
namespace {

// A file in the temporary folder, removed again when the test ends.
class TempFile {
 public:
  explicit TempFile(const std::vector<std::uint8_t>& bytes) {
    std::array<char, MAX_PATH> dir{};
    std::array<char, MAX_PATH> name{};
    if (GetTempPathA(static_cast<DWORD>(dir.size()), dir.data()) != 0 &&
        GetTempFileNameA(dir.data(), "stb", 0, name.data()) != 0) {
      path_ = name.data();
    }
    std::FILE* f = std::fopen(path_.c_str(), "wb");
    if (f != nullptr) {
      std::fwrite(bytes.data(), 1, bytes.size(), f);
      std::fclose(f);
    }
  }
  ~TempFile() { DeleteFileA(path_.c_str()); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  [[nodiscard]] const char* path() const { return path_.c_str(); }

 private:
  std::string path_;
};

std::vector<std::uint8_t> numbered_bytes(std::size_t n) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) {
    v[i] = static_cast<std::uint8_t>(i * 7 + 1);
  }
  return v;
}

TEST(ImageFile, ReadsFrontToBackAndComesUpShortOnlyAtTheEnd) {
  const std::vector<std::uint8_t> bytes = numbered_bytes(70'000);  // more than one record buffer
  TempFile file(bytes);
  image::ImageFile image;
  ASSERT_TRUE(image.open(file.path()));

  std::vector<std::uint8_t> got;
  std::vector<std::uint8_t> chunk(14);
  for (std::size_t size : {14u, 12u, 65'536u, 65'536u, 10u}) {
    chunk.assign(size, 0);
    const image::ReadResult r = image.read(chunk);
    ASSERT_TRUE(r.ok);
    got.insert(got.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(r.count));
    if (r.count < size) {
      EXPECT_EQ(got.size(), bytes.size()) << "short before the end of the file";
    }
  }
  EXPECT_EQ(got, bytes);
  // At the end: a good read of nothing.
  const image::ReadResult end = image.read(chunk);
  EXPECT_TRUE(end.ok);
  EXPECT_EQ(end.count, 0u);
}

TEST(ImageFile, MissingFileCannotBeOpened) {
  image::ImageFile image;
  EXPECT_FALSE(image.open("no-such-folder\\no-such-image.dnl"));
}

TEST(ImageFile, IsHeldWithoutSharingUntilClosed) {
  TempFile file(numbered_bytes(20));
  image::ImageFile image;
  ASSERT_TRUE(image.open(file.path()));

  HANDLE writer = CreateFileA(file.path(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_EQ(writer, INVALID_HANDLE_VALUE) << "another program could rewrite the image";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  if (writer != INVALID_HANDLE_VALUE) {
    CloseHandle(writer);
  }
  image::ImageFile second;
  EXPECT_FALSE(second.open(file.path()));

  image.close();
  EXPECT_TRUE(second.open(file.path()));
}

// Names of ports nobody has: a COM name in any case goes through the device
// namespace, anything else is handed over as it stands; both fail.
TEST(SerialPort, PortsThatDoNotExistCannotBeOpened) {
  for (const char* name : {"com250", "COM251", "\\\\.\\COM252", "nosuchport", "com", "com5x"}) {
    SCOPED_TRACE(name);
    link::SerialPort port;
    EXPECT_FALSE(port.open(name));
    EXPECT_FALSE(port.is_open());
  }
}

// NUL opens like any device but has no communications state: the open
// succeeds and the line settings are refused, as on a device that is no
// serial port.
TEST(SerialPort, DeviceThatIsNoPortRefusesTheLineSettings) {
  link::SerialPort port;
  ASSERT_TRUE(port.open("NUL"));
  EXPECT_FALSE(port.configure_line());
  port.set_timeouts();  // not looked at, must not fail the run
  port.close();
  EXPECT_FALSE(port.is_open());
}

TEST(Process, FilesAndTheNullDeviceAreNoConsole) {
  // _isatty holds for NUL; the console test must not.
  for (const char* path : {static_cast<const char*>("NUL"), static_cast<const char*>(nullptr)}) {
    SCOPED_TRACE(path != nullptr ? path : "temporary file");
    std::FILE* stream = path != nullptr ? std::fopen(path, "w") : std::tmpfile();
    ASSERT_NE(stream, nullptr);
    EXPECT_FALSE(app::stream_is_terminal(stream));
    std::fclose(stream);
  }
}

}  // namespace
}  // namespace stb
