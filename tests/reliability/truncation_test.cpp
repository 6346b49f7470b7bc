// Every prefix of a small valid image, read from a real file and sent to a
// healthy box: a cut on a record boundary is a complete download of the
// records before it; any other cut ends with "File read error." at the
// record it falls in, after exactly the records before it went out whole.

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "healthy_box.h"
#include "support/fakes.h"

namespace stb {
namespace {

using testing::file_header;
using testing::record;

const std::string ack(link::token_ack), nxt(link::token_nxt), dis(link::token_dis);

std::string descriptor_of(const std::string& rec) {
  image::PacketHeader packet{};
  std::copy_n(rec.begin(), packet.size(), packet.begin());
  protocol::DataHeader header{};
  protocol::build_data_header(packet, header);
  return testing::bytes(header);
}

class TempFile {
 public:
  TempFile() {
    std::string pattern = (std::filesystem::temp_directory_path() / "stb-cut-XXXXXX").string();
    const int fd = ::mkstemp(pattern.data());
    if (fd >= 0) {
      ::close(fd);
      path_ = pattern;
    }
  }
  ~TempFile() {
    if (!path_.empty()) {
      std::remove(path_.c_str());
    }
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  void write(std::string_view bytes) const {
    std::ofstream(path_, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  [[nodiscard]] const char* path() const { return path_.c_str(); }

 private:
  std::string path_;
};

TEST(Truncation, EveryPrefixOfAnImage) {
  // Payloads of 5, 0 and 11 bytes: records of 21, 16 and 27 bytes, so the
  // sweep covers a record sent in 8-byte writes plus a shorter one, an empty
  // payload, and a record that is a multiple of 8 long.
  const std::vector<std::string> records{record(0, 5), record(1, 0), record(2, 11, 'q')};
  const std::string header = file_header(3);
  std::string image = header;
  std::vector<std::size_t> starts;
  for (const std::string& r : records) {
    starts.push_back(image.size());
    image += r;
  }
  const char* progress[] = {"\r\t Program Downloading  33% ... ", "\r\t Program Downloading  66% ... ",
                            "\r\t Program Downloading 100% ... "};

  TempFile file;
  ASSERT_STRNE(file.path(), "");
  int complete = 0;
  for (std::size_t cut = 0; cut <= image.size(); ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut) + " of " + std::to_string(image.size()));

    // What the cut should do, from the layout alone.
    std::size_t whole = 0;          // records wholly before the cut
    bool descriptor_sent = false;   // the cut falls in the body of the next record
    for (std::size_t i = 0; i < records.size(); ++i) {
      if (cut >= starts[i] + records[i].size()) {
        whole = i + 1;
      } else if (cut >= starts[i] + image::packet_header_size) {
        descriptor_sent = true;
        break;
      } else {
        break;
      }
    }
    const bool boundary = cut == header.size() || (whole > 0 && cut == starts[whole - 1] + records[whole - 1].size());

    std::string wire = ack;
    std::string out;
    if (cut >= header.size()) {
      wire += header + nxt;
    }
    for (std::size_t i = 0; i < whole; ++i) {
      wire += descriptor_of(records[i]) + nxt + records[i] + nxt;
      out += progress[i];
    }
    if (descriptor_sent) {
      wire += descriptor_of(records[whole]) + nxt;
    }
    if (boundary) {
      wire += dis;
      out += "done\n\t Flash Burning ... done\n\t Program Verifying ... done";
    }

    file.write(std::string_view(image).substr(0, cut));
    image::ImageFile source;
    ASSERT_TRUE(source.open(file.path()));
    reliability::HealthyBox box;
    testing::FakeConsole console;
    static protocol::Buffers buffers;
    buffers = {};
    protocol::Session session{box, source, console, buffers};

    EXPECT_EQ(protocol::download(session), boundary);
    EXPECT_EQ(box.sent(), wire);
    EXPECT_EQ(console.out_text, out);
    EXPECT_EQ(console.err_text, boundary ? "" : "\n\tFile read error.\n");
    complete += boundary ? 1 : 0;
  }
  EXPECT_EQ(complete, 4);  // the header alone, then after each of the three records
}

}  // namespace
}  // namespace stb
