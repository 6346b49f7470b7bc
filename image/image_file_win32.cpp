// The image file on Windows: CreateFileA and ReadFile.
#include <windows.h>

#include <limits>

#include "image/download_image.h"

namespace stb::image {
namespace {

HANDLE as_handle(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }

}  // namespace

ImageFile::~ImageFile() { close(); }

bool ImageFile::open(const char* path) {
  close();
  // Share mode 0: nobody may rewrite the image while it is being sent.
  HANDLE handle =
      CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(handle);
  return true;
}

void ImageFile::close() {
  if (handle_ != invalid_handle) {
    CloseHandle(as_handle(handle_));  // nothing to do if this fails
    handle_ = invalid_handle;
  }
}

ReadResult ImageFile::read(std::span<std::uint8_t> buffer) {
  ReadResult result;
  if (handle_ == invalid_handle) {
    return result;
  }
  // ReadFile on a disk file delivers all it is asked for except at the end
  // of the file; gather anyway, so that "fewer only at the end" holds for
  // any file system.
  result.ok = true;
  while (result.count < buffer.size()) {
    const std::size_t left = buffer.size() - result.count;
    const DWORD wanted = left > std::numeric_limits<DWORD>::max()
                             ? std::numeric_limits<DWORD>::max()
                             : static_cast<DWORD>(left);
    DWORD got = 0;
    if (ReadFile(as_handle(handle_), buffer.data() + result.count, wanted, &got, nullptr) == 0) {
      result.ok = false;
      break;
    }
    if (got == 0) {
      break;  // end of file
    }
    result.count += got;
  }
  return result;
}

}  // namespace stb::image
