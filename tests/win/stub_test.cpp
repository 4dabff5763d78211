// Both stubs end to end under Wine: produced files built byte by byte from the real
// sfxhead.exe, or by the real builder (kesdra.exe, -z for the compressed stub), run as a user
// would run them, and the stub's progress window. Failures are checked by the box text the
// user sees and the exit code.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <cstdlib>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"
#include "shared/u_packed.h"
#include "shared/u_shared.h"
#include "stub/u_translations.h"
#include "tests/native/payload_test_files.h"

using namespace harness;
using namespace payload_test;

namespace {

const DWORD kQuitWithMessage = 0xFFFFFFFF;
const char kSessionManager[] = "System\\CurrentControlSet\\Control\\Session Manager";

// A fresh identifier per produced file, so that runs never share an extraction folder.
std::string FreshId() {
  static unsigned counter = 0;
  char id[16];
  snprintf(id, sizeof id, "00%04X%04X", static_cast<unsigned>(GetCurrentProcessId() & 0xFFFF),
           static_cast<unsigned>((GetTickCount() + ++counter * 7919) & 0xFFFF));
  return id;
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(tolower(c)); });
  return s;
}

// The restart-time operations as Wine keeps them: the raw value, written back as it was.
std::string PendingValue() {
  std::string value;
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_READ, &key)) return value;
  DWORD size = 0;
  if (RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS) {
    value.resize(size);
    RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr, reinterpret_cast<BYTE*>(&value[0]), &size);
    value.resize(size);
  }
  RegCloseKey(key);
  return value;
}

void SetPendingValue(const std::string& value, DWORD type = REG_MULTI_SZ) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_SET_VALUE, &key)) return;
  if (value.empty()) RegDeleteValueW(key, L"PendingFileRenameOperations");
  else RegSetValueExW(key, L"PendingFileRenameOperations", 0, type, reinterpret_cast<const BYTE*>(value.data()),
                      static_cast<DWORD>(value.size()));
  RegCloseKey(key);
}

// The files registered for deletion at the restart below `dir`, in the order they were registered.
std::vector<std::string> PendingBelow(const std::string& dir) {
  std::string raw = PendingValue();
  raw.append(4, '\0');
  const std::wstring value(reinterpret_cast<const wchar_t*>(raw.data()), raw.size() / 2);
  const std::string base = Lower(dir.substr(0, dir.size() - 1));
  std::vector<std::string> found;
  // Pairs of zero-terminated strings: the file, then its new name (empty: delete).
  for (size_t at = 0; at < value.size() && value[at];) {
    const std::wstring from = value.c_str() + at;
    at += from.size() + 1;
    const std::wstring to = value.c_str() + at;
    at += to.size() + 1;
    const std::string path(from.begin() + (from.compare(0, 4, L"\\??\\") == 0 ? 4 : 0), from.end());
    if (to.empty() && Lower(path).compare(0, base.size(), base) == 0) found.push_back(path);
  }
  return found;
}

// The system's text for a code, as the stub shows it (trailing dots and line ends cut).
std::string SystemText(DWORD code) {
  char text[256] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text, sizeof text, nullptr);
  std::string s = text;
  while (!s.empty() && (static_cast<unsigned char>(s.back()) <= 32 || s.back() == '.')) s.pop_back();
  return s;
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

class StubTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = TempDir("ks");
    stub_ = ReadFile(ShippedDir() + "sfxhead.exe");
    probe_ = ReadFile(ProgramDir() + "stub_probe.exe");
    ASSERT_FALSE(stub_.empty());
    ASSERT_FALSE(probe_.empty());
    record_ = dir_ + "probe.txt";
    SetEnvironmentVariableA("KESDRA_PROBE_OUT", record_.c_str());
    SetEnvironmentVariableA("KESDRA_PROBE_EXIT", "0");
  }
  void TearDown() override {
    RemoveTree(dir_);
    for (const std::string& id : ids_) RemoveTree(ExtractDir(id));
  }

  // Writes stub + identifier + entries + end record; returns the file's path.
  std::string Produce(const std::vector<TestEntry>& entries, std::string* id = nullptr) {
    ids_.push_back(FreshId());
    if (id) *id = ids_.back();
    std::string bytes = stub_ + IdRecord(ids_.back());
    for (const TestEntry& e : entries) bytes += EntryBytes(e);
    const std::string path = dir_ + "produced" + std::to_string(ids_.size()) + ".exe";
    WriteFile(path, bytes + EndRecord());
    return path;
  }
  TestEntry Probe(const std::string& name = "probe.exe") { return {name, probe_, 1}; }

  // A mixed tree built by kesdra.exe (with `switches`): compressible, incompressible, empty,
  // 1 MiB + 1, nested folders, programs, a name from code page 1252, and two files that
  // repeat earlier ones (copy entries when compressed). The launched program lies in a
  // subfolder and is named in another letter case.
  std::string BuildMixedTree(const std::string& switches) {
    const std::string src = dir_ + "src\\";
    tree_ = {{"Setup\\probe.exe", probe_},
             {"readme.txt", [] {
                std::string s;
                for (size_t i = 0; i < 20000; ++i) s += "line " + std::to_string(i % 977) + " of a long and dull text file\r\n";
                return s;
              }()},
             {"empty.txt", ""},
             {"media\\noise.cab", RandomBytes(1200000, 3)},
             {"deep\\er\\edge.bin", std::string((1 << 20) + 1, 'e')},
             {"deep\\er\\still\\zero.dat", ""},
             {"twin\\noise.cab", RandomBytes(1200000, 3)},
             {"twin\\edge.bin", std::string((1 << 20) + 1, 'e')},
             {"bin\\x86.exe", ReadFile(ShippedDir() + "sfxhead.exe")},
             {"bin\\x64.exe", ReadFile(ProgramDir() + "exit_at_once.exe")},
             {"bin\\fake.exe", "MZ and no program"},
             {"caf\xE9.txt", "a name from code page 1252, stored in UTF-8"}};
    for (const auto& f : tree_) WriteFile(src + f.first, f.second);
    const std::string built = dir_ + "built" + switches + ".exe";
    const RunResult r = RunKesdra(switches + " -h -o -c " + Quote(src) + " setup\\PROBE.EXE " + Quote(built));
    EXPECT_TRUE(r.started);
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_TRUE(r.boxes.empty());
    const std::string file = ReadFile(built);
    if (file.size() > produced::PayloadStart(file) + 11) ids_.push_back(file.substr(produced::PayloadStart(file) + 1, 10));
    return file;
  }

  RunResult Run(const std::string& path, const std::string& params = "") {
    return RunAndAnswer(Quote(path) + (params.empty() ? "" : " " + params), dir_);
  }
  // The launched probe's record: its fields, and its arguments in `args`.
  std::map<std::string, std::string> Record(std::vector<std::string>* args = nullptr) {
    std::map<std::string, std::string> fields;
    std::istringstream in(ReadFile(record_));
    for (std::string line; std::getline(in, line);) {
      const size_t eq = line.find('=');
      if (eq == std::string::npos) continue;
      if (line.compare(0, eq, "arg") == 0) {
        if (args) args->push_back(line.substr(eq + 1));
      } else {
        fields[line.substr(0, eq)] = line.substr(eq + 1);
      }
    }
    return fields;
  }
  // The one box of a refused run, its exit code, and nothing unpacked below extraction
  // folder `id` (when given) or launched.
  void ExpectRefused(const RunResult& r, const std::string& text, const std::string& id = "") {
    ASSERT_TRUE(r.started);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, kQuitWithMessage);
    ASSERT_EQ(r.boxes.size(), 1u);
    EXPECT_EQ(r.boxes[0].text, text);
    EXPECT_TRUE(id.empty() || !Exists(ExtractDir(id))) << "nothing may be left below " << ExtractDir(id);
    EXPECT_FALSE(Exists(record_));
  }
  // Writes `bytes` (a stub and its payload) as `name`.exe, runs it and expects it refused;
  // `detail` stands before the system's text, else the file is refused as no valid program.
  void ExpectFileRefused(const std::string& name, const std::string& stub, const std::string& bytes,
                         const std::string& detail = "") {
    SCOPED_TRACE(name);
    const std::string path = dir_ + name + ".exe";
    WriteFile(path, bytes);
    const std::string id = bytes.size() > stub.size() + 11 ? bytes.substr(stub.size() + 1, 10) : "";
    ExpectRefused(Run(path), detail.empty() ? InvalidText(path) : path + detail, id);
  }
  std::string InvalidText(const std::string& path) { return "Bad EXE format for " + path; }

  std::string dir_, stub_, probe_, record_;
  std::vector<std::pair<std::string, std::string>> tree_;
  std::vector<std::string> ids_;
};

TEST_F(StubTest, RoundTripHandsOnParametersTimesAttributesAndAnyExitCode) {
  std::string id;
  TestEntry kept{"data\\kept.txt", "hello"};
  kept.attr = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE;
  kept.time = (((2021 - 1980) << 9 | 3 << 5 | 14) << 16) | (15 << 11 | 9 << 5 | 26 / 2);
  const std::string file = Produce({kept, Probe("bin\\tools\\probe.exe")}, &id);
  SetEnvironmentVariableA("KESDRA_PROBE_EXIT", "0xC0FFEE42");
  const ScopedEnv attrOf("KESDRA_PROBE_ATTR", "data\\kept.txt");  // relative to the working directory
  const RunResult r = Run(file, "plain \"with space\" C:\\dir\\ \"C:\\my dir\\\" last");
  ASSERT_TRUE(r.started);
  EXPECT_TRUE(r.boxes.empty());
  EXPECT_EQ(r.exitCode, 0xC0FFEE42u);
  std::vector<std::string> args;
  auto fields = Record(&args);
  // To the stub a backslash is an ordinary character; the program must still see both
  // trailing backslashes, which the Windows argument rules would otherwise take as escapes.
  EXPECT_EQ(args, (std::vector<std::string>{"plain", "with space", "C:\\dir\\", "C:\\my dir\\", "last"}));
  // A launched file in a subfolder still starts in the extraction folder.
  EXPECT_EQ(fields["cwd"] + "\\", ExtractDir(id));
  EXPECT_EQ(fields["self"], ExtractDir(id) + "bin\\tools\\probe.exe");
  EXPECT_EQ(fields["data"], "hello");
  EXPECT_EQ(std::strtoul(fields["attr"].c_str(), nullptr, 16) & FILE_ATTRIBUTE_READONLY, 1u) << fields["attr"];
  EXPECT_EQ(fields["time"], "2021-03-14 15:09:26");
  EXPECT_EQ(fields["window"], "0");
  // The program ended and started nothing that still runs: its folder is gone at once.
  EXPECT_FALSE(Exists(ExtractDir(id)));
  EXPECT_TRUE(PendingBelow(ExtractDir(id)).empty());
  // Any 32-bit exit code, and an empty parameter string.
  for (const char* code : {"0x7FFFFFFF", "1"}) {
    SetEnvironmentVariableA("KESDRA_PROBE_EXIT", code);
    const RunResult again = Run(file);
    EXPECT_TRUE(again.boxes.empty());
    EXPECT_EQ(again.exitCode, std::strtoul(code, nullptr, 0)) << code;
    EXPECT_EQ(Record()["argc"], "0");
  }
}

