// The stub end to end under Wine: produced files built byte by byte from the real
// sfxhead.exe (or by the real builder), run as a user would run them. Failures are checked
// by the box text the user sees and the exit code.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"
#include "tests/native/payload_test_files.h"

using namespace harness;
using namespace payload_test;

namespace {

const DWORD kQuitWithMessage = 0xFFFFFFFF;

// A fresh identifier per produced file, so that runs never share an extraction folder.
std::string FreshId() {
  static unsigned counter = 0;
  char id[16];
  snprintf(id, sizeof id, "00%04X%04X", static_cast<unsigned>(GetCurrentProcessId() & 0xFFFF),
           static_cast<unsigned>((GetTickCount() + ++counter * 7919) & 0xFFFF));
  return id;
}

std::map<std::string, std::string> ReadProbeRecord(const std::string& path, std::vector<std::string>* args) {
  std::map<std::string, std::string> fields;
  std::istringstream in(ReadFile(path));
  std::string line;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    if (line.compare(0, eq, "arg") == 0) args->push_back(line.substr(eq + 1));
    else fields[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return fields;
}

// Wine keeps restart-time deletions in the registry, in the order they were made.
std::vector<std::string> PendingDeletions() {
  std::vector<std::string> paths;
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager", 0, KEY_READ, &key))
    return paths;
  DWORD size = 0, type = 0;
  if (RegQueryValueExA(key, "PendingFileRenameOperations", nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
    std::string value(size, '\0');
    RegQueryValueExA(key, "PendingFileRenameOperations", nullptr, &type, reinterpret_cast<BYTE*>(&value[0]), &size);
    // Pairs of zero-terminated strings: the file, then its new name (empty: delete).
    size_t at = 0;
    while (at < value.size() && value[at]) {
      const std::string from = value.c_str() + at;
      at += from.size() + 1;
      const std::string to = value.c_str() + at;
      at += to.size() + 1;
      if (to.empty()) paths.push_back(from.compare(0, 4, "\\??\\") == 0 ? from.substr(4) : from);
    }
  }
  RegCloseKey(key);
  return paths;
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(tolower(c)); });
  return s;
}

std::vector<std::string> PendingBelow(const std::string& dir) {
  std::vector<std::string> found;
  const std::string base = Lower(dir.substr(0, dir.size() - 1));
  for (const std::string& p : PendingDeletions()) {
    if (Lower(p).compare(0, base.size(), base) == 0) found.push_back(p);
  }
  return found;
}

std::string PendingValue() {
  std::string value;
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager", 0, KEY_READ, &key))
    return value;
  DWORD size = 0;
  if (RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS) {
    value.resize(size);
    RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr, reinterpret_cast<BYTE*>(&value[0]), &size);
    value.resize(size);
  }
  RegCloseKey(key);
  return value;
}

void SetPendingValue(const std::string& value) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager", 0, KEY_SET_VALUE, &key))
    return;
  if (value.empty()) RegDeleteValueW(key, L"PendingFileRenameOperations");
  else RegSetValueExW(key, L"PendingFileRenameOperations", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(value.data()),
                      static_cast<DWORD>(value.size()));
  RegCloseKey(key);
}

// The system's text for a code, as the stub shows it (trailing dots and line ends cut).
std::string SystemText(DWORD code) {
  char text[256] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text, sizeof text, nullptr);
  std::string s = text;
  while (!s.empty() && (static_cast<unsigned char>(s.back()) <= 32 || s.back() == '.')) s.pop_back();
  return s;
}


// The stub that ships is the 32-bit build, tested where this machine runs 32-bit code itself
// (KESDRA_I386_NATIVE=1 from scripts/wine-env); elsewhere the 64-bit build stands in.
const std::string& StubPath() {
  static const std::string path = [] {
    char native[8] = {};
    GetEnvironmentVariableA("KESDRA_I386_NATIVE", native, sizeof native);
    const std::string shipped = ProgramDir() + "..\\win-i686\\sfxhead.exe";
    return std::string(native) == "1" && Exists(shipped) ? shipped : ProgramDir() + "sfxhead.exe";
  }();
  return path;
}

class StubTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    UseUnmanagedWindows();
  }
  void SetUp() override {
    dir_ = TempDir("ks");
    stub_ = ReadFile(StubPath());
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
  std::string Produce(const std::vector<TestEntry>& entries, std::string* id = nullptr, const std::string& tail = "") {
    const std::string fresh = FreshId();
    ids_.push_back(fresh);
    if (id) *id = fresh;
    std::string bytes = stub_ + IdRecord(fresh);
    for (const TestEntry& e : entries) bytes += EntryBytes(e);
    bytes += tail.empty() ? EndRecord() : tail;
    const std::string path = dir_ + "produced" + std::to_string(ids_.size()) + ".exe";
    WriteFile(path, bytes);
    return path;
  }
  TestEntry Probe(const std::string& name = "probe.exe") { return {name, probe_, 1}; }

  RunResult Run(const std::string& path, const std::string& params = "") {
    return RunAndAnswer(Quote(path) + (params.empty() ? "" : " " + params), dir_);
  }
  // The one box of a failed run and its exit code.
  void ExpectOneBox(const RunResult& r, const std::string& text) {
    ASSERT_TRUE(r.started);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, kQuitWithMessage);
    ASSERT_EQ(r.boxes.size(), 1u);
    EXPECT_EQ(r.boxes[0].text, text);
  }
  std::string InvalidText(const std::string& path) { return "Bad EXE format for " + path; }

  std::string dir_, stub_, probe_, record_;
  std::vector<std::string> ids_;
};

TEST_F(StubTest, RoundTripHandsOnParametersAndExitCode) {
  std::string id;
  const std::string file = Produce({{"readme.txt", "hello"}, Probe()}, &id);
  SetEnvironmentVariableA("KESDRA_PROBE_EXIT", "3");
  SetEnvironmentVariableA("KESDRA_PROBE_ATTR", "readme.txt");
  const RunResult r = Run(file, "plain \"with space\" C:\\dir\\ \"C:\\my dir\\\" last");
  SetEnvironmentVariableA("KESDRA_PROBE_ATTR", nullptr);
  ASSERT_TRUE(r.started);
  EXPECT_TRUE(r.boxes.empty());
  EXPECT_EQ(r.exitCode, 3u);
  std::vector<std::string> args;
  auto fields = ReadProbeRecord(record_, &args);
  // To the stub a backslash is an ordinary character; the program must still see both
  // trailing backslashes, which the Windows argument rules would otherwise take as escapes.
  EXPECT_EQ(args, (std::vector<std::string>{"plain", "with space", "C:\\dir\\", "C:\\my dir\\", "last"}));
  EXPECT_EQ(fields["cwd"] + "\\", ExtractDir(id));
  EXPECT_EQ(fields["self"], ExtractDir(id) + "probe.exe");
  EXPECT_EQ(fields["data"], "hello");
  EXPECT_EQ(fields["window"], "0");
  // The program ended and started nothing that still runs: its folder is gone at once.
  EXPECT_FALSE(Exists(ExtractDir(id)));
  EXPECT_TRUE(PendingBelow(ExtractDir(id)).empty());
}

TEST_F(StubTest, TheWindowIsUpWhileALargePayloadUnpacks) {
  const std::string file = Produce({{"big.bin", std::string(48 << 20, 'x')}, Probe()});
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  std::string cmd = Quote(file);
  ASSERT_TRUE(CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, dir_.c_str(), &si, &pi));
  bool seen = false;
  while (!seen && WaitForSingleObject(pi.hProcess, 5) == WAIT_TIMEOUT) {
    seen = !WindowsOfProcess(pi.dwProcessId, "tarvexwindowclass").empty();
  }
  EXPECT_EQ(WaitForSingleObject(pi.hProcess, 60000), WAIT_OBJECT_0);
  DWORD code = 1;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  EXPECT_TRUE(seen);
  EXPECT_EQ(code, 0u);
  std::vector<std::string> args;
  EXPECT_EQ(ReadProbeRecord(record_, &args)["window"], "0");
}

