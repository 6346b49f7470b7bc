// Process settings on Windows.
#include <windows.h>

#include <io.h>

#include "app/process.h"

namespace stb::app {

void prepare_process() {
  // Nothing to do: Windows has no signal for a closed pipe, a write to one
  // only fails, and the console's interrupt keys keep their default effect.
}

bool stream_is_terminal(std::FILE* stream) {
  // _isatty also holds for other character devices such as NUL; only a
  // handle that has a console mode is a console.
  const int descriptor = _fileno(stream);
  if (descriptor < 0) {
    return false;
  }
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
  DWORD mode = 0;
  return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

}  // namespace stb::app
