#include <gtest/gtest.h>

#include "protocol/download.h"

namespace stb {
namespace {

TEST(Progress, FigureOfRecordNumberAndCount) {
  struct Case {
    std::uint16_t number, count;
    int percent;
  };
  const Case cases[] = {
      {0, 3, 33},     {1, 3, 66},     {2, 3, 100},   // the usual run of three
      {3, 3, 133},    {9, 3, 333},                   // at or above the count: not checked
      {0, 0, 0},      {65535, 0, 0},                 // no count: 0, not a division by zero
      {65535, 1, 6553600}, {0, 65535, 0}, {65534, 65535, 100},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(protocol::progress_percent(c.number, c.count), c.percent) << c.number << "/" << c.count;
  }
}

TEST(ReplyText, PrintableBytesAsTheyAreOthersEscapedUpToTheFirstZero) {
  struct Case {
    link::ReplyBuffer reply;
    std::string_view shown;
  };
  const Case cases[] = {
      {{'2', 'A', 'C', 'K', '3', 0}, "2ACK3"},
      {{0, 0, 0, 0, 0, 0}, ""},
      {{'2', 'A', 0, 'K', '3', 0}, "2A"},
      {{0x1B, '[', '2', 'J', '3', 0}, "\\x1b[2J3"},
      {{0x7F, 0x80, 0xFF, '\n', '\r', 0}, "\\x7f\\x80\\xff\\x0a\\x0d"},
      {{'2', 'Q', 'X', 'I', '3', 'Z'}, "2QXI3"},  // never past the five reply bytes
  };
  for (const Case& c : cases) {
    protocol::ReplyText text;
    EXPECT_EQ(protocol::format_reply(c.reply, text), c.shown);
    EXPECT_EQ(text[c.shown.size()], '\0');
  }
}

}  // namespace
}  // namespace stb
