// The two forms of the inspector's findings: text for people, JSON for
// scripts. Both say the same things; the JSON keys are a stable interface.
#pragma once

#include <string>
#include <string_view>

#include "tools/dnlinfo/inspect.h"

namespace stb::dnlinfo {

// The findings as lines of text: header, one line per record, totals,
// download time, warnings, the defect, and the verdict.
std::string text_report(const Report& report, std::string_view name);

// The findings as one JSON object, ending in a newline.
std::string json_report(const Report& report, std::string_view name);

// The JSON object for an image file that cannot be opened.
std::string json_open_failure(std::string_view name);

// A JSON string literal, quotes included. Control characters, quotes and
// backslashes are escaped; bytes that are not valid UTF-8 become U+FFFD, so
// the output is always valid JSON whatever a file name holds.
std::string json_string(std::string_view text);

}  // namespace stb::dnlinfo
