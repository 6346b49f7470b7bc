#include "bench/options.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace stb::bench {

bool Options::parse(int argc, char** argv, int first, const std::vector<std::string_view>& known) {
  for (int i = first; i < argc; i += 2) {
    const std::string_view arg = argv[i];
    if (arg.substr(0, 2) != "--" || std::find(known.begin(), known.end(), arg.substr(2)) == known.end()) {
      std::fprintf(stderr, "unknown option %s\n", argv[i]);
      return false;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "option %s needs a value\n", argv[i]);
      return false;
    }
    values_.emplace_back(std::string(arg.substr(2)), argv[i + 1]);
  }
  return true;
}

std::optional<std::string> Options::text(std::string_view name) const {
  for (const auto& [key, value] : values_) {
    if (key == name) {
      return value;
    }
  }
  return std::nullopt;
}

std::optional<double> Options::number(std::string_view name, double fallback) const {
  const auto value = text(name);
  if (!value) {
    return fallback;
  }
  char* end = nullptr;
  const double n = std::strtod(value->c_str(), &end);
  if (end == value->c_str() || *end != '\0' || n < 0) {
    std::fprintf(stderr, "--%.*s wants a number, not %s\n", static_cast<int>(name.size()), name.data(),
                 value->c_str());
    return std::nullopt;
  }
  return n;
}

}  // namespace stb::bench
