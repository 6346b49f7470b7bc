// The real program against the simulated box: whole runs that the memory
// checker can watch, a Ctrl-C at each kind of point in a download, and a
// download whose standard output has been closed.

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "program.h"
#include "sim/box.h"

namespace stb {
namespace {

using reliability::Ended;
using reliability::Program;
using sim::Phase;
using sim::Reply;

const std::string success = "\n\t Firmware was downloaded successfully.\n";
const std::string aborted = "\n\tConnection aborted due to communication problems.!\n";

class ImageFile {
 public:
  explicit ImageFile(const sim::Image& image) {
    static int serial = 0;
    path_ = (std::filesystem::temp_directory_path() /
             ("stb-rel-" + std::to_string(::getpid()) + "-" + std::to_string(serial++) + ".dnl"))
                .string();
    sim::write_file(path_, sim::image_bytes(image));
  }
  ~ImageFile() { std::filesystem::remove(path_); }
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;
  [[nodiscard]] const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Tells the test when the box has logged a line that begins with `prefix`.
class Cue {
 public:
  explicit Cue(std::string prefix) : prefix_(std::move(prefix)) {}
  void see(std::string_view line) {
    if (line.starts_with(prefix_)) {
      std::lock_guard lock(mutex_);
      seen_ = true;
      changed_.notify_all();
    }
  }
  bool wait(std::chrono::seconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [this] { return seen_; });
  }

 private:
  std::string prefix_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool seen_ = false;
};

struct Outcome {
  Ended ended;
  sim::Transcript transcript;
};

Outcome run_against(const sim::Image& image, sim::Settings settings, bool close_stdout = false) {
  sim::Box box(std::move(settings));
  EXPECT_TRUE(box.open_pty()) << box.error();
  box.start();
  ImageFile file(image);
  Program program;
  EXPECT_TRUE(program.start({file.path(), box.path()}, close_stdout));
  Outcome r{program.wait(), {}};
  r.transcript = box.wait();
  return r;
}

const std::size_t sizes[] = {5, 0, 300, 4096};

// The records the box received, in order, every copy.
std::vector<sim::Bytes> records_received(const sim::Transcript& t) {
  std::vector<sim::Bytes> records;
  for (const sim::Message& m : t.messages) {
    if (m.kind == sim::Message::Kind::record) {
      records.push_back(m.bytes);
    }
  }
  return records;
}

// ---- Whole runs (also run under the memory checker) ------------------------

TEST(Runs, CompleteDownload) {
  const sim::Image image = sim::numbered_image(6, sizes);
  const Outcome r = run_against(image, {});
  EXPECT_EQ(r.ended.status, 0) << r.ended.err;
  EXPECT_TRUE(r.ended.out.ends_with(
      "\r\t Program Downloading 100% ... done\n\t Flash Burning ... done\n\t Program Verifying ... done" + success));
  EXPECT_EQ(r.ended.err, "");
  EXPECT_EQ(r.transcript.outcome, sim::Outcome::completed) << sim::name(r.transcript.outcome);
  EXPECT_TRUE(r.transcript.problems.empty());
}

TEST(Runs, FailingDownload) {
  // The box answers the third record with "2NXT3" every time: eight
  // attempts, each resending the whole record, then the run gives up.
  sim::Settings settings;
  settings.faults.push_back({Phase::data, 2, sim::any, 0, Reply::send("2NXT3")});
  const sim::Image image = sim::numbered_image(6, sizes);
  const Outcome r = run_against(image, settings);
  EXPECT_EQ(r.ended.status, 1);
  EXPECT_EQ(r.ended.err, aborted);
  std::vector<sim::Bytes> expected{sim::record_bytes(image.records[0]), sim::record_bytes(image.records[1])};
  expected.insert(expected.end(), 8, sim::record_bytes(image.records[2]));
  EXPECT_EQ(records_received(r.transcript), expected);
}

// ---- Ctrl-C --------------------------------------------------------------

TEST(Signals, InterruptEndsTheRunAtAnyPoint) {
  if (Program::wrapped()) {
    GTEST_SKIP() << "a wrapper would take the signal";
  }
  struct Case {
    const char* name;
    std::string cue;  // the box's log line after which Ctrl-C comes
    sim::Settings settings;
  };
  sim::Settings before_opener;
  before_opener.opener_delay_ms = 20000;
  sim::Settings silent_on_descriptor;
  silent_on_descriptor.faults.push_back({Phase::descriptor, 1, sim::any, 0, Reply::silence()});
  sim::Settings slow_record;
  slow_record.faults.push_back({Phase::data, 2, 1, 0, Reply::delayed(20000, "2ACK3")});
  sim::Settings burning;
  burning.burn_ms = 20000;
  const Case cases[] = {
      {"waiting for the opening word", "host opened", before_opener},
      {"waiting for a descriptor's acknowledgement", "-> (silence)", silent_on_descriptor},
      {"waiting for a record's acknowledgement", "<- record 2", slow_record},
      {"waiting while the flash burns", "-> 2DLD3", burning},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Cue cue(c.cue);
    sim::Settings settings = c.settings;
    settings.log = [&cue](std::string_view line) { cue.see(line); };
    sim::Box box(settings);
    ASSERT_TRUE(box.open_pty()) << box.error();
    box.start();
    ImageFile file(sim::numbered_image(4, sizes));
    Program program;
    ASSERT_TRUE(program.start({file.path(), box.path()}));
    ASSERT_TRUE(cue.wait(std::chrono::seconds(30)));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    program.send_signal(SIGINT);
    const Ended ended = program.wait();
    const sim::Transcript t = box.wait();
    EXPECT_EQ(ended.signal, SIGINT) << "status " << ended.status;
    EXPECT_EQ(t.outcome, sim::Outcome::host_left) << sim::name(t.outcome);
  }
}

// ---- A closed standard output ------------------------------------------------

TEST(Signals, ClosedStandardOutputDoesNotStopTheDownload) {
  // 200 records print over 6,000 bytes of progress, so the console's
  // 4,096-byte block goes out to the closed pipe halfway through.
  const std::size_t empty[] = {0};
  const sim::Image image = sim::numbered_image(200, empty);
  sim::Settings late_failure;
  late_failure.faults.push_back({Phase::data, 180, sim::any, 0, Reply::send("2NXT3")});
  struct Case {
    const char* name;
    sim::Settings settings;
    int status;
    std::string err;
    sim::Outcome outcome;
  };
  const Case cases[] = {
      {"complete download", {}, 0, "", sim::Outcome::completed},
      {"download that fails after the block went out", late_failure, 1, aborted, sim::Outcome::host_left},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome r = run_against(image, c.settings, true);
    EXPECT_EQ(r.ended.signal, 0);
    EXPECT_EQ(r.ended.status, c.status);
    EXPECT_EQ(r.ended.err, c.err);
    EXPECT_EQ(r.transcript.outcome, c.outcome) << sim::name(r.transcript.outcome);
    // Every record up to the one that failed went out, and nothing after it.
    const auto records = records_received(r.transcript);
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back(), sim::record_bytes(image.records[c.status == 0 ? 199 : 180]));
    EXPECT_EQ(records.size(), c.status == 0 ? 200U : 180U + 8U);
  }
}

}  // namespace
}  // namespace stb