TEST_F(StubTest, TheWindowIsUpWhileALargePayloadUnpacks) {
  RunningProgram run;
  ASSERT_TRUE(run.Start(Quote(Produce({{"big.bin", std::string(48 << 20, 'x')}, Probe()})), dir_));
  bool seen = false;
  while (!seen && !run.Ended(5)) seen = !WindowsOfProcess(run.Pid(), "tarvexwindowclass").empty();
  EXPECT_EQ(run.WaitForExit(60000), 0u);
  EXPECT_TRUE(seen);
  EXPECT_EQ(Record()["window"], "0");
}

// Each of these is refused with one box before the launched program runs, and what was
// unpacked (if anything) is removed, the open file too; last, a launch that fails names the file.
TEST_F(StubTest, DamagedOrEmptyFilesOrAFailedLaunchAreRefused) {
  ExpectFileRefused("alone", stub_, stub_);
  const std::string empty = ReadFile(Produce({}));  // identifier and end record: 28 bytes
  EXPECT_EQ(empty.size(), stub_.size() + 28);
  ExpectFileRefused("empty", stub_, empty);
  ExpectFileRefused("empty files", stub_, ReadFile(Produce({{"a.txt", ""}, {"probe.exe", "", 1}})));
  TestEntry unmarked = Probe();
  unmarked.launch = 0;
  ExpectFileRefused("no marked entry", stub_, ReadFile(Produce({{"a.txt", "a"}, unmarked})));

  const std::string full = ReadFile(Produce({{"first.txt", "11111"}, {"second.txt", "22222"}, {"third.txt", "3"}, Probe()}));
  const size_t second = stub_.size() + 11 + 17 + 9 + 5 + 4;
  // Cut inside the second header: a read that ends early, reported as such.
  ExpectFileRefused("cut in a header", stub_, full.substr(0, second + 9), "\r\n\r\nEnd of file");
  // Cut inside the data: the walk leaves the file.
  ExpectFileRefused("cut in the data", stub_, full.substr(0, second + 17 + 10 + 3));
  std::string corrupt = full;
  ASSERT_EQ(corrupt.substr(second + 17 + 10, 5), "22222");
  corrupt[second + 17 + 10 + 2] = 'X';
  ExpectFileRefused("corrupted data byte", stub_, corrupt);
  std::string negative = full;
  Put32(negative, second + 5, 0xFFFFFF00u);  // the second entry's Size
  ExpectFileRefused("negative size", stub_, negative);
  std::string badId = full;
  badId.replace(stub_.size() + 1, 10, "..\\..\\0000");  // would name another folder
  ExpectFileRefused("bad identifier", stub_, badId);
  // Nothing is associated with this extension: the shell cannot open it. Wine reports such
  // a file as not executable (193), whose text takes the path as its insert.
  std::string id;
  const RunResult r = Run(Produce({{"start.kesdra-no-such-type", "data", 1}}, &id));
  ExpectRefused(r, InvalidText(ExtractDir(id) + "start.kesdra-no-such-type"), id);
}

TEST_F(StubTest, RefusesUnsafeNamesBeforeWritingAnything) {
  const std::string victim = dir_ + "victim.txt";
  const std::vector<std::string> names = {"..\\victim.txt", "a\\..\\..\\victim.txt",
                                  "\\victim.txt", victim, "C:victim.txt", "a:stream", "a\\\\b.txt", "a\\.\\b.txt",
                                  "a/b.txt", "a<b.txt", "a|b.txt", "a?b.txt", "a*b.txt", "a\"b.txt", "a\x01" "b.txt",
                                  "dir\\",
                                  // Devices, with and without extension, in any case, as a folder too;
                                  // names Windows would strip of their trailing dots or spaces.
                                  "COM1", "nul.txt", "Aux", "sub\\CON\\x.txt", "lpt\xB9.log", "x.txt.", "x.txt ",
                                  "...\\...\\victim.txt", ".. \\victim.txt"};
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    std::string id;
    const std::string path = Produce({{"first.txt", "1"}, {name, "evil"}, Probe()}, &id);
    ExpectRefused(Run(path), InvalidText(path), id);
  }
  // Nothing was unpacked, so nothing is registered: no path through a refused name either.
  for (const std::string& id : ids_) EXPECT_TRUE(PendingBelow(TempPath() + "~sfx" + id + "\\").empty()) << id;
  EXPECT_FALSE(Exists(victim));
  EXPECT_FALSE(Exists(TempPath() + "victim.txt"));
}

// Under Wine a link is a link of the Unix file system below; Wine shows one that leads to a
// folder as a directory with the reparse-point attribute, and cannot make or remove one
// itself, so the Unix tools do it.
bool IsFolderLink(const std::string& path) {
  const DWORD attr = GetFileAttributesA(path.c_str());
  return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_REPARSE_POINT);
}

