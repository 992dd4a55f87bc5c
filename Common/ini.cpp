#include "Common/ini.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace libmo {
namespace {

constexpr const char* kBlanks = " \t\r";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

std::string Trim(const std::string& text) {
  const size_t last = text.find_last_not_of(kBlanks);
  if (last == std::string::npos) return std::string();
  const size_t first = text.find_first_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

}  // namespace

std::string ToLowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

Ini::Ini(std::string fileName) : fileName_(std::move(fileName)) {
  std::error_code ec;
  if (!std::filesystem::exists(fileName_, ec)) throw std::runtime_error("Ini file '" + fileName_ + "' does not exist.");
  // A file this large is no configuration: it is refused before it takes
  // the memory it would need.
  const uintmax_t size = std::filesystem::file_size(fileName_, ec);
  if (!ec && size > kMaxFileBytes) {
    throw std::runtime_error("Ini file '" + fileName_ + "' is larger than " + std::to_string(kMaxFileBytes) +
                             " bytes.");
  }
  std::ifstream in(fileName_);
  if (!in.is_open()) throw std::runtime_error("Failed to read ini file '" + fileName_ + "'.");

  std::string pendingName;
  Section pending;
  int lineNumber = 1;
  int pendingLine = 0;    // of the pending section's header
  int unnamedLine = 0;    // of the first key line that came without a section name
  auto storePending = [&] {
    if (pendingName.empty() || pending.empty()) return;
    // A stored name keeps its first block.
    if (!sections_.emplace(pendingName, std::move(pending)).second) {
      Note(pendingLine, "[" + pendingName + "] appears again; the keys of this block are not read");
    } else if (unnamedLine != 0) {
      Note(unnamedLine, "key lines before a section name are read as part of [" + pendingName + "]");
    }
    unnamedLine = 0;
    pendingName.clear();
    pending.clear();
  };

  std::string raw;
  for (;; ++lineNumber) {
    if (!std::getline(in, raw)) {
      if (in.eof()) break;
      throw std::runtime_error("Read ini file error. File" + fileName_ + " line:" + std::to_string(lineNumber));
    }
    // A byte-order mark (Notepad saves one) is not part of the first line.
    if (lineNumber == 1 && raw.compare(0, kByteOrderMark.size(), kByteOrderMark) == 0) {
      raw.erase(0, kByteOrderMark.size());
    }
    const std::string line = Trim(raw);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line[0] == '[') {
      storePending();
      const size_t close = line.find(']');
      if (close != std::string::npos) {
        pendingName = Trim(ToLowerAscii(line.substr(1, close - 1)));
        pendingLine = lineNumber;
      } else {
        Note(lineNumber, "a section header without ']' is skipped");
      }
      continue;
    }
    const size_t eq = line.find('=');
    if (eq == std::string::npos || eq == 0) {
      Note(lineNumber, "neither [section] nor key=value; the line is skipped");
      continue;
    }
    if (pendingName.empty() && unnamedLine == 0) unnamedLine = lineNumber;
    pending.emplace(Trim(ToLowerAscii(line.substr(0, eq))), Trim(line.substr(eq + 1)));
  }
  storePending();
  if (!pending.empty()) Note(unnamedLine, "key lines without a section name are not read");
}

void Ini::Note(int lineNumber, const std::string& what) {
  constexpr size_t kMaxNotes = 20;
  if (notes_.size() < kMaxNotes) {
    notes_.push_back("Ini file '" + fileName_ + "' line " + std::to_string(lineNumber) + ": " + what + ".");
  } else if (notes_.size() == kMaxNotes) {
    notes_.push_back("Ini file '" + fileName_ + "': more lines are not read as they stand.");
  }
}

std::string Ini::GetValue(const std::string& section, const std::string& key) const {
  const auto s = sections_.find(ToLowerAscii(section));
  if (s == sections_.end()) return std::string();
  const std::string folded = ToLowerAscii(key);
  const auto entry = s->second.lower_bound(folded);
  if (entry == s->second.end() || entry->first != folded) return std::string();
  return entry->second;
}

std::string Ini::GetString(const std::string& section, const std::string& key, const std::string& defaultValue) const {
  std::string value = GetValue(section, key);
  return value.empty() ? defaultValue : value;
}

Ini::Section Ini::GetSection(const std::string& section) const {
  const Ini fresh(fileName_);
  const auto s = fresh.sections_.find(ToLowerAscii(section));
  return s == fresh.sections_.end() ? Section() : s->second;
}

}  // namespace libmo
