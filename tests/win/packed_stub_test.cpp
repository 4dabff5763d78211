// Compressed payloads end to end under Wine: kesdra.exe -z builds them, the compressed stub
// unpacks them, and damaged or foreign files are refused before anything is written. The
// 32-bit stub is used where this machine runs 32-bit code itself (KESDRA_I386_NATIVE=1 from
// scripts/wine-env), else the 64-bit build of the same sources.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "harness.h"
#include "shared/u_packed.h"
#include "shared/u_shared.h"

using namespace harness;

namespace {

const DWORD kQuitWithMessage = 0xFFFFFFFF;

uint32_t Le32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s.at(at + i));
  return v;
}

void PutLe32(std::string* s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*s)[at + i] = static_cast<char>(v >> (8 * i));
}

size_t StubSize(const std::string& file) {
  const size_t pe = Le32(file, 0x3C) & 0xFFFF;
  const size_t sections = Le32(file, pe + 6) & 0xFFFF, optSize = Le32(file, pe + 20) & 0xFFFF;
  size_t end = 0;
  for (size_t i = 0; i < sections; ++i) {
    const size_t at = pe + 24 + optSize + 40 * i;
    const size_t rawSize = Le32(file, at + 16), rawPtr = Le32(file, at + 20);
    if (rawSize > 0 && rawPtr + rawSize > end) end = rawPtr + rawSize;
  }
  return end;
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

std::string Text(size_t lines) {
  std::string s;
  for (size_t i = 0; i < lines; ++i) s += "line " + std::to_string(i % 977) + " of a long and dull text file\r\n";
  return s;
}

class PackedStub : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    UseUnmanagedWindows();
  }
  void SetUp() override {
    dir_ = TempDir("kz");
    char native[8] = {};
    GetEnvironmentVariableA("KESDRA_I386_NATIVE", native, sizeof native);
    const std::string stub32 = ProgramDir() + "..\\win-i686\\sfxheadz.exe";
    packedStub_ = ReadFile(std::string(native) == "1" && Exists(stub32) ? stub32 : ProgramDir() + "sfxheadz.exe");
    ASSERT_FALSE(packedStub_.empty());
    SetEnvironmentVariableA("KESDRA_PROBE_OUT", (dir_ + "probe.txt").c_str());
    SetEnvironmentVariableA("KESDRA_PROBE_EXIT", "0");
  }
  void TearDown() override {
    RemoveTree(dir_);
    for (const std::string& id : ids_) RemoveTree(ExtractDir(id));
  }

  // A mixed tree: compressible, incompressible, empty, 1 MiB + 1, nested folders, and two
  // files that repeat earlier ones, written as copy entries.
  void MakeTree() {
    src_ = dir_ + "src\\";
    files_ = {{"probe.exe", ReadFile(ProgramDir() + "stub_probe.exe")},
              {"readme.txt", Text(20000)},
              {"empty.txt", ""},
              {"media\\noise.cab", RandomBytes(1200000, 3)},
              {"deep\\er\\edge.bin", std::string((1 << 20) + 1, 'e')},
              {"deep\\er\\still\\zero.dat", ""},
              {"twin\\noise.cab", RandomBytes(1200000, 3)},
              {"twin\\edge.bin", std::string((1 << 20) + 1, 'e')},
              {"bin\\x86.exe", ReadFile(ProgramDir() + "..\\win-i686\\sfxhead.exe")},
              {"bin\\x64.exe", ReadFile(ProgramDir() + "exit_at_once.exe")},
              {"bin\\fake.exe", "MZ and no program"},
              {"caf\xE9.txt", "a name from code page 1252, stored in UTF-8"}};
    for (const auto& f : files_) {
      for (size_t at = f.first.find('\\'); at != std::string::npos; at = f.first.find('\\', at + 1))
        CreateDirectoryA((src_ + f.first.substr(0, at)).c_str(), nullptr);
      WriteFile(src_ + f.first, f.second);
    }
  }

  // Builds with kesdra.exe -z and puts the stub under test in front of the payload.
  std::string BuildPacked(const std::string& switches = "-z") {
    MakeTree();
    const std::string built = dir_ + "built.exe";
    const RunResult r = RunAndAnswer(Quote(ProgramDir() + "kesdra.exe") + " " + switches + " -h -o -c " + Quote(src_) +
                                     " probe.exe " + Quote(built));
    EXPECT_TRUE(r.started);
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_TRUE(r.boxes.empty());
    return ReadFile(built);
  }
  std::string PayloadOf(const std::string& file) { return file.substr(StubSize(file)); }
  std::string Write(const std::string& stub, const std::string& payload) {
    const std::string path = dir_ + "produced" + std::to_string(++count_) + ".exe";
    WriteFile(path, stub + payload);
    ids_.push_back(payload.substr(1, 10));
    return path;
  }
  // Puts the CRC back after a change, as a hostile but consistent file would have it; the
  // payload size field stays out of it.
  static void Reseal(std::string* payload) {
    const char* p = payload->data() + kPayloadIdSize;
    const int32_t n = static_cast<int32_t>(payload->size() - kPayloadIdSize - 4);
    const uint32_t crc = Crc32(Crc32(0, p, kPayloadSizeAt), p + kPayloadSizeAt + 4, n - kPayloadSizeAt - 4);
    PutLe32(payload, payload->size() - 4, crc);
  }
  void ExpectRefusedBeforeWriting(const std::string& path, const std::string& payload, const std::string& what) {
    const RunResult r = RunAndAnswer(Quote(path), dir_);
    ASSERT_TRUE(r.started) << what;
    EXPECT_FALSE(r.timedOut) << what;
    EXPECT_EQ(r.exitCode, kQuitWithMessage) << what;
    ASSERT_EQ(r.boxes.size(), 1u) << what;
    EXPECT_EQ(r.boxes[0].text, "Bad EXE format for " + path) << what;
    EXPECT_FALSE(Exists(ExtractDir(payload.substr(1, 10)))) << what << ": nothing may be written";
  }

  std::string dir_, src_, packedStub_;
  std::vector<std::pair<std::string, std::string>> files_;
  std::vector<std::string> ids_;
  int count_ = 0;
};