TEST_F(StubTest, APlantedFolderOrLinkOrLeftoversAreNeverUsed) {
  // What another process of the user may have put where the run would unpack: a folder
  // holding a library the launched program would load and an earlier run's read-only,
  // hidden, system file, and a link leading elsewhere.
  const std::string target = dir_ + "elsewhere\\";
  CreateDirectoryA(target.c_str(), nullptr);
  std::string id;
  TestEntry kept{"kept.txt", "k"};
  kept.attr = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  const std::string file = Produce({kept, {"sub\\a.txt", "a"}, Probe()}, &id);
  const std::string root = ExtractDir(id);
  ASSERT_TRUE(CreateDirectoryA(root.c_str(), nullptr));
  WriteFile(root + "version.dll", "planted");
  WriteFile(root + "kept.txt", "old");
  SetFileAttributesA((root + "kept.txt").c_str(), kept.attr);
  const std::string link = root.substr(0, root.size() - 1) + ".1";
  const bool linked = !UnixPath(target).empty() && !UnixPath(link).empty() &&
                      RunLinuxProgram("/bin/ln", "-s \"" + UnixPath(target) + "\" \"" + UnixPath(link) + "\"",
                                      [&] { return IsFolderLink(link); });
  // A value the system would not add to stands for a system that refuses the registration.
  const std::string before = PendingValue();
  const DWORD notAList = 1;
  SetPendingValue(std::string(reinterpret_cast<const char*>(&notAList), 4), REG_DWORD);
  const RunResult r = Run(file);
  SetPendingValue(before);
  EXPECT_TRUE(r.boxes.empty());
  EXPECT_EQ(r.exitCode, 0u);
  const std::string expected = root.substr(0, root.size() - 1) + (linked ? ".2" : ".1");
  EXPECT_EQ(Record()["cwd"], expected);
  EXPECT_EQ(ReadFile(root + "version.dll"), "planted");
  EXPECT_EQ(ReadFile(root + "kept.txt"), "old");
  SetFileAttributesA((root + "kept.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
  EXPECT_FALSE(Exists(root + "probe.exe"));
  EXPECT_FALSE(Exists(target + "sub"));
  EXPECT_FALSE(Exists(expected));
  // The link itself goes, never what it leads to.
  EXPECT_TRUE(!linked || RunLinuxProgram("/bin/rm", "\"" + UnixPath(link) + "\"", [&] { return !Exists(link); }));
}

TEST_F(StubTest, AFullPathLongerThanWindowsAllowsIsRefusedBeforeWriting) {
  // A temporary folder of 200 characters; with "~sfx", the identifier and a backslash the
  // extraction folder has 215, so a name of 32,553 bytes makes a path one byte too long.
  std::string longTemp = dir_;
  while (longTemp.size() < 199) longTemp += std::string(std::min<size_t>(60, 199 - longTemp.size()), 'd') + "\\";
  longTemp.resize(199);
  longTemp += "\\";
  for (size_t i = dir_.size(); i < longTemp.size(); ++i) {
    if (longTemp[i] == '\\') CreateDirectoryA(longTemp.substr(0, i).c_str(), nullptr);
  }
  ASSERT_EQ(longTemp.size(), 200u);
  const ScopedEnv tmp("TMP", longTemp.c_str()), temp("TEMP", longTemp.c_str());
  std::string shortId, longId;
  // The long folder is taken: a short name unpacks there.
  EXPECT_EQ(Run(Produce({{"a.txt", "a"}, Probe()}, &shortId)).exitCode, 0u);
  EXPECT_EQ(Record()["cwd"], longTemp + "~sfx" + shortId);
  DeleteFileA(record_.c_str());
  const RunResult refused = Run(Produce({{"a.txt", "a"}, {std::string(32767 - 215 + 1, 'n'), "x"}, Probe()}, &longId));
  const std::string longRoot = longTemp + "~sfx" + longId + "\\";
  ASSERT_EQ(longRoot.size(), 215u);
  ExpectRefused(refused, longRoot + "\r\n\r\n" + SystemText(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_FALSE(Exists(longRoot));
}

// A launched batch file that leaves a child running from the folder: nothing can be
// deleted yet, so everything is registered for the restart, once.
TEST_F(StubTest, WhatALingeringChildKeepsIsRegisteredOnceInTheSystemsOrder) {
  std::vector<TestEntry> entries;
  for (int folder = 0; folder < 3; ++folder) {
    for (int n = 0; n < 20; ++n) entries.push_back({"f" + std::to_string(folder) + "\\g\\file" + std::to_string(n) + ".txt", "x"});
  }
  TestEntry hidden{"hidden.txt", "h"};
  hidden.attr = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;
  entries.push_back(hidden);
  entries.push_back({"run.bat", "@start \"\" ping -n 3 127.0.0.1 >nul\r\n@exit /b 4\r\n", 1});
  std::string id;
  const std::string file = Produce(entries, &id);
  const std::string before = PendingValue();
  EXPECT_EQ(Run(file).exitCode, 4u);  // the stub does not wait for the child
  const std::string base = ExtractDir(id);
  EXPECT_TRUE(Exists(base + "run.bat"));
  const std::string after = PendingValue();
  const std::vector<std::string> ours = PendingBelow(base);
  // Every file, every folder after what it holds, the extraction folder last.
  ASSERT_EQ(ours.size(), entries.size() + 2 * 3 + 1);
  EXPECT_EQ(Lower(ours.back() + "\\"), Lower(base));
  auto rank = [&](const std::string& p) { return std::find(ours.begin(), ours.end(), p) - ours.begin(); };
  for (int folder = 0; folder < 3; ++folder) {
    const std::string f = base + "f" + std::to_string(folder);
    EXPECT_LT(rank(f + "\\g\\file0.txt"), rank(f + "\\g"));
    EXPECT_LT(rank(f + "\\g"), rank(f));
  }
  // Attributes are cleared, so that the restart can delete the file.
  EXPECT_EQ(GetFileAttributesA((base + "hidden.txt").c_str()) & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN), 0u);

  // Registered as the system's own call registers, byte for byte.
  SetPendingValue(before);
  for (const std::string& p : ours) EXPECT_TRUE(MoveFileExA(p.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) << p;
  EXPECT_EQ(PendingValue(), after);

  // The child ends (its ping takes about 2 s) and the folder is emptied; a second run of the
  // same file takes the same folder, keeps a child again, and registers nothing twice.
  Sleep(3500);
  RemoveTree(base);
  EXPECT_EQ(Run(file).exitCode, 4u);
  EXPECT_EQ(PendingValue(), after);
  Sleep(3500);
  SetPendingValue(before);
}

TEST_F(StubTest, ConcurrentRunsEachUnpackIntoTheirOwnFolder) {
  std::string id;
  const std::string file = Produce({{"data.txt", "d"}, Probe()}, &id);
  const ScopedEnv sleep("KESDRA_PROBE_SLEEP", "1500");
  RunningProgram runs[2];
  for (int i = 0; i < 2; ++i) {
    SetEnvironmentVariableA("KESDRA_PROBE_OUT", (record_ + std::to_string(i)).c_str());
    SetEnvironmentVariableA("KESDRA_PROBE_EXIT", std::to_string(10 + i).c_str());
    ASSERT_TRUE(runs[i].Start(Quote(file), dir_));
    // The second starts while the first one's program runs from its folder.
    ASSERT_TRUE(i > 0 || WaitUntil([&] { return Exists(ExtractDir(id) + "probe.exe"); }, 20000));
  }
  const std::string base = ExtractDir(id);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(runs[i].WaitForExit(30000), 10u + i);
  for (int i = 0; i < 2; ++i) {
    record_ = dir_ + "probe.txt" + std::to_string(i);
    const std::string folder = Record()["cwd"] + "\\";
    EXPECT_EQ(folder, i == 0 ? base : base.substr(0, base.size() - 1) + ".1\\");
    EXPECT_FALSE(Exists(folder));
  }
}

TEST_F(StubTest, PathsAndParametersOutsideTheCodePageArriveUnchanged) {
  std::string id;
  const std::string file = Produce({{"data.txt", "d"}, Probe()}, &id);
  const std::string folder = dir_ + u8"\u041a\u0438\u0440\u0438\u043b\u043b\u0438\u0446\u0430\\";  // Cyrillic
  const std::string temp = dir_ + u8"\u0141ukasz\\";
  ASSERT_TRUE(CreateDirectoryW(Wide(folder).c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW(Wide(temp).c_str(), nullptr));
  ASSERT_TRUE(CopyFileW(Wide(file).c_str(), Wide(folder + "basic.exe").c_str(), FALSE));
  {
    const ScopedEnv tmp("TMP", temp.c_str()), tempVar("TEMP", temp.c_str());
    // Fullwidth quotes, which a best-fit conversion would turn into real ones.
    EXPECT_EQ(Run(folder + "basic.exe", u8"\"one\uFF02 two \uFF02three\" \u0141\u00f3d\u017a").exitCode, 0u);
  }
  std::vector<std::string> args;
  const auto fields = Record(&args);
  EXPECT_EQ(args, (std::vector<std::string>{u8"one\uFF02 two \uFF02three", u8"\u0141\u00f3d\u017a"}));
  EXPECT_EQ(fields.count("cwd") ? fields.at("cwd") : "", temp + "~sfx" + id);
  EXPECT_EQ(GetFileAttributesW(Wide(temp + "~sfx" + id).c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(StubTest, AConsoleProgramWritesIntoTheCallersConsole) {
  const std::string file = Produce({{"run.bat", "@echo kesdra-console-echo\r\n", 1}});
  const std::string out = dir_ + "out.txt";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE output = CreateFileA(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(output, INVALID_HANDLE_VALUE);
  // Started from a console program, as a script would start it.
  RunningProgram cmd;
  EXPECT_TRUE(cmd.Start("cmd.exe /c " + Quote(file), dir_, output));
  EXPECT_EQ(cmd.WaitForExit(60000), 0u);
  CloseHandle(output);
  EXPECT_NE(ReadFile(out).find("kesdra-console-echo"), std::string::npos) << ReadFile(out);
}

TEST_F(StubTest, ALibraryPlantedBesideTheFileIsNotLoaded) {
  // The planted library must fit the stub under test: the 32-bit one beside the shipped stub,
  // which the 32-bit build carries only where it runs its test programs.
  const std::string library = ShippedDir() + "planted_dll.dll";
  if (ShippedDir() != ProgramDir() && !Exists(library)) GTEST_SKIP() << "no 32-bit planted library built: " << library;
  ASSERT_TRUE(Exists(library)) << library;
  // uxtheme.dll, which the window code loads by name. (Wine's own user32 imports
  // version.dll, so there it is loaded before any code of the stub runs; Windows' user32 is
  // a known library without that import.)
  WriteFile(dir_ + "uxtheme.dll", ReadFile(library));
  const std::string file = Produce({Probe()});
  // Wine looks in the program's folder first only for libraries set native-first (here for
  // this program alone), as Windows does for every library that is not a known one.
  const std::string appKey = "Software\\Wine\\AppDefaults\\" + file.substr(file.rfind('\\') + 1);
  ASSERT_EQ(RegSetKeyValueA(HKEY_CURRENT_USER, (appKey + "\\DllOverrides").c_str(), "uxtheme", REG_SZ, "native,builtin", 15),
            ERROR_SUCCESS);
  const RunResult r = Run(file);
  RegDeleteTreeA(HKEY_CURRENT_USER, appKey.c_str());
  EXPECT_EQ(r.exitCode, 0u);
  EXPECT_FALSE(Exists(dir_ + "uxtheme.dll.loaded"));  // left by the library when loaded
}

TEST_F(StubTest, AProgramThatAsksForAdministratorRightsPassesOnItsExitCode) {
  // The stub itself runs as its caller; the program's own manifest asks the system for more,
  // which the shell's launch takes care of (Wine has no such prompt and just runs it).
  const std::string admin = dir_ + "admin.exe";
  WriteFile(admin, probe_);
  const char manifest[] =
      "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\"><trustInfo "
      "xmlns=\"urn:schemas-microsoft-com:asm.v3\"><security><requestedPrivileges><requestedExecutionLevel "
      "level=\"requireAdministrator\" uiAccess=\"false\"/></requestedPrivileges></security></trustInfo></assembly>";
  HANDLE update = BeginUpdateResourceA(admin.c_str(), FALSE);
  ASSERT_NE(update, nullptr);
  ASSERT_TRUE(UpdateResourceA(update, MAKEINTRESOURCEA(24), MAKEINTRESOURCEA(1), 0, const_cast<char*>(manifest),
                              sizeof manifest - 1));
  ASSERT_TRUE(EndUpdateResourceA(update, FALSE));
  SetEnvironmentVariableA("KESDRA_PROBE_EXIT", "17");
  const RunResult r = Run(Produce({{"setup.exe", ReadFile(admin), 1}}));
  EXPECT_TRUE(r.boxes.empty());
  EXPECT_EQ(r.exitCode, 17u);
}

// ---- the progress window ------------------------------------------------------------------
// Looked at under Xvfb while the stub's error box is up (the window stays on screen until that
// box is closed), so nothing depends on timing. Run a second time by ctest with the system
// language German (Wine takes it from LC_ALL).

const char kClass[] = "tarvexwindowclass";

struct WindowSeen {
  bool found = false;
  RECT rect{};
  LONG_PTR style = 0, exStyle = 0;
  bool survivedClose = false;
  std::vector<COLORREF> pixels;  // the window's client area, 320 x 96, row by row
};

// w x h pixels, row by row, of what `draw` leaves in a memory DC compatible with the screen.
std::vector<COLORREF> Pixels(int w, int h, const std::function<void(HDC mem, HDC screen)>& draw) {
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  HBITMAP bmp = CreateCompatibleBitmap(screen, w, h);
  HGDIOBJ old = SelectObject(mem, bmp);
  draw(mem, screen);
  std::vector<COLORREF> pixels;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) pixels.push_back(GetPixel(mem, x, y));
  SelectObject(mem, old);
  DeleteObject(bmp);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
  return pixels;
}

// The window's pixels as they are on the screen.
std::vector<COLORREF> Capture(const RECT& r) {
  const int w = r.right - r.left, h = r.bottom - r.top;
  return Pixels(w, h, [&](HDC mem, HDC screen) { BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY); });
}

// The window's pixels once it has been drawn again after the box moved off it: the bar's
// row shows only the bar's two colours, and two looks in a row agree.
std::vector<COLORREF> CaptureWhenDrawn(const RECT& r) {
  const COLORREF filled = GetSysColor(COLOR_ACTIVECAPTION), empty = GetSysColor(COLOR_WINDOW);
  std::vector<COLORREF> last, now;
  WaitUntil(
      [&] {
        last = now;
        now = Capture(r);
        if (now.size() != 320u * 96u || now != last) return false;
        for (int x = 17; x <= 303; ++x)
          if (now[78 * 320 + x] != filled && now[78 * 320 + x] != empty) return false;
        return true;
      },
      5000);
  return now;
}

// A title line drawn the way the window is described: 16-pixel "MS Sans Serif" at (16, 12)
// in window-text colour on the button face.
std::vector<COLORREF> RenderTitle(const char* text) {
  return Pixels(320, 96, [&](HDC mem, HDC) {
    RECT all = {0, 0, 320, 96};
    HBRUSH face = CreateSolidBrush(GetSysColor(COLOR_BTNFACE));
    FillRect(mem, &all, face);
    DeleteObject(face);
    HFONT font = CreateFontA(16, 0, 0, 0, 400, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, "MS Sans Serif");
    HGDIOBJ oldFont = SelectObject(mem, font);
    SetBkColor(mem, GetSysColor(COLOR_BTNFACE));
    SetTextColor(mem, GetSysColor(COLOR_WINDOWTEXT));
    TextOutA(mem, 16, 12, text, lstrlenA(text));
    SelectObject(mem, oldFont);
    DeleteObject(font);
  });
}

// Pixels that differ inside the title line's band (x 16..300, y 15..28: the web address
// above it reaches down to y 14).
int TitleDifferences(const std::vector<COLORREF>& a, const std::vector<COLORREF>& b) {
  int differences = 0;
  for (int y = 15; y < 28; ++y)
    for (int x = 16; x < 300; ++x) differences += a[y * 320 + x] != b[y * 320 + x];
  return differences;
}

// A PNG file ends with its IEND chunk: no longer being written.
bool IsWholePng(const std::string& bytes) {
  static const char kEnd[] = "IEND\xAE\x42\x60\x82";
  return bytes.size() > 8 + 12 && bytes.compare(0, 4, "\x89PNG") == 0 &&
         bytes.compare(bytes.size() - 8, 8, kEnd, 8) == 0;
}

// Keeps a screenshot of the whole screen as a test artefact: a 24-bit BMP of the screen as
// GDI sees it, turned into PNG by ImageMagick (a Linux program that Wine starts like any
// other). ImageMagick's own "import -window root" here mostly reads black frames from the
// X server while Wine's windows are up, so the pixels come from GDI instead.
bool SaveScreenshot(const std::string& pngName) {
  const std::string bmpPath = ProgramDir() + "screen.bmp", pngPath = ProgramDir() + pngName;
  DeleteFileA(pngPath.c_str());
  const int w = GetSystemMetrics(SM_CXSCREEN), h = GetSystemMetrics(SM_CYSCREEN);
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = w;
  info.bmiHeader.biHeight = h;  // bottom-up, as a BMP file stores it
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  void* bits = nullptr;
  HBITMAP dib = CreateDIBSection(mem, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(mem, dib);
  BitBlt(mem, 0, 0, w, h, screen, 0, 0, SRCCOPY);
  GdiFlush();
  const DWORD stride = ((w * 3) + 3) & ~3u;
  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof(file) + sizeof(info.bmiHeader);
  file.bfSize = file.bfOffBits + stride * h;
  std::string bytes(reinterpret_cast<const char*>(&file), sizeof(file));
  bytes.append(reinterpret_cast<const char*>(&info.bmiHeader), sizeof(info.bmiHeader));
  bytes.append(static_cast<const char*>(bits), stride * h);
  WriteFile(bmpPath, bytes);
  SelectObject(mem, old);
  DeleteObject(dib);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);

  if (!StartLinuxProgram("/usr/bin/convert", UnixPath(bmpPath) + " " + UnixPath(pngPath))) return false;
  // The handle of a Linux process tells nothing about its end: wait for its whole output.
  const bool written = WaitUntil([&] { return IsWholePng(ReadFile(pngPath)); }, 15000);
  DeleteFileA(bmpPath.c_str());
  return written;
}

class StubWindowTest : public StubTest {
 protected:
  // A file whose given entry of three is corrupted: the box comes up with the bar at the
  // share of the entries before it (the second: 50 %). -1: an unsafe name in the last entry,
  // refused in the walk before anything is written.
  std::string Corrupted(int corruptEntry = 1) {
    const std::vector<TestEntry> entries = {
        {"a.bin", std::string(300000, 'a')}, {"b.bin", std::string(200000, 'b')}, {"c.bin", std::string(500000, 'c'), 1}};
    std::string bytes = ReadFile(Produce(entries));
    size_t at = stub_.size() + 11;
    for (int i = 0; i < corruptEntry; ++i) at += 17 + entries[i].name.size() + entries[i].data.size() + 4;
    if (corruptEntry < 0) bytes[bytes.size() - 17 - 4 - 500000 - 1] = '/';
    else bytes[at + 17 + 5 + 10] ^= 1;
    const std::string path = dir_ + "corrupt.exe";
    WriteFile(path, bytes);
    return path;
  }

  // Runs the file; while its box is up, looks at the progress window, then closes the box.
  WindowSeen RunAndLook(const std::string& path, const std::string& screenshot = std::string()) {
    WindowSeen seen;
    bool looked = false;
    const RunResult r = RunAndAnswer(Quote(path), dir_, [&](const BoxSeen&) {
      if (looked) return IDOK;
      looked = true;
      HWND window = FindWindowA(kClass, nullptr);
      seen.found = window != nullptr;
      if (!window) return IDOK;
      GetWindowRect(window, &seen.rect);
      seen.style = GetWindowLongPtrA(window, GWL_STYLE);
      seen.exStyle = GetWindowLongPtrA(window, GWL_EXSTYLE);
      DWORD_PTR ignored = 0;
      SendMessageTimeoutA(window, WM_CLOSE, 0, 0, SMTO_BLOCK, 5000, &ignored);
      seen.survivedClose = IsWindow(window) != FALSE;
      // The box is centred like the window: move it aside, let the window repaint, look.
      if (HWND box = FindWindowA("#32770", nullptr)) SetWindowPos(box, nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
      RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
      seen.pixels = CaptureWhenDrawn(seen.rect);
      if (!screenshot.empty()) {
        EXPECT_TRUE(SaveScreenshot(screenshot));
      }
      return IDOK;
    });
    EXPECT_EQ(r.exitCode, 0xFFFFFFFFu);
    EXPECT_EQ(r.boxes.size(), 1u);
    EXPECT_FALSE(IsWindow(FindWindowA(kClass, nullptr))) << "the window goes with the process";
    return seen;
  }

};

// Run a second time by ctest with LC_ALL=de_DE.UTF-8: the system default language is then
// German, whose title is also checked as written out here.
TEST_F(StubWindowTest, BorderlessToolWindowInTheMiddleTitledInTheSystemLanguage) {
  const WindowSeen seen = RunAndLook(Corrupted());
  ASSERT_TRUE(seen.found);
  EXPECT_EQ(seen.rect.right - seen.rect.left, 320);
  EXPECT_EQ(seen.rect.bottom - seen.rect.top, 96);
  EXPECT_EQ(seen.rect.left, (GetSystemMetrics(SM_CXSCREEN) - 320) / 2);
  EXPECT_EQ(seen.rect.top, (GetSystemMetrics(SM_CYSCREEN) - 96) / 2);
  EXPECT_EQ(seen.exStyle & WS_EX_TOOLWINDOW, WS_EX_TOOLWINDOW);
  EXPECT_EQ(static_cast<DWORD>(seen.style) & (WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_THICKFRAME),
            static_cast<DWORD>(WS_POPUP | WS_VISIBLE));
  EXPECT_TRUE(seen.survivedClose);
  const LANGID system = GetSystemDefaultLangID();
  const uint8_t row = LanguageRowFor(system);
  ASSERT_EQ(seen.pixels.size(), 320u * 96u);
  EXPECT_EQ(TitleDifferences(seen.pixels, RenderTitle(TitleText(row))), 0) << "language id " << std::hex << system;
  // And not some other row's title.
  EXPECT_GT(TitleDifferences(seen.pixels, RenderTitle(TitleText(row == 2 ? 0 : 2))), 0);
  if (PRIMARYLANGID(system) == LANG_GERMAN) {
    EXPECT_EQ(TitleDifferences(seen.pixels, RenderTitle("Initialisierung")), 0);
  }
}

TEST_F(StubWindowTest, BarIsFilledToTheShareUnpacked) {
  // Refused during the walk: nothing written, the bar empty. The second of three entries
  // corrupted: half of the data written, the bar filled up to 16 + 144 = 160. The last one
  // corrupted: all data written, the bar full. Row 78 holds no label.
  const struct {
    int corruptEntry, filledUpTo;
    const char* screenshot;
  } cases[] = {{-1, 17, "stub-progress-0.png"}, {1, 160, "stub-progress-50.png"}, {2, 304, "stub-progress-100.png"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.screenshot);
    const WindowSeen seen = RunAndLook(Corrupted(c.corruptEntry), c.screenshot);
    ASSERT_EQ(seen.pixels.size(), 320u * 96u);
    int wrong = 0;
    for (int x = 17; x <= 303; ++x)
      wrong += seen.pixels[78 * 320 + x] != GetSysColor(x < c.filledUpTo ? COLOR_ACTIVECAPTION : COLOR_WINDOW);
    EXPECT_EQ(wrong, 0);
  }
}

// ---- files from the real builder, stored and compressed ----------------------------------

class BuiltFile : public StubTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(BuiltFile, MixedTreeUnpacksExactlyAndPassesParametersAndExitCode) {
  const std::string file = BuildMixedTree(GetParam());
  const std::string payload = file.substr(produced::PayloadStart(file));
  ASSERT_GT(payload.size(), 11u);
  if (std::string(GetParam()) == "-z") {
    ASSERT_EQ(static_cast<int32_t>(produced::Le(payload, kPayloadIdSize + 1, 4)), kPackedMarker);
    EXPECT_LT(payload.size(), 1300000u) << "the noise is stored once";
  }
  const std::string path = dir_ + "built" + GetParam() + ".exe";
  SetEnvironmentVariableA("KESDRA_PROBE_EXIT", "5");
  const ScopedEnv sleep("KESDRA_PROBE_SLEEP", "4000");
  RunningProgram run;
  ASSERT_TRUE(run.Start(Quote(path) + " one \"two words\"", dir_));
  // Compared while the launched program runs: the folder goes when it has ended.
  const std::string out = ExtractDir(payload.substr(1, 10));
  EXPECT_TRUE(WaitUntil(
      [&] {
        for (const auto& f : tree_)
          if (ReadFile(out + f.first) != f.second) return false;
        return true;
      },
      30000));
  EXPECT_EQ(run.WaitForExit(30000), 5u);
  std::vector<std::string> args;
  EXPECT_EQ(Record(&args)["cwd"] + "\\", out);
  EXPECT_EQ(args, (std::vector<std::string>{"one", "two words"}));
  EXPECT_FALSE(Exists(out));
}

INSTANTIATE_TEST_SUITE_P(Kinds, BuiltFile, ::testing::Values("", "-z"),
                         [](const ::testing::TestParamInfo<const char*>& p) { return *p.param ? "Compressed" : "Stored"; });

// Puts the CRC of a compressed payload back after a change, as a hostile but consistent
// file would have it; the payload size field stays out of it.
void Reseal(std::string* payload) {
  const char* p = payload->data() + kPayloadIdSize;
  const int32_t n = static_cast<int32_t>(payload->size() - kPayloadIdSize - 4);
  Put32(*payload, payload->size() - 4, Crc32(Crc32(0, p, kPayloadSizeAt), p + kPayloadSizeAt + 4, n - kPayloadSizeAt - 4));
}

TEST_F(StubTest, SignedCompressedFileRunsAndDamagedOrForeignPayloadsAreRefusedBeforeWriting) {
  const std::string packedStub = ReadFile(ShippedDir() + "sfxheadz.exe");
  ASSERT_FALSE(packedStub.empty());
  const std::string built = BuildMixedTree("-z");
  const std::string payload = built.substr(produced::PayloadStart(built));
  const size_t trailer = payload.size() - kPackedTrailerSize;
  const size_t streams = produced::Le(payload, trailer + 8, 4), table = trailer - streams * kStreamRecordSize;
  std::vector<std::pair<std::string, std::string>> cases;
  // A flipped byte in the middle of each stream.
  for (size_t i = 0, at = kPayloadIdSize + kPackedHeaderSize; i < streams; ++i) {
    const size_t size = produced::Le(payload, table + i * kStreamRecordSize + 8, 4);
    std::string flipped = payload;
    flipped[at + size / 2] ^= 0x40;
    cases.push_back({"flipped byte in stream " + std::to_string(i), flipped});
    at += size;
  }
  for (size_t keep : {size_t(kPayloadIdSize + 10), payload.size() / 3, payload.size() - 1})
    cases.push_back({"cut at " + std::to_string(keep), payload.substr(0, keep)});
  std::string sizes = payload;
  Put32(sizes, trailer, produced::Le(sizes, trailer, 4) + 100);
  Reseal(&sizes);
  cases.push_back({"declared size larger than the streams", sizes});
  const size_t last = trailer - kStreamRecordSize;  // an LZMA stream: it holds the end record
  std::string dictionary = payload;
  Put32(dictionary, last + 4, kMaxDictionarySize * 2);
  Reseal(&dictionary);
  cases.push_back({"dictionary above the maximum", dictionary});
  std::string lclp = payload;
  lclp[last + 2] = 8 + 9 * 4;  // lc 8, lp 4
  Reseal(&lclp);
  cases.push_back({"lc and lp outside what the builder writes", lclp});
  for (auto& c : cases) {
    // Each case gets its own identifier, so that one run can never hide another's folder.
    ids_.push_back(FreshId());
    c.second.replace(1, 10, ids_.back());
    ExpectFileRefused(c.first, packedStub, packedStub + c.second);
  }
  // Each stub refuses the other kind of payload.
  ExpectFileRefused("plain stub, compressed payload", stub_, stub_ + payload);
  const std::string stored = BuildMixedTree("");
  ExpectFileRefused("compressed stub, stored payload", packedStub, packedStub + stored.substr(produced::PayloadStart(stored)));
  // What signing does to the file: padding to 8 bytes, then a certificate table that the
  // security directory points at. The stub does not check the signature, only skips it.
  std::string file = built;
  file.resize((file.size() + 7) / 8 * 8, '\0');
  const size_t pe = produced::Le(file, 0x3C, 2);
  const size_t directory = pe + 24 + (produced::Le(file, pe + 24, 2) == 0x20B ? 112 : 96) + 4 * 8;
  Put32(file, directory, static_cast<uint32_t>(file.size()));
  Put32(file, directory + 4, 1032);
  std::string cert(8, '\0');
  Put32(cert, 0, 1032);
  Put32(cert, 4, 0x00020200);  // revision 2.0, PKCS#7 signed data
  WriteFile(dir_ + "signed.exe", file + cert + RandomBytes(1024, 11));
  SetEnvironmentVariableA("KESDRA_PROBE_EXIT", "7");
  const RunResult r = Run(dir_ + "signed.exe");
  ASSERT_TRUE(r.started);
  EXPECT_TRUE(r.boxes.empty());
  EXPECT_EQ(r.exitCode, 7u);
}

}  // namespace
