// Numbers read from the ini file. They are converted as the C library's
// atoi does (AtoiSaturated), and checked as well: a value that the operator
// wrote is never turned into another one without a word in the errors log.
#pragma once

#include <string>
#include <string_view>

namespace relvo {

// True when `text` is a plain decimal number (an optional sign, then only
// digits) within `low` to `high`.
bool IsNumberIn(std::string_view text, long long low, long long high);

// The errors-log line for a numeric setting whose text is not such a number:
//   "[<section>] <key>=<text> is not a whole number from <low> to <high>;
//    <used> is used instead."
// The text shows bytes outside ' ' to '~' as \xNN and is cut after 64.
std::string NumberMessage(std::string_view section, std::string_view key, std::string_view text, long long low,
                          long long high, long long used);

// Writes NumberMessage to the errors log when `text` is neither empty (the
// default applies) nor a number within `low` to `high`.
void CheckNumber(std::string_view section, std::string_view key, std::string_view text, long long low,
                 long long high, long long used);

}  // namespace relvo