TEST_F(PackedStub, MixedTreeUnpacksExactlyAndPassesParametersAndExitCode) {
  const std::string payload = PayloadOf(BuildPacked());
  ASSERT_EQ(static_cast<int32_t>(Le32(payload, kPayloadIdSize + 1)), kPackedMarker);
  EXPECT_LT(payload.size(), 1300000u) << "the noise is stored once";
  const std::string file = Write(packedStub_, payload);
  SetEnvironmentVariableA("KESDRA_PROBE_EXIT", "5");
  SetEnvironmentVariableA("KESDRA_PROBE_SLEEP", "4000");
  RunningProgram run;
  ASSERT_TRUE(run.Start(Quote(file) + " one \"two words\"", dir_));
  // Compared while the launched program runs: the folder goes when it has ended.
  const std::string out = ExtractDir(payload.substr(1, 10));
  const auto unpacked = [&] {
    for (const auto& f : files_) {
      if (ReadFile(out + f.first) != f.second) return false;
    }
    return true;
  };
  EXPECT_TRUE(WaitUntil(unpacked, 30000));
  SetEnvironmentVariableA("KESDRA_PROBE_SLEEP", nullptr);
  EXPECT_EQ(run.WaitForExit(30000), 5u);
  const std::string record = ReadFile(dir_ + "probe.txt");
  EXPECT_NE(record.find("arg=one\narg=two words\n"), std::string::npos) << record;
  EXPECT_FALSE(Exists(out));
}

