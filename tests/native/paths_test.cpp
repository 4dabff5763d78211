#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/cp1252.h"
#include "platform/fs.h"
#include "platform/paths.h"

// Blanks and controls trimmed at both ends, exactly one trailing delimiter, and a directory
// part that keeps only a root's delimiter.
TEST(Paths, PosixRulesTrimDelimitAndCut) {
  EXPECT_EQ(TrimControls(" \t/src dir\r\n "), "/src dir");
  EXPECT_EQ(TrimControls("   "), "");
  EXPECT_EQ(WithTrailingDelimiter("/src"), "/src/");
  EXPECT_EQ(WithTrailingDelimiter("/src/"), "/src/");
  EXPECT_EQ(WithTrailingDelimiter(""), "");
  EXPECT_EQ(DirectoryPartOf("/dist/out.exe"), "/dist");
  EXPECT_EQ(DirectoryPartOf("/out.exe"), "/");
  EXPECT_EQ(DirectoryPartOf("out.exe"), "");
}

TEST(Paths, WindowsRulesKeepRootsAndDriveColons) {
  EXPECT_EQ(WithTrailingDelimiter("C:\\src", kWindowsPathRules), "C:\\src\\");
  EXPECT_EQ(WithTrailingDelimiter("C:\\", kWindowsPathRules), "C:\\");
  EXPECT_EQ(WithTrailingDelimiter("/src", kWindowsPathRules), "/src\\");
  EXPECT_EQ(DirectoryPartOf("C:\\dist\\out.exe", kWindowsPathRules), "C:\\dist");
  EXPECT_EQ(DirectoryPartOf("C:\\out.exe", kWindowsPathRules), "C:\\");
  EXPECT_EQ(DirectoryPartOf("C:out.exe", kWindowsPathRules), "C:");
  EXPECT_EQ(DirectoryPartOf("\\\\server\\share\\out.exe", kWindowsPathRules), "\\\\server\\share");
  EXPECT_EQ(DirectoryPartOf("out.exe", kWindowsPathRules), "");
  EXPECT_EQ(DirectoryPartOf("a/b.exe", kWindowsPathRules), "") << "\"/\" is a name character under these rules";
}

// A disk that has only its roots and records which folders it was asked to make.
struct FolderRecorder : FileSystem {
  std::vector<std::string> made;
  bool ListDirectory(const std::string&, const std::function<void(const ListedEntry&)>&) override { return false; }
  bool DirExists(const std::string& path) override {
    for (const std::string& m : made)
      if (m == path) return true;
    return false;
  }
  bool FileExists(const std::string&) override { return false; }
  bool CreateOneDirectory(const std::string& path) override {
    made.push_back(path);
    return true;
  }
  int Open(const std::string&, OpenMode, std::unique_ptr<File>*) override { return kErrFileNotFound; }
};

TEST(Paths, CreateDirTreeUnderWindowsRulesStartsBelowTheRoot) {
  FolderRecorder disk;
  EXPECT_TRUE(CreateDirTree("C:\\dist\\v1\\", disk, kWindowsPathRules));
  EXPECT_EQ(disk.made, (std::vector<std::string>{"C:\\dist", "C:\\dist\\v1"}));
  disk.made.clear();
  EXPECT_TRUE(CreateDirTree("C:\\", disk, kWindowsPathRules));
  EXPECT_TRUE(CreateDirTree("/opt/dist", disk, kPosixPathRules));
  EXPECT_EQ(disk.made, (std::vector<std::string>{"/opt", "/opt/dist"}));
}

TEST(Paths, NamePartAfterTheLastDelimiterOrDriveColon) {
  EXPECT_EQ(NamePartOf("C:\\src\\sub\\setup.exe", kWindowsPathRules), "setup.exe");
  EXPECT_EQ(NamePartOf("C:setup.exe", kWindowsPathRules), "setup.exe");
  EXPECT_EQ(NamePartOf("setup.exe", kWindowsPathRules), "setup.exe");
  EXPECT_EQ(NamePartOf("C:\\dist\\", kWindowsPathRules), "");
  EXPECT_EQ(NamePartOf("", kWindowsPathRules), "");
  EXPECT_EQ(NamePartOf("/opt/dist/setup.exe"), "setup.exe");
}

TEST(Paths, CreateDirTreeCreatesEveryMissingLevel) {
  char tmpl[] = "/tmp/kesdra-paths-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string root = tmpl;
  EXPECT_TRUE(CreateDirTree(root + "/a/b/c/"));
  EXPECT_TRUE(NativeFileSystem().DirExists(root + "/a/b/c"));
  EXPECT_TRUE(CreateDirTree(root + "/a/b"));  // already there
  EXPECT_THROW(CreateDirTree(""), InOutError);
  std::system(("rm -rf " + root).c_str());
}

TEST(Cp1252, ConvertsRepresentableTextBothWays) {
  std::string ansi;
  ASSERT_TRUE(Utf8ToCp1252("caf\xC3\xA9 \xE2\x82\xAC", &ansi));  // "café €"
  EXPECT_EQ(ansi, "caf\xE9 \x80");
  EXPECT_EQ(Cp1252ToUtf8(ansi), "caf\xC3\xA9 \xE2\x82\xAC");
}

TEST(Cp1252, RefusesWhatTheCodePageCannotHold) {
  std::string ansi;
  EXPECT_FALSE(Utf8ToCp1252("\xD0\x96", &ansi));   // Cyrillic Zhe
  EXPECT_FALSE(Utf8ToCp1252("\xC3", &ansi));       // truncated sequence
  EXPECT_FALSE(Utf8ToCp1252("\xC0\xAF", &ansi));   // overlong "/"
}

TEST(Cp1252, UpperCasesLikeWindows) {
  EXPECT_EQ(Cp1252Upper("setup.exe \xE9\xFF\x9A\xF7\xDF"), "SETUP.EXE \xC9\x9F\x8A\xF7\xDF");
}
