#include "Common/ini.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

using libmo::Ini;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

class IniFile : public ::testing::Test {
 protected:
  Ini Load(const std::string& content) {
    WriteFile(dir.path() / "t.ini", content);
    return Ini(dir / "t.ini");
  }
  TempDir dir;
};

std::vector<std::string> Values(const Ini::Section& s, const std::string& key) {
  std::vector<std::string> out;
  for (auto [it, end] = s.equal_range(key); it != end; ++it) out.push_back(it->second);
  return out;
}

// The value of `ini` at each {section, key} of `at`.
std::vector<std::string> Get(const Ini& ini, const std::vector<std::pair<const char*, const char*>>& at) {
  std::vector<std::string> out;
  for (const auto& [section, key] : at) out.push_back(ini.GetValue(section, key));
  return out;
}

TEST_F(IniFile, CommentsBlankLinesAndSectionsWithoutKeysHoldNoValues) {
  Ini ini = Load("; comment\n\n   # another\n\t\n[empty]\n[full] trailing ; words\nk=v\n");
  EXPECT_EQ("", ini.GetValue("general", "debug_level"));
  EXPECT_EQ("dflt", ini.GetString("general", "debug_level", "dflt"));
  EXPECT_TRUE(ini.GetSection("general").empty());
  EXPECT_TRUE(ini.GetSection("empty").empty());
  EXPECT_EQ("v", ini.GetValue("full", "k"));  // text after the closing bracket is ignored
  // CR LF reads like LF; the last line needs no line feed.
  ini = Load("[general]\r\ndebug_level=3\r\n[s]\nk=v");
  EXPECT_EQ("3", ini.GetValue("general", "debug_level"));
  EXPECT_EQ("v", ini.GetValue("s", "k"));
}

TEST_F(IniFile, NamesFoldAndTrimValuesKeepTheirCase) {
  Ini ini = Load("[ General ]\n  Debug_Level  =  7 \nName=MixedCase Value\n[LOG]\nfolder=Logs\\Here\n");
  // The lookup key is folded but not trimmed.
  EXPECT_EQ((std::vector<std::string>{"7", "7", "MixedCase Value", "Logs\\Here", ""}),
            Get(ini, {{"general", "debug_level"}, {"GENERAL", "DEBUG_LEVEL"}, {"general", "name"}, {"log", "folder"},
                      {"general", " debug_level"}}));
}

TEST_F(IniFile, NoInlineCommentsQuotesOrEscapes) {
  Ini ini = Load("[s]\naddress=10.0.0.1 ; old\nq=\"quoted\"\nexpr=a=b=c\n=skipped\nnoequals\nempty=\n");
  EXPECT_EQ((std::vector<std::string>{"10.0.0.1 ; old", "\"quoted\"", "a=b=c", "", ""}),
            Get(ini, {{"s", "address"}, {"s", "q"}, {"s", "expr"}, {"s", ""}, {"s", "noequals"}}));
  EXPECT_EQ("fallback", ini.GetString("s", "empty", "fallback"));
  EXPECT_EQ(4u, ini.GetSection("s").size());  // address, q, expr, empty
}

TEST_F(IniFile, RepeatedKeysKeepFileOrderAndARepeatedSectionOnlyItsFirstBlock) {
  Ini ini = Load("[servers]\nzeta=1\nalpha=first\nAlpha=second\nmid=x\n[b]\ny=2\n[SERVERS]\nalpha=3\nz=4\n");
  EXPECT_EQ("first", ini.GetValue("servers", "alpha"));
  EXPECT_EQ("", ini.GetValue("servers", "z"));
  const Ini::Section s = ini.GetSection("servers");
  EXPECT_EQ((std::vector<std::string>{"first", "second"}), Values(s, "alpha"));
  std::vector<std::string> order;
  for (const auto& [k, v] : s) order.push_back(k);
  EXPECT_EQ((std::vector<std::string>{"alpha", "alpha", "mid", "zeta"}), order);
}

TEST_F(IniFile, KeysWithoutASectionNameJoinTheNextNamedSection) {
  // A header without its bracket stores [one] and names nothing.
  Ini ini = Load("early=1\n[one]\na=1\n[broken\nb=2\n[two]\nc=3\n");
  EXPECT_EQ((std::vector<std::string>{"1", "1", "", "2", "3", ""}),
            Get(ini, {{"one", "early"}, {"one", "a"}, {"one", "b"}, {"two", "b"}, {"two", "c"}, {"broken", "b"}}));
}

TEST_F(IniFile, WhatCannotBeReadAsWrittenIsNoted) {
  const std::string head = "Ini file '" + (dir / "t.ini") + "' line ";
  EXPECT_EQ((std::vector<std::string>{head + "1: key lines before a section name are read as part of [a].",
                                      head + "4: a section header without ']' is skipped.",
                                      head + "5: neither [section] nor key=value; the line is skipped.",
                                      head + "6: [a] appears again; the keys of this block are not read.",
                                      head + "8: a section header without ']' is skipped.",
                                      head + "9: key lines without a section name are not read."}),
            Load("early=1\n[a]\nk=v\n[broken\nnoequals\n[a]\nk=w\n[b\nlate=2\n").Notes());
  EXPECT_TRUE(Load("\xEF\xBB\xBF[a]\nk=v\n; comment\n[empty]\n").Notes().empty());
  EXPECT_THROW(Load("[a]\nk=" + std::string(Ini::kMaxFileBytes, 'v')), std::runtime_error);
}

}  // namespace
