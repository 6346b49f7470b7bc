#include "app/console.h"

#include <array>
#include <cstdio>

#include "app/process.h"

namespace stb::app {
namespace {

constexpr std::size_t block_size = 4096;
std::array<char, block_size> out_block;
std::array<char, block_size> err_block;

void set_buffering(std::FILE* stream, std::array<char, block_size>& block) {
  if (stream_is_terminal(stream)) {
    std::setvbuf(stream, nullptr, _IONBF, 0);
  } else {
    std::setvbuf(stream, block.data(), _IOFBF, block.size());
  }
}

}  // namespace

StdioConsole::StdioConsole() {
  set_buffering(stdout, out_block);
  set_buffering(stderr, err_block);
}

// A failed console write (a closed pipe) is not a failure of the download:
// the results are not looked at.
void StdioConsole::out(std::string_view text) { (void)std::fwrite(text.data(), 1, text.size(), stdout); }

void StdioConsole::err(std::string_view text) {
  (void)std::fflush(stdout);
  (void)std::fwrite(text.data(), 1, text.size(), stderr);
  (void)std::fflush(stderr);
}

}  // namespace stb::app
