// The console of the program: standard output and standard error.
#pragma once

#include "protocol/download.h"

namespace stb::app {

// On a console every message is out the moment it is printed, so the
// progress line redraws in place. Redirected, both streams are written in
// 4,096-byte blocks, and standard output is always written out before
// anything goes to standard error, so two streams redirected into one file
// hold the text in the order it was printed.
class StdioConsole final : public protocol::Console {
 public:
  StdioConsole();
  void out(std::string_view text) override;
  void err(std::string_view text) override;
};

}  // namespace stb::app
