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
  EXPECT_EQ("7", ini.GetValue("general", "debug_level"));
  EXPECT_EQ("7", ini.GetValue("GENERAL", "DEBUG_LEVEL"));
  EXPECT_EQ("MixedCase Value", ini.GetValue("general", "name"));
  EXPECT_EQ("Logs\\Here", ini.GetValue("log", "folder"));
  // The lookup key is folded but not trimmed.
  EXPECT_EQ("", ini.GetValue("general", " debug_level"));
}

TEST_F(IniFile, NoInlineCommentsQuotesOrEscapes) {
  Ini ini = Load("[s]\naddress=10.0.0.1 ; old\nq=\"quoted\"\nexpr=a=b=c\n=skipped\nnoequals\nempty=\n");
  EXPECT_EQ("10.0.0.1 ; old", ini.GetValue("s", "address"));
  EXPECT_EQ("\"quoted\"", ini.GetValue("s", "q"));
  EXPECT_EQ("a=b=c", ini.GetValue("s", "expr"));
  EXPECT_EQ("", ini.GetValue("s", ""));
  EXPECT_EQ("", ini.GetValue("s", "noequals"));
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
  EXPECT_EQ("1", ini.GetValue("one", "early"));
  EXPECT_EQ("1", ini.GetValue("one", "a"));
  EXPECT_EQ("", ini.GetValue("one", "b"));
  EXPECT_EQ("2", ini.GetValue("two", "b"));
  EXPECT_EQ("3", ini.GetValue("two", "c"));
  EXPECT_EQ("", ini.GetValue("broken", "b"));
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