TEST_F(StubTest, AFailedLaunchNamesTheFile) {
  std::string id;
  // Nothing is associated with this extension: the shell cannot open it.
  const std::string path = Produce({{"start.kesdra-no-such-type", "data", 1}}, &id);
  const RunResult r = Run(path);
  EXPECT_EQ(r.exitCode, kQuitWithMessage);
  ASSERT_EQ(r.boxes.size(), 1u);
  const std::string launchPath = ExtractDir(id) + "start.kesdra-no-such-type";
  // Wine reports such a file as not executable (193), whose text takes the path as its insert.
  EXPECT_EQ(r.boxes[0].text, InvalidText(launchPath));
  EXPECT_FALSE(Exists(ExtractDir(id)));  // a failed run removes what it unpacked
}

TEST_F(StubTest, NoParametersGiveAnEmptyParameterString) {
  const RunResult r = Run(Produce({Probe()}));
  EXPECT_EQ(r.exitCode, 0u);
  std::vector<std::string> args;
  auto fields = ReadProbeRecord(record_, &args);
  EXPECT_EQ(fields["argc"], "0");
}

TEST_F(StubTest, PassesOnAnyThirtyTwoBitExitCode) {
  const std::string file = Produce({Probe()});
  for (const char* code : {"0xC0FFEE42", "0x7FFFFFFF", "1"}) {
    SetEnvironmentVariableA("KESDRA_PROBE_EXIT", code);
    const RunResult r = Run(file);
    EXPECT_TRUE(r.boxes.empty());
    EXPECT_EQ(r.exitCode, std::strtoul(code, nullptr, 0)) << code;
  }
}

TEST_F(StubTest, MarkedFileInASubfolderStartsInTheExtractionFolder) {
  std::string id;
  SetEnvironmentVariableA("KESDRA_PROBE_ATTR", "data\\a.bin");
  const RunResult r = Run(Produce({{"data\\a.bin", "aaa"}, Probe("bin\\tools\\probe.exe")}, &id));
  SetEnvironmentVariableA("KESDRA_PROBE_ATTR", nullptr);
  EXPECT_EQ(r.exitCode, 0u);
  std::vector<std::string> args;
  auto fields = ReadProbeRecord(record_, &args);
  EXPECT_EQ(fields["cwd"] + "\\", ExtractDir(id));
  EXPECT_EQ(fields["self"], ExtractDir(id) + "bin\\tools\\probe.exe");
  EXPECT_EQ(fields["data"], "aaa");
}

TEST_F(StubTest, RestoresTimeAndAttributes) {
  TestEntry kept{"kept.txt", "k"};
  kept.attr = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE;
  kept.time = (((2021 - 1980) << 9 | 3 << 5 | 14) << 16) | (15 << 11 | 9 << 5 | 26 / 2);
  SetEnvironmentVariableA("KESDRA_PROBE_ATTR", "kept.txt");  // relative to the working directory
  const RunResult r = Run(Produce({kept, Probe()}));
  SetEnvironmentVariableA("KESDRA_PROBE_ATTR", nullptr);
  EXPECT_EQ(r.exitCode, 0u);
  std::vector<std::string> args;
  auto fields = ReadProbeRecord(record_, &args);
  EXPECT_EQ(std::strtoul(fields["attr"].c_str(), nullptr, 16) & FILE_ATTRIBUTE_READONLY, 1u) << fields["attr"];
  EXPECT_EQ(fields["time"], "2021-03-14 15:09:26");
}

TEST_F(StubTest, TheStubAloneIsNotAValidApplication) {
  const std::string path = dir_ + "alone.exe";
  WriteFile(path, stub_);
  ExpectOneBox(Run(path, "ignored"), InvalidText(path));
}

