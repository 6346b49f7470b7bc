// The image file on POSIX systems.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "image/download_image.h"

namespace stb::image {

ImageFile::~ImageFile() { close(); }

bool ImageFile::open(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  handle_ = fd;
  return true;
}

void ImageFile::close() {
  if (handle_ != invalid_handle) {
    ::close(static_cast<int>(handle_));
    handle_ = invalid_handle;
  }
}

ReadResult ImageFile::read(std::span<std::uint8_t> buffer) {
  // A read of a regular file may still come back short (a signal, a pipe
  // or FIFO given as the image): gather until the buffer is full or the
  // file has ended.
  ReadResult result{true, 0};
  while (result.count < buffer.size()) {
    const ssize_t n = ::read(static_cast<int>(handle_), buffer.data() + result.count, buffer.size() - result.count);
    if (n > 0) {
      result.count += static_cast<std::size_t>(n);
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      result.ok = false;
      break;
    }
  }
  return result;
}

}  // namespace stb::image