TEST_F(PackedStub, SignedFileUnpacksAsBefore) {
  // What signing does to the file: padding to 8 bytes, then a certificate table that the
  // security directory points at. The stub does not check the signature, only skips it.
  const std::string payload = PayloadOf(BuildPacked());
  std::string file = packedStub_ + payload;
  file.resize((file.size() + 7) / 8 * 8, '\0');
  const size_t certAt = file.size();
  std::string cert(8, '\0');
  PutLe32(&cert, 0, 1032);
  PutLe32(&cert, 4, 0x00020200);  // revision 2.0, PKCS#7 signed data
  file += cert + RandomBytes(1024, 11);
  const size_t pe = Le32(file, 0x3C) & 0xFFFF;
  const size_t directory = pe + 24 + ((Le32(file, pe + 24) & 0xFFFF) == 0x20B ? 112 : 96) + 4 * 8;
  PutLe32(&file, directory, static_cast<uint32_t>(certAt));
  PutLe32(&file, directory + 4, 1032);
  const std::string path = dir_ + "signed.exe";
  WriteFile(path, file);
  ids_.push_back(payload.substr(1, 10));
  SetEnvironmentVariableA("KESDRA_PROBE_EXIT", "7");
  const RunResult r = RunAndAnswer(Quote(path), dir_);
  ASSERT_TRUE(r.started);
  EXPECT_TRUE(r.boxes.empty());
  EXPECT_EQ(r.exitCode, 7u);
}

TEST_F(PackedStub, DamagedFilesAreRefusedBeforeAnythingIsWritten) {
  const std::string payload = PayloadOf(BuildPacked());
  const size_t trailer = payload.size() - kPackedTrailerSize;
  const size_t streams = Le32(payload, trailer + 8), table = trailer - streams * kStreamRecordSize;
  std::vector<std::pair<std::string, std::string>> cases;
  // A flipped byte in the middle of each stream.
  for (size_t i = 0, at = kPayloadIdSize + kPackedHeaderSize; i < streams; ++i) {
    const size_t size = Le32(payload, table + i * kStreamRecordSize + 8);
    std::string flipped = payload;
    flipped[at + size / 2] ^= 0x40;
    cases.push_back({"flipped byte in stream " + std::to_string(i), flipped});
    at += size;
  }
  for (size_t keep : {size_t(kPayloadIdSize + 10), payload.size() / 3, payload.size() - 1})
    cases.push_back({"cut at " + std::to_string(keep), payload.substr(0, keep)});
  std::string sizes = payload;
  PutLe32(&sizes, trailer, Le32(sizes, trailer) + 100);
  Reseal(&sizes);
  cases.push_back({"declared size larger than the streams", sizes});
  const size_t last = trailer - kStreamRecordSize;  // an LZMA stream: it holds the end record
  std::string dictionary = payload;
  PutLe32(&dictionary, last + 4, kMaxDictionarySize * 2);
  Reseal(&dictionary);
  cases.push_back({"dictionary above the maximum", dictionary});
  std::string lclp = payload;
  lclp[last + 2] = 8 + 9 * 4;  // lc 8, lp 4
  Reseal(&lclp);
  cases.push_back({"lc and lp outside what the builder writes", lclp});
  for (auto& c : cases) {
    // Each case gets its own identifier, so that one run can never hide another's folder.
    char id[11];
    snprintf(id, sizeof id, "%010X", static_cast<unsigned>(0x0A000000 + GetTickCount() % 0xFFFFFF + count_));
    for (size_t i = 0; i < 10 && 1 + i < c.second.size(); ++i) c.second[1 + i] = id[i];
    ExpectRefusedBeforeWriting(Write(packedStub_, c.second), c.second, c.first);
  }
}

TEST_F(PackedStub, EachStubRefusesTheOtherKindOfPayload) {
  const std::string packed = PayloadOf(BuildPacked());
  const std::string plainStub = ReadFile(ProgramDir() + "sfxhead.exe");
  ExpectRefusedBeforeWriting(Write(plainStub, packed), packed, "plain stub, compressed payload");
  const std::string stored = PayloadOf(BuildPacked(""));
  ExpectRefusedBeforeWriting(Write(packedStub_, stored), stored, "compressed stub, stored payload");
}

}  // namespace
