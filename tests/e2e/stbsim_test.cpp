// stbsim itself: the tool drives the real stbflash to success and to each
// named failure, through both executables.

#include "tests/e2e/fixture.h"

namespace stb::e2e {
namespace {

struct ToolRun {
  RunResult sim;
  RunResult host;
};

ToolRun run_tool(std::vector<std::string> sim_args, const std::string& image) {
  ToolRun r;
  std::vector<std::string> argv{STBSIM_PATH};
  argv.insert(argv.end(), sim_args.begin(), sim_args.end());
  Process sim;
  if (!sim.start(argv)) {
    ADD_FAILURE() << "cannot start stbsim";
    return r;
  }
  const std::string ready = sim.read_line(std::chrono::seconds(10));
  const std::string prefix = "stbsim: box ready on ";
  if (ready.rfind(prefix, 0) != 0) {
    ADD_FAILURE() << "no ready line: " << ready;
    return r;
  }
  const std::string port = ready.substr(prefix.size(), ready.size() - prefix.size() - 1);
  r.host = run_host({image, port});
  r.sim = sim.finish();
  return r;
}

struct ToolCase {
  const char* name;
  std::vector<std::string> args;
  std::string tail;  // the host's standard output after the banner and progress
  std::string_view err;
  int host_status;
  int sim_status;
};
void PrintTo(const ToolCase& c, std::ostream* os) { *os << c.name; }

class Stbsim : public ::testing::TestWithParam<ToolCase> {};

TEST_P(Stbsim, DrivesTheHost) {
  const ToolCase& c = GetParam();
  const sim::Image image = three_records();
  const std::string path = scratch_file(unique_name(".dnl"), sim::image_bytes(image));
  const std::string saved = scratch_dir() + "/" + unique_name(".bin");
  std::vector<std::string> args = c.args;
  args.insert(args.end(), {"--save", saved});
  const ToolRun r = run_tool(args, path);

  const bool connects = c.err != text::connection_failed;
  EXPECT_EQ(r.host.out, std::string(text::banner) + (connects ? progress(image, 3) : "") + c.tail);
  EXPECT_EQ(r.host.err, c.err);
  EXPECT_EQ(r.host.status, c.host_status);
  EXPECT_EQ(r.sim.status, c.sim_status) << r.sim.err;
  if (connects) {
    Bytes payloads;
    for (const sim::Record& rec : image.records) {
      sim::append(payloads, rec.payload);
    }
    EXPECT_TRUE(text_bytes(read_text(saved)) == payloads) << "--save did not write the payloads";
    // One log line per record received.
    for (int i = 0; i < 3; ++i) {
      EXPECT_NE(r.sim.err.find("<- record " + std::to_string(i) + ", number " + std::to_string(i)), std::string::npos)
          << r.sim.err;
    }
  }
}

const std::string burn_line = "done\n\t Flash Burning ... ";
const std::string verify_line = burn_line + "done\n\t Program Verifying ... ";

INSTANTIATE_TEST_SUITE_P(
    E2E, Stbsim,
    ::testing::Values(ToolCase{"healthy", {}, std::string(text::done_tail), "", 0, 0},
                      ToolCase{"reject_record_once", {"--fault", "reject-record-once"}, std::string(text::done_tail),
                               "", 0, 0},
                      ToolCase{"burn_fails", {"--fault", "burn-fails"}, burn_line + std::string(text::burning_failed),
                               "", 1, 0},
                      ToolCase{"verify_fails", {"--fault", "verify-fails"},
                               verify_line + std::string(text::verifying_failed), "", 1, 0},
                      ToolCase{"slow_burn", {"--fault", "slow-burn"}, std::string(text::done_tail), "", 0, 0},
                      ToolCase{"silent",
                               {"--fault", "silent"},
                               [] {
                                 std::string s;
                                 for (int k = 0; k < 8; ++k) {
                                   s += "\n 1-2) error = \n 1-6) retry = " + std::to_string(k) + "\n";
                                 }
                                 return s;
                               }(),
                               text::connection_failed,
                               1,
                               1}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(StbsimTool, AnswersHelpVersionAndBadArguments) {
  Process help;
  ASSERT_TRUE(help.start({STBSIM_PATH, "--help"}));
  const RunResult h = help.finish();
  EXPECT_EQ(h.status, 0);
  EXPECT_EQ(h.out.rfind("Usage: stbsim [options] [PORT]\n", 0), 0u) << h.out;

  Process version;
  ASSERT_TRUE(version.start({STBSIM_PATH, "--version"}));
  const RunResult v = version.finish();
  EXPECT_EQ(v.out, std::string("stbsim ") + STB_VERSION + "\n");
  EXPECT_EQ(v.status, 0);

  const std::vector<std::vector<std::string>> bad = {
      {"--fault", "melts"}, {"--bogus"}, {"--save"}, {"--burn-ms", "soon"}, {"--at", "7=silence"}, {"a", "b"}};
  for (const auto& args : bad) {
    SCOPED_TRACE(args.front());
    std::vector<std::string> argv{STBSIM_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    Process p;
    ASSERT_TRUE(p.start(argv));
    const RunResult r = p.finish();
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("stbsim: ", 0), 0u) << r.err;
  }
}

// A low-level script: the opening word misses a byte on the first attempt.
TEST(StbsimTool, ScriptedReplyReachesTheHost) {
  const sim::Image image = three_records();
  const std::string path = scratch_file(unique_name(".dnl"), sim::image_bytes(image));
  const ToolRun r = run_tool({"--at", "1@1=send:2QX\\x003"}, path);
  EXPECT_EQ(r.host.out, std::string(text::banner) + "\n 1-1) error = 2QX\n 1-6) retry = 0\n" + progress(image, 3) +
                            std::string(text::done_tail));
  EXPECT_EQ(r.host.status, 0);
}

}  // namespace
}  // namespace stb::e2e
