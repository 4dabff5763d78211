#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/cp1252.h"
#include "platform/fs.h"
#include "platform/paths.h"

// Blanks and controls trimmed at both ends; then, under either rules, exactly one trailing
// delimiter, a directory part that keeps only a root's delimiter (and a drive's colon), and
// the name after the last delimiter or drive colon.
TEST(Paths, TrimDelimitCutAndName) {
  EXPECT_EQ(TrimControls(" \t/src dir\r\n "), "/src dir");
  EXPECT_EQ(TrimControls("   "), "");
  using Part = std::string (*)(const std::string&, const PathRules&);
  const Part delimited = WithTrailingDelimiter, directory = DirectoryPartOf, name = NamePartOf;
  const struct {
    Part part;
    const char* path;
    bool windows;
    const char* expected;
  } cases[] = {
      {delimited, "/src", false, "/src/"}, {delimited, "/src/", false, "/src/"}, {delimited, "", false, ""},
      {delimited, "C:\\src", true, "C:\\src\\"}, {delimited, "C:\\", true, "C:\\"}, {delimited, "/src", true, "/src\\"},
      {directory, "/dist/out.exe", false, "/dist"}, {directory, "/out.exe", false, "/"}, {directory, "out.exe", false, ""},
      {directory, "C:\\dist\\out.exe", true, "C:\\dist"}, {directory, "C:\\out.exe", true, "C:\\"},
      {directory, "C:out.exe", true, "C:"}, {directory, "\\\\server\\share\\out.exe", true, "\\\\server\\share"},
      {directory, "out.exe", true, ""}, {directory, "a/b.exe", true, ""},  // "/" is a name character there
      {name, "C:\\src\\sub\\setup.exe", true, "setup.exe"}, {name, "C:setup.exe", true, "setup.exe"},
      {name, "setup.exe", true, "setup.exe"}, {name, "C:\\dist\\", true, ""}, {name, "", true, ""},
      {name, "/opt/dist/setup.exe", false, "setup.exe"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.part(c.path, c.windows ? kWindowsPathRules : kPosixPathRules), c.expected)
        << c.path << (c.windows ? " under Windows rules" : "");
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

// Representable text both ways, nothing else; upper case as Windows has it.
TEST(Cp1252, ConvertsWhatTheCodePageHoldsAndUpperCasesLikeWindows) {
  std::string ansi;
  ASSERT_TRUE(Utf8ToCp1252("caf\xC3\xA9 \xE2\x82\xAC", &ansi));  // "café €"
  EXPECT_EQ(ansi, "caf\xE9 \x80");
  EXPECT_EQ(Cp1252ToUtf8(ansi), "caf\xC3\xA9 \xE2\x82\xAC");
  EXPECT_FALSE(Utf8ToCp1252("\xD0\x96", &ansi));   // Cyrillic Zhe
  EXPECT_FALSE(Utf8ToCp1252("\xC3", &ansi));       // truncated sequence
  EXPECT_FALSE(Utf8ToCp1252("\xC0\xAF", &ansi));   // overlong "/"
  EXPECT_EQ(Cp1252Upper("setup.exe \xE9\xFF\x9A\xF7\xDF"), "SETUP.EXE \xC9\x9F\x8A\xF7\xDF");
}
