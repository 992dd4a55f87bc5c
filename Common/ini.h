// Ini file reader. Reads the whole file when constructed; section names and
// keys are case-insensitive (folded to lower case), values keep their case.
// A UTF-8 byte-order mark at the start of the file is skipped; any other
// byte (a zero byte too) is part of its line.
// Built afresh for every read of the configuration; holds no file handle.
// Not thread-safe; readers on different threads are independent.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace libmo {

class Ini {
 public:
  // Keys in byte order; equal keys keep their file order.
  using Section = std::multimap<std::string, std::string>;

  static constexpr uintmax_t kMaxFileBytes = 1 << 20;

  // Reads and parses `fileName`. Throws std::runtime_error when nothing
  // exists at the path, the file is larger than kMaxFileBytes, it cannot be
  // opened, or a line cannot be read.
  explicit Ini(std::string fileName);

  // Value of the first `key` in `section`, or "" when either is absent. The
  // key is folded but not trimmed.
  std::string GetValue(const std::string& section, const std::string& key) const;

  // GetValue, or `defaultValue` when that is empty.
  std::string GetString(const std::string& section, const std::string& key, const std::string& defaultValue) const;

  // Every entry of `section` from a fresh reading of the file (throws as the
  // constructor does); empty when the section is absent.
  Section GetSection(const std::string& section) const;

  const std::string& GetFileName() const { return fileName_; }

  // What the reading could not take as written, one message per line (at
  // most 20 and a last one saying that there are more): lines that are
  // neither a header nor key=value, headers without ']', a repeated block
  // of a section (not read), key lines before any section name (read as
  // part of the next one, or not at all).
  const std::vector<std::string>& Notes() const { return notes_; }

 private:
  void Note(int lineNumber, const std::string& what);

  std::vector<std::string> notes_;
  std::string fileName_;
  std::map<std::string, Section> sections_;
};

// Byte-wise A-Z to a-z folding.
std::string ToLowerAscii(std::string text);

}  // namespace libmo