TEST_F(StubTest, PayloadsWithoutDataAreRefused) {
  const std::string empty = Produce({});  // identifier and end record: 28 bytes
  EXPECT_EQ(ReadFile(empty).size(), stub_.size() + 28);
  ExpectOneBox(Run(empty), InvalidText(empty));
  const std::string emptyFiles = Produce({{"a.txt", ""}, {"probe.exe", "", 1}});
  ExpectOneBox(Run(emptyFiles), InvalidText(emptyFiles));
  EXPECT_FALSE(Exists(ExtractDir(ids_.back())));
}

TEST_F(StubTest, AFileCutShortFailsBeforeAnythingIsWritten) {
  std::string id;
  const std::string full = ReadFile(Produce({{"first.txt", "11111"}, Probe()}, &id));
  const size_t second = stub_.size() + 11 + 17 + 9 + 5 + 4;
  // Cut inside the second header: a read that ends early, reported as such.
  const std::string insideHeader = dir_ + "cut-header.exe";
  WriteFile(insideHeader, full.substr(0, second + 9));
  ExpectOneBox(Run(insideHeader), insideHeader + "\r\n\r\nEnd of file");
  // Cut after the second header, inside its data: the walk leaves the file.
  const std::string insideData = dir_ + "cut-data.exe";
  WriteFile(insideData, full.substr(0, second + 17 + 9 + 100));
  ExpectOneBox(Run(insideData), InvalidText(insideData));
  EXPECT_FALSE(Exists(ExtractDir(id)));
}

TEST_F(StubTest, ACorruptedDataByteStopsAndRemovesTheFolder) {
  std::string id;
  std::string bytes = ReadFile(Produce({{"first.txt", "11111"}, {"second.txt", "22222"}, {"third.txt", "3"}, Probe()}, &id));
  const size_t secondData = stub_.size() + 11 + (17 + 9 + 5 + 4) + 17 + 10;
  ASSERT_EQ(bytes.substr(secondData, 5), "22222");
  bytes[secondData + 2] = 'X';
  const std::string path = dir_ + "corrupt.exe";
  WriteFile(path, bytes);
  ExpectOneBox(Run(path), InvalidText(path));
  EXPECT_FALSE(Exists(ExtractDir(id)));  // what was unpacked is removed, the open file too
  EXPECT_FALSE(Exists(record_));
}

TEST_F(StubTest, NoMarkedEntryIsRefusedAndRemoved) {
  std::string id;
  TestEntry unmarked = Probe();
  unmarked.launch = 0;
  const std::string path = Produce({{"a.txt", "a"}, unmarked}, &id);
  ExpectOneBox(Run(path), InvalidText(path));
  EXPECT_FALSE(Exists(ExtractDir(id)));
  EXPECT_FALSE(Exists(record_));
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
  std::vector<std::string> ids;
  for (const std::string& name : names) {
    std::string id;
    const std::string path = Produce({{"first.txt", "1"}, {name, "evil"}, Probe()}, &id);
    ExpectOneBox(Run(path), InvalidText(path));
    EXPECT_FALSE(Exists(ExtractDir(id))) << name;
    ids.push_back(Lower("~sfx" + id));
  }
  // Nothing was unpacked, so nothing is registered: no path through a refused name either.
  for (const std::string& p : PendingDeletions()) {
    for (const std::string& id : ids) EXPECT_EQ(Lower(p).find(id), std::string::npos) << p;
  }
  EXPECT_FALSE(Exists(victim));
  EXPECT_FALSE(Exists(TempPath() + "victim.txt"));
}

