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
  std::ifstream in(fileName_);
  if (!in.is_open()) throw std::runtime_error("Failed to read ini file '" + fileName_ + "'.");

  std::string pendingName;
  Section pending;
  auto storePending = [&] {
    if (pendingName.empty() || pending.empty()) return;
    sections_.emplace(pendingName, std::move(pending));  // a stored name keeps its first block
    pendingName.clear();
    pending.clear();
  };

  std::string raw;
  for (int lineNumber = 1;; ++lineNumber) {
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
      if (close != std::string::npos) pendingName = Trim(ToLowerAscii(line.substr(1, close - 1)));
      continue;
    }
    const size_t eq = line.find('=');
    if (eq == std::string::npos || eq == 0) continue;
    pending.emplace(Trim(ToLowerAscii(line.substr(0, eq))), Trim(line.substr(eq + 1)));
  }
  storePending();
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
