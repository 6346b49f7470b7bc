// The small command-line parsing the benchmark programs share: "--name value"
// pairs, looked up by name, with numbers checked.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace stb::bench {

class Options {
 public:
  // Takes argv[first..argc); false (with a message on stderr) when an option
  // has no value or is not among `known`.
  bool parse(int argc, char** argv, int first, const std::vector<std::string_view>& known);

  [[nodiscard]] std::optional<std::string> text(std::string_view name) const;
  // The option as a number; `fallback` when absent; nullopt when malformed.
  [[nodiscard]] std::optional<double> number(std::string_view name, double fallback) const;

 private:
  std::vector<std::pair<std::string, std::string>> values_;
};

// Milliseconds, as given on a command line, to nanoseconds.
inline std::int64_t ms_to_ns(double ms) { return static_cast<std::int64_t>(ms * 1e6 + 0.5); }

}  // namespace stb::bench