TEST_F(StubTest, RefusesImpossibleNumbersAndIdentifiers) {
  // A negative Size in the second entry, and an identifier that would name another folder.
  std::string bytes = ReadFile(Produce({{"first.txt", "1"}, Probe()}));
  const size_t second = stub_.size() + 11 + 17 + 9 + 1 + 4;
  payload_test::PutLe32(bytes, second + 5, 0xFFFFFF00u);
  const std::string negative = dir_ + "negative.exe";
  WriteFile(negative, bytes);
  ExpectOneBox(Run(negative), InvalidText(negative));

  std::string badId = ReadFile(Produce({Probe()}));
  badId.replace(stub_.size() + 1, 10, "..\\..\\0000");
  const std::string idPath = dir_ + "bad-id.exe";
  WriteFile(idPath, badId);
  ExpectOneBox(Run(idPath), InvalidText(idPath));
  EXPECT_FALSE(Exists(record_));
}

TEST_F(StubTest, FilesFromTheRealBuilderRoundTrip) {
  const std::string src = dir_ + "src\\";
  WriteFile(src + "Setup\\probe.exe", probe_);
  WriteFile(src + "docs\\readme.txt", "from the builder");
  const std::string target = dir_ + "built.exe";
  const RunResult build = RunAndAnswer(Quote(ProgramDir() + "kesdra.exe") + " -h -o -c " + Quote(src) + " " +
                                       Quote("setup\\PROBE.EXE") + " " + Quote(target));
  ASSERT_EQ(build.exitCode, 0u);
  ASSERT_TRUE(build.boxes.empty());
  SetEnvironmentVariableA("KESDRA_PROBE_EXIT", "42");
  SetEnvironmentVariableA("KESDRA_PROBE_ATTR", "docs\\readme.txt");
  const RunResult r = Run(target, "x");
  SetEnvironmentVariableA("KESDRA_PROBE_ATTR", nullptr);
  EXPECT_TRUE(r.boxes.empty());
  EXPECT_EQ(r.exitCode, 42u);
  std::vector<std::string> args;
  auto fields = ReadProbeRecord(record_, &args);
  EXPECT_EQ(args, std::vector<std::string>{"x"});
  // The builder rewrote the stub's resources: the payload starts where its sections end.
  const std::string built = ReadFile(target);
  payload_test::MemorySource source(built);
  int32_t start = 0;
  ASSERT_EQ(LocatePayloadStart(source.source(), &start), kFaultNone);
  const std::string id = built.substr(start + 1, 10);
  ids_.push_back(id);
  EXPECT_EQ(fields["cwd"] + "\\", ExtractDir(id));
  EXPECT_EQ(fields["data"], "from the builder");
}

// Under Wine a link is a link of the Unix file system below; Wine shows one that leads to a
// folder as a directory with the reparse-point attribute, and cannot make or remove one
// itself, so the Unix tools do it (Wine starts Unix programs as it starts its own).
std::string UnixPath(const std::string& path) {
  using UnixName = char*(CDECL*)(const wchar_t*);
  auto unixName = reinterpret_cast<UnixName>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
  if (!unixName) return "";
  const std::wstring wide(path.begin(), path.end());
  char* name = unixName(wide.c_str());
  const std::string result = name ? name : "";
  HeapFree(GetProcessHeap(), 0, name);
  return result;
}

// Runs a Unix tool and waits until `done` holds (the handle of a Unix process does not tell
// when it has ended).
bool RunUnixTool(const std::string& tool, const std::string& args, const std::function<bool()>& done) {
  std::string cmd = tool + " " + args;
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(("Z:\\bin\\" + tool).c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
    return false;
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  for (int i = 0; i < 100 && !done(); ++i) Sleep(50);
  return done();
}

bool IsFolderLink(const std::string& path) {
  const DWORD attr = GetFileAttributesA(path.c_str());
  return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool MakeFolderLink(const std::string& link, const std::string& target) {
  const std::string from = UnixPath(target), to = UnixPath(link);
  if (from.empty() || to.empty()) return false;
  return RunUnixTool("ln", "-s \"" + from + "\" \"" + to + "\"", [&] { return IsFolderLink(link); });
}

// Removes the link itself, never what it leads to.
void RemoveLink(const std::string& link) {
  EXPECT_TRUE(RunUnixTool("rm", "\"" + UnixPath(link) + "\"", [&] { return !Exists(link); })) << link;
}

TEST_F(StubTest, APlantedFolderOrLinkIsNeverUsed) {
  // What another process of the user may have put where the run would unpack: a folder
  // holding a library the launched program would load, and a link leading elsewhere.
  const std::string target = dir_ + "elsewhere\\";
  CreateDirectoryA(target.c_str(), nullptr);
  std::string id;
  const std::string file = Produce({{"sub\\a.txt", "a"}, Probe()}, &id);
  const std::string root = ExtractDir(id);
  ASSERT_TRUE(CreateDirectoryA(root.c_str(), nullptr));
  WriteFile(root + "version.dll", "planted");
  const std::string link = root.substr(0, root.size() - 1) + ".1";
  const bool linked = MakeFolderLink(link, target);
  const RunResult r = Run(file);
  EXPECT_TRUE(r.boxes.empty());
  EXPECT_EQ(r.exitCode, 0u);
  std::vector<std::string> args;
  const std::string expected = root.substr(0, root.size() - 1) + (linked ? ".2" : ".1");
  EXPECT_EQ(ReadProbeRecord(record_, &args)["cwd"], expected);
  EXPECT_EQ(ReadFile(root + "version.dll"), "planted");
  EXPECT_FALSE(Exists(root + "probe.exe"));
  EXPECT_FALSE(Exists(target + "sub"));
  EXPECT_FALSE(Exists(expected));
  if (linked) RemoveLink(link);
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
  char savedTmp[MAX_PATH + 1] = {}, savedTemp[MAX_PATH + 1] = {};
  GetEnvironmentVariableA("TMP", savedTmp, sizeof savedTmp);
  GetEnvironmentVariableA("TEMP", savedTemp, sizeof savedTemp);
  SetEnvironmentVariableA("TMP", longTemp.c_str());
  SetEnvironmentVariableA("TEMP", longTemp.c_str());
  std::string shortId, longId;
  const RunResult fits = Run(Produce({{"a.txt", "a"}, Probe()}, &shortId));
  const std::string name(32767 - 215 + 1, 'n');
  const std::string tooLong = Produce({{"a.txt", "a"}, {name, "x"}, Probe()}, &longId);
  const RunResult refused = Run(tooLong);
  SetEnvironmentVariableA("TMP", savedTmp);
  SetEnvironmentVariableA("TEMP", savedTemp);
  // The long folder is taken: a short name unpacks there.
  EXPECT_EQ(fits.exitCode, 0u);
  std::vector<std::string> args;
  EXPECT_EQ(ReadProbeRecord(record_, &args)["cwd"], longTemp + "~sfx" + shortId);
  const std::string longRoot = longTemp + "~sfx" + longId + "\\";
  ASSERT_EQ(longRoot.size(), 215u);
  ExpectOneBox(refused, longRoot + "\r\n\r\n" + SystemText(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_FALSE(Exists(longRoot));
}

// A launched batch file that leaves a child running from the folder: nothing can be
// deleted yet, so everything is registered for the restart, once.
TestEntry LingeringBatch(const std::string& name = "run.bat") {
  return {name, "@start \"\" ping -n 3 127.0.0.1 >nul\r\n@exit /b 4\r\n", 1};
}

// Waits until the child of a lingering batch has ended (its ping takes about 2 s).
void WaitForLingeringChild() { Sleep(3500); }

TEST_F(StubTest, WhatALingeringChildKeepsIsRegisteredOnceInTheSystemsOrder) {
  std::vector<TestEntry> entries;
  for (int folder = 0; folder < 3; ++folder) {
    for (int n = 0; n < 20; ++n) entries.push_back({"f" + std::to_string(folder) + "\\g\\file" + std::to_string(n) + ".txt", "x"});
  }
  TestEntry hidden{"hidden.txt", "h"};
  hidden.attr = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;
  entries.push_back(hidden);
  entries.push_back(LingeringBatch());
  std::string id;
  const std::string file = Produce(entries, &id);
  const std::string before = PendingValue();
  const RunResult first = Run(file);
  EXPECT_EQ(first.exitCode, 4u);  // the stub does not wait for the child
  EXPECT_TRUE(Exists(ExtractDir(id) + "run.bat"));
  const std::string after = PendingValue();
  const std::vector<std::string> ours = PendingBelow(ExtractDir(id));
  // Every file, every folder after what it holds, the extraction folder last.
  ASSERT_EQ(ours.size(), entries.size() + 2 * 3 + 1);
  EXPECT_EQ(Lower(ours.back() + "\\"), Lower(ExtractDir(id)));
  auto rank = [&](const std::string& p) { return std::find(ours.begin(), ours.end(), p) - ours.begin(); };
  const std::string base = ExtractDir(id);
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

  // The child ends and the folder is emptied; a second run of the same file takes the same
  // folder, keeps a child again, and registers nothing twice.
  WaitForLingeringChild();
  RemoveTree(ExtractDir(id));
  EXPECT_EQ(Run(file).exitCode, 4u);
  EXPECT_EQ(PendingValue(), after);
  WaitForLingeringChild();
  SetPendingValue(before);
}

TEST_F(StubTest, ConcurrentRunsEachUnpackIntoTheirOwnFolder) {
  std::string id;
  const std::string file = Produce({{"data.txt", "d"}, Probe()}, &id);
  SetEnvironmentVariableA("KESDRA_PROBE_SLEEP", "1500");
  RunningProgram runs[2];
  for (int i = 0; i < 2; ++i) {
    SetEnvironmentVariableA("KESDRA_PROBE_OUT", (record_ + std::to_string(i)).c_str());
    SetEnvironmentVariableA("KESDRA_PROBE_EXIT", std::to_string(10 + i).c_str());
    ASSERT_TRUE(runs[i].Start(Quote(file), dir_));
    // The second starts while the first one's program runs from its folder.
    if (i == 0) {
      ASSERT_TRUE(WaitUntil([&] { return Exists(ExtractDir(id) + "probe.exe"); }, 20000));
    }
  }
  SetEnvironmentVariableA("KESDRA_PROBE_SLEEP", nullptr);
  std::vector<std::string> folders;
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(runs[i].WaitForExit(30000), 10u + i);
    std::vector<std::string> args;
    folders.push_back(ReadProbeRecord(record_ + std::to_string(i), &args)["cwd"] + "\\");
  }
  EXPECT_EQ(folders, (std::vector<std::string>{ExtractDir(id), ExtractDir(id).substr(0, ExtractDir(id).size() - 1) + ".1\\"}));
  EXPECT_FALSE(Exists(folders[0]));
  EXPECT_FALSE(Exists(folders[1]));
}

TEST_F(StubTest, LeftoversOfAnEarlierRunAndARefusedRegistrationStopNothing) {
  std::string id;
  TestEntry kept{"kept.txt", "k"};
  kept.attr = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  const std::string file = Produce({kept, Probe()}, &id);
  // An earlier run's folder with the same read-only, hidden, system file.
  WriteFile(ExtractDir(id) + "kept.txt", "old");
  SetFileAttributesA((ExtractDir(id) + "kept.txt").c_str(), kept.attr);
  // A value the system would not add to stands for a system that refuses the registration.
  const std::string before = PendingValue();
  HKEY key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager", 0, KEY_SET_VALUE,
                          &key), ERROR_SUCCESS);
  const DWORD notAList = 1;
  RegSetValueExA(key, "PendingFileRenameOperations", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&notAList), 4);
  const RunResult r = Run(file);
  SetPendingValue(before);
  RegCloseKey(key);
  EXPECT_TRUE(r.boxes.empty());
  EXPECT_EQ(r.exitCode, 0u);
  EXPECT_FALSE(Exists(ExtractDir(id).substr(0, ExtractDir(id).size() - 1) + ".1"));
  EXPECT_EQ(ReadFile(ExtractDir(id) + "kept.txt"), "old");
  SetFileAttributesA((ExtractDir(id) + "kept.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(StubTest, PathsAndParametersOutsideTheCodePageArriveUnchanged) {
  std::string id;
  const std::string file = Produce({{"data.txt", "d"}, Probe()}, &id);
  const std::string folder = dir_ + u8"\u041a\u0438\u0440\u0438\u043b\u043b\u0438\u0446\u0430\\";  // Cyrillic
  const std::string temp = dir_ + u8"\u0141ukasz\\";
  ASSERT_TRUE(CreateDirectoryW(Wide(folder).c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW(Wide(temp).c_str(), nullptr));
  ASSERT_TRUE(CopyFileW(Wide(file).c_str(), Wide(folder + "basic.exe").c_str(), FALSE));
  wchar_t savedTmp[MAX_PATH + 1] = {}, savedTemp[MAX_PATH + 1] = {};
  GetEnvironmentVariableW(L"TMP", savedTmp, MAX_PATH);
  GetEnvironmentVariableW(L"TEMP", savedTemp, MAX_PATH);
  SetEnvironmentVariableW(L"TMP", Wide(temp).c_str());
  SetEnvironmentVariableW(L"TEMP", Wide(temp).c_str());
  // Fullwidth quotes, which a best-fit conversion would turn into real ones.
  const DWORD code = RunWide(L"\"" + Wide(folder) + L"basic.exe\" \"one\uFF02 two \uFF02three\" \u0141\u00f3d\u017a", Wide(dir_));
  SetEnvironmentVariableW(L"TMP", savedTmp);
  SetEnvironmentVariableW(L"TEMP", savedTemp);
  EXPECT_EQ(code, 0u);
  std::vector<std::string> args;
  const auto fields = ReadProbeRecord(record_, &args);
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
  EXPECT_EQ(RunWide(L"cmd.exe /c \"" + Wide(file) + L"\"", Wide(dir_), output), 0u);
  CloseHandle(output);
  EXPECT_NE(ReadFile(out).find("kesdra-console-echo"), std::string::npos) << ReadFile(out);
}

TEST_F(StubTest, ALibraryPlantedBesideTheFileIsNotLoaded) {
  // The planted library must fit the stub under test: the 32-bit one beside the shipped stub.
  const bool shipped = StubPath().find("win-i686") != std::string::npos;
  const std::string library = ProgramDir() + (shipped ? "..\\win-i686\\" : "") + "planted_dll.dll";
  // The 32-bit build carries the test programs only where it runs them.
  if (shipped && !Exists(library)) GTEST_SKIP() << "no 32-bit planted library built: " << library;
  ASSERT_TRUE(Exists(library)) << library;
  // uxtheme.dll, which the window code loads by name. (Wine's own user32 imports
  // version.dll, so there it is loaded before any code of the stub runs; Windows' user32 is
  // a known library without that import.)
  WriteFile(dir_ + "uxtheme.dll", ReadFile(library));
  const std::string file = Produce({Probe()});
  const std::string marker = dir_ + "uxtheme.dll.loaded";  // left by the library when loaded
  // Wine looks in the program's folder first only for libraries set native-first (here for
  // this program alone), as Windows does for every library that is not a known one.
  const std::string appKey = "Software\\Wine\\AppDefaults\\" + file.substr(file.rfind('\\') + 1);
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, (appKey + "\\DllOverrides").c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                            &key, nullptr), ERROR_SUCCESS);
  RegSetValueExA(key, "uxtheme", 0, REG_SZ, reinterpret_cast<const BYTE*>("native,builtin"), 15);
  RegCloseKey(key);
  const RunResult r = Run(file);
  RegDeleteTreeA(HKEY_CURRENT_USER, appKey.c_str());
  EXPECT_EQ(r.exitCode, 0u);
  EXPECT_FALSE(Exists(marker));
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

}  // namespace
