// Compressed payloads made by the Linux build pipeline (-z), read back by the compressed
// reader and by kesdra-inspect, and damaged copies of them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>

#include "builder/build_sfx.h"
#include "builder/payload_compressor.h"
#include "builder/source_tree.h"
#include "container/packed_reader.h"
#include "shared/u_packed.h"
#include "shared/u_x86.h"
#include "tests/native/quiet_builds.h"

using namespace payload_test;

namespace {

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

// What a reader saw: every entry whole, in order.
struct Decoded {
  PayloadFault checked = kFaultNone, unpacked = kFaultNone;
  std::map<std::string, std::string> files;
  std::string order, current;
  std::vector<std::string> names;  // every entry in stream order, copies too
  int begun = 0, copies = 0;
  PackedLayout layout{};
};

Decoded Decode(const std::string& bytes, int32_t start) {
  Decoded d;
  const MemorySource mem(bytes);
  const PayloadSource& src = mem.source();
  d.checked = CheckPackedPayload(src, start, &d.layout, nullptr);
  if (d.checked != kFaultNone) return d;
  static std::vector<char> name(kMaxStoredNameLen);
  const PackedMemory memory = {[](size_t n) { return std::malloc(n); }, [](void* p) { std::free(p); }};
  const EntrySink sink = {
      &d,
      [](void* c, const EntryHeader& h, const char* n) {
        auto* x = static_cast<Decoded*>(c);
        x->current.assign(n, h.NameLen);
        x->files[x->current];
        x->order += x->current + ";";
        ++x->begun;
      },
      [](void* c, const void* b, int32_t n) {
        auto* x = static_cast<Decoded*>(c);
        x->files[x->current].append(static_cast<const char*>(b), n);
      },
      [](void* c, const EntryHeader&) {
        auto* x = static_cast<Decoded*>(c);
        x->names.push_back(x->current);
      },
      [](void* c, const EntryHeader& h, const char* n, int32_t source, uint32_t) {
        auto* x = static_cast<Decoded*>(c);
        const std::string name(n, h.NameLen);
        x->files[name] = x->files[x->names.at(source)];
        x->names.push_back(name);
        x->order += name + ";";
        ++x->copies;
      }};
  d.unpacked = UnpackPayload(src, d.layout, nullptr, name.data(), memory, sink);
  return d;
}

// Puts a valid CRC back after a change, as a hostile but consistent file would have it.
// Version 3 leaves its PayloadSize field out; the payload ends at the file's end here.
void Reseal(std::string* bytes, int32_t start) {
  const size_t from = start + kPayloadIdSize;
  const char* p = bytes->data() + from;
  const int32_t n = static_cast<int32_t>(bytes->size() - from - 4);
  const uint32_t crc = static_cast<uint8_t>(p[8]) == kPackedVersion
                           ? Crc32(Crc32(0, p, kPayloadSizeAt), p + kPayloadSizeAt + 4, n - kPayloadSizeAt - 4)
                           : Crc32(0, p, n);
  Put32(*bytes, bytes->size() - 4, crc);
}

// A copy entry of a file of `size` bytes whose data sum to `dataSum`, repeating entry `index`.
std::string CopyEntryBytes(const std::string& name, int32_t size, uint32_t index, uint32_t dataSum) {
  std::string s = HeaderAndName(kCopyEntry, name, static_cast<uint32_t>(size));
  AppendLe32(s, index);
  AppendLe32(s, produced::SumOf(name) + dataSum);
  return s;
}

// A payload of the previous layout written by hand: one stored chunk holding a whole entry
// sequence.
std::string HandMadePayload(const std::string& stub, const std::string& entries, int32_t dataSize,
                            uint8_t version = kChunkedVersion) {
  std::string bytes = stub + IdRecord();
  std::string header(kPackedHeaderSize, '\0');
  Put32(header, 1, static_cast<uint32_t>(kPackedMarker));
  header.replace(5, 3, "KZP");
  header[8] = static_cast<char>(version);
  header[9] = 93;  // lc 3, lp 0, pb 2
  Put32(header, 10, 1 << 16);
  std::string chunk(kChunkHeaderSize, '\0');
  chunk[0] = kChunkStored;
  Put32(chunk, 1, static_cast<uint32_t>(entries.size()));
  std::string trailer(kPackedTrailerSize, '\0');
  Put32(trailer, 0, static_cast<uint32_t>(entries.size()));
  Put32(trailer, 4, static_cast<uint32_t>(dataSize));
  bytes += header + chunk + entries + trailer;
  Reseal(&bytes, static_cast<int32_t>(stub.size()));
  return bytes;
}

std::string Repeated(const std::string& piece, size_t times) {
  std::string s;
  for (size_t i = 0; i < times; ++i) s += piece;
  return s;
}

class PackedTest : public InspectTreeTest {
 protected:
  void SetUp() override {
    InspectTreeTest::SetUp();
    stub_ = TinyStub();
    UseQuietBuilds(plainStub_.data(), plainStub_.size(), 99);
    PackedStubImage.data = stub_.data();
    PackedStubImage.size = stub_.size();
    CompressPayload = true;
  }
  void TearDown() override {
    CompressPayload = false;
    InspectTreeTest::TearDown();
  }

  // A mixed tree: compressible and incompressible data, empty files, 1 MiB + 1, nesting.
  std::string BuildMixed() {
    Write("setup.exe", "MZ program bytes");
    Write("docs/readme.txt", Repeated("the same line of text, again and again\n", 30000));
    Write("docs/empty.dat", "");
    Write("media/noise.cab", RandomBytes(1500000, 1));
    Write("a/b/c/edge.bin", Repeated("\x01\x02", (1 << 20) / 2) + "z");
    const std::string target = root_ + "/mixed.exe";
    EXPECT_EQ(BuildSfx(src_, "setup.exe", target), BuildOutcome::Built);
    return ReadBytes(target);
  }
  int32_t Start() const { return static_cast<int32_t>(stub_.size()); }

  std::string stub_, plainStub_ = "MZ-plain-stub-not-used-with-z";
};

TEST_F(PackedTest, MixedTreeRoundTripsAndOnlyThisReaderTakesIt) {
  const std::string bytes = BuildMixed();
  ASSERT_EQ(bytes.compare(0, stub_.size(), stub_), 0) << "the compressed stub comes first";
  const Decoded d = Decode(bytes, Start());
  ASSERT_EQ(d.checked, kFaultNone);
  ASSERT_EQ(d.unpacked, kFaultNone);
  EXPECT_EQ(d.begun, 5);
  EXPECT_EQ(d.files.at("setup.exe"), "MZ program bytes");
  EXPECT_EQ(d.files.at("docs\\readme.txt"), ReadBytes(root_ + "/src/docs/readme.txt"));
  EXPECT_EQ(d.files.at("docs\\empty.dat"), "");
  EXPECT_EQ(d.files.at("media\\noise.cab"), RandomBytes(1500000, 1));
  EXPECT_EQ(d.files.at("a\\b\\c\\edge.bin"), ReadBytes(root_ + "/src/a/b/c/edge.bin"));
  // The noise went into a stored stream, everything else through LZMA, which shrank it.
  const int32_t noiseEntry = kEntryHeaderSize + 15 + 1500000 + kChecksumSize;
  EXPECT_EQ(d.layout.storedBytes, noiseEntry);
  EXPECT_LT(d.layout.payloadEnd - Start(), noiseEntry + (d.layout.decodedSize - noiseEntry) / 50);

  // The stored readers refuse it at its first record.
  const MemorySource mem(bytes);
  const PayloadSource& src = mem.source();
  std::vector<char> name(kMaxStoredNameLen);
  int32_t total = 0;
  EXPECT_EQ(WalkPayload(src, Start(), nullptr, name.data(), nullptr, nullptr, &total), kFaultBadNameLen);
  EXPECT_TRUE(HasPackedMarker(src, Start()));
  // And the compressed reader does not take a stored payload for one of its own.
  CompressPayload = false;
  StubImage.data = stub_.data();
  StubImage.size = stub_.size();
  ASSERT_EQ(BuildSfx(src_, "setup.exe", root_ + "/plain.exe"), BuildOutcome::Built);
  const std::string plain = ReadBytes(root_ + "/plain.exe");
  PackedLayout layout;
  EXPECT_FALSE(HasPackedMarker(MemorySource(plain).source(), Start()));
  EXPECT_EQ(CheckPackedPayload(MemorySource(plain).source(), Start(), &layout, nullptr), kFaultNoPayload);
}

TEST_F(PackedTest, DamageIsFoundBeforeDecodingAnything) {
  const std::string bytes = BuildMixed();
  const size_t payload = Start() + kPayloadIdSize;
  // Flipped bytes: in the header, its payload size, the middle of every stream, the stream
  // table and the trailer.
  const Decoded whole = Decode(bytes, Start());
  ASSERT_EQ(whole.unpacked, kFaultNone);
  ASSERT_GE(whole.layout.streamCount, 2);
  std::vector<size_t> flips = {payload + 3, payload + kPayloadSizeAt + 1, bytes.size() - 20, bytes.size() - 10};
  for (int32_t i = 0, at = whole.layout.chunksBegin; i < whole.layout.streamCount; at += whole.layout.streams[i++].PackedSize)
    flips.push_back(at + whole.layout.streams[i].PackedSize / 2);
  for (size_t at : flips) {
    std::string damaged = bytes;
    damaged[at] ^= 0x20;
    const Decoded d = Decode(damaged, Start());
    EXPECT_NE(d.checked, kFaultNone) << "flipped byte at " << at;
    EXPECT_EQ(d.begun, 0);
  }
  for (size_t keep : {payload, payload + 20, payload + 5000, bytes.size() / 2, bytes.size() - 1}) {
    const Decoded d = Decode(bytes.substr(0, keep), Start());
    EXPECT_NE(d.checked, kFaultNone) << "cut at " << keep;
  }
}

TEST_F(PackedTest, ConsistentButWrongSizesAndPropertiesAreRefused) {
  const std::string bytes = BuildMixed();
  const size_t trailer = bytes.size() - kPackedTrailerSize;
  const size_t table = trailer - LoadLe32(reinterpret_cast<const unsigned char*>(bytes.data() + trailer + 8)) * 16;
  const size_t last = trailer - kStreamRecordSize;  // the LZMA stream with the end record
  struct Change {
    const char* what;
    std::vector<std::pair<size_t, int32_t>> deltas;  // 32-bit fields, except at a Props byte
    bool beforeWriting;
  };
  const Change changes[] = {
      {"decoded size larger", {{trailer, 1}}, true},  // the streams no longer add up
      {"a stream larger than the room it has", {{table + 8, 1}}, true},
      {"a stored stream decoding to more than it holds", {{table + 12, 1}, {trailer, 1}}, true},
      {"both larger: the stream ends early", {{last + 12, 7}, {trailer, 7}}, false},
      {"data size larger", {{trailer + 4, 1}}, false},
      {"dictionary above the limit", {{last + 4, static_cast<int32_t>(kMaxDictionarySize)}}, true},
      {"lc + lp beyond what the builder writes", {{last + 2, 9}}, true},
      {"a stream count of none", {{trailer + 8, -2}}, true},
  };
  for (const Change& c : changes) {
    std::string hostile = bytes;
    for (const auto& [at, delta] : c.deltas) {
      if (at == last + 2) {
        hostile[at] = static_cast<char>(hostile[at] + delta);
      } else {
        Put32(hostile, at, LoadLe32(reinterpret_cast<const unsigned char*>(hostile.data() + at)) + delta);
      }
    }
    Reseal(&hostile, Start());
    const Decoded d = Decode(hostile, Start());
    if (c.beforeWriting) {
      EXPECT_NE(d.checked, kFaultNone) << c.what;
    } else {
      EXPECT_EQ(d.checked, kFaultNone) << c.what;
      EXPECT_NE(d.unpacked, kFaultNone) << c.what;
    }
  }
}

TEST_F(PackedTest, HostileNamesInTheDecodedStreamAreNeverHandedOn) {
  // A payload written by hand: one stored chunk holding a whole entry sequence whose second
  // name climbs out of the folder.
  const std::string entries = EntryBytes({"ok.txt", "fine", 1}) + EntryBytes({"..\\evil.txt", "bad", 0}) + EndRecord();
  const std::string bytes = HandMadePayload(stub_, entries, 7);
  const Decoded d = Decode(bytes, Start());
  ASSERT_EQ(d.checked, kFaultNone);
  EXPECT_EQ(d.unpacked, kFaultUnsafeName);
  EXPECT_EQ(d.order, "ok.txt;");
}

TEST_F(PackedTest, CopyEntriesMustRepeatAnEarlierOrdinaryEntryOfTheSameSize) {
  const std::string first = EntryBytes({"a.txt", "abcdef", 1}) + EntryBytes({"b.txt", "xyz"});
  const uint32_t abc = produced::SumOf("abcdef");
  struct Case {
    const char* what;
    std::string copy;
    uint8_t version;
    PayloadFault expected;
    int32_t copiedSize = 6;  // for the trailer's DataSize
  };
  const Case cases[] = {
      {"a copy of entry 0", CopyEntryBytes("c.txt", 6, 0, abc), 2, kFaultNone},
      {"a copy in version 1", CopyEntryBytes("c.txt", 6, 0, abc), 1, kFaultPackedDamaged},
      {"its own index", CopyEntryBytes("c.txt", 6, 2, abc), 2, kFaultPackedDamaged},
      {"out of range", CopyEntryBytes("c.txt", 6, 0x80000000u, abc), 2, kFaultPackedDamaged},
      {"another size", CopyEntryBytes("c.txt", 3, 0, produced::SumOf("xyz")), 2, kFaultPackedDamaged, 3},
      {"a checksum of other data", CopyEntryBytes("c.txt", 6, 0, abc + 1), 2, kFaultChecksum},
      {"a copy of a copy", CopyEntryBytes("c.txt", 6, 0, abc) + CopyEntryBytes("d.txt", 6, 2, abc), 2,
       kFaultPackedDamaged, 12},
  };
  for (const Case& c : cases) {
    const std::string bytes = HandMadePayload(stub_, first + c.copy + EndRecord(), 9 + c.copiedSize, c.version);
    const Decoded d = Decode(bytes, Start());
    ASSERT_EQ(d.checked, kFaultNone) << c.what;
    EXPECT_EQ(d.unpacked, c.expected) << c.what;
    if (c.expected == kFaultNone) {
      EXPECT_EQ(d.copies, 1) << c.what;
    }
  }
}

TEST_F(PackedTest, IdenticalFilesAreStoredOnceAndComeBackWhole) {
  // Noise is stored uncompressed, so each copy not made costs its full size.
  const std::string noise = RandomBytes(100000, 3), small = Repeated("tiny", 100);
  Write("setup.exe", noise);
  for (const std::string dir : {"x/", "y/"}) {
    Write(dir + "noise.bin", noise);
    Write(dir + "small.txt", small);
  }
  Write("z/other.bin", noise.substr(0, 99999) + "!");
  ASSERT_EQ(BuildSfx(src_, "setup.exe", root_ + "/dup.exe"), BuildOutcome::Built);
  const std::string bytes = ReadBytes(root_ + "/dup.exe");
  const Decoded d = Decode(bytes, Start());
  ASSERT_EQ(d.unpacked, kFaultNone);
  EXPECT_EQ(d.copies, 1) << "one noise.bin repeats the other; the launch file, small and changed files never";
  EXPECT_EQ(d.files.at("y\\noise.bin"), noise);
  EXPECT_EQ(d.layout.dataSize, 4 * 100000 + 2 * 400);
  EXPECT_LT(bytes.size(), 3 * 100000u + 2000u) << "three noise files stored, not four";
  const std::string out = root_ + "/out";
  ASSERT_EQ(Inspect({"extract", root_ + "/dup.exe", out}), kInspectOk) << err_.str();
  EXPECT_EQ(ReadBytes(out + "/y/noise.bin"), noise);
  EXPECT_EQ(Inspect({"list", root_ + "/dup.exe"}), kInspectOk) << err_.str();
  EXPECT_NE(out_.str().find("=     100000"), std::string::npos) << out_.str();
  EXPECT_EQ(Inspect({"verify", root_ + "/dup.exe"}), kInspectOk) << err_.str();
  EXPECT_NE(out_.str().find("6 files"), std::string::npos) << out_.str();
}

TEST_F(PackedTest, IncompressibleTestLooksAtTheSpreadOfByteValues) {
  const std::string noise = RandomBytes(1 << 20, 5);
  const std::string text = Repeated("Kesdra packs folders. ", 50000);
  const auto* n = reinterpret_cast<const unsigned char*>(noise.data());
  EXPECT_TRUE(LooksIncompressible(n, static_cast<int32_t>(noise.size())));
  EXPECT_FALSE(LooksIncompressible(reinterpret_cast<const unsigned char*>(text.data()), 1 << 20));
  EXPECT_FALSE(LooksIncompressible(n, 4096)) << "small files always go through LZMA";
}

TEST_F(PackedTest, InspectListsVerifiesAndExtractsBothKinds) {
  BuildMixed();
  const std::string packed = root_ + "/mixed.exe";
  EXPECT_EQ(Inspect({"list", packed}), kInspectOk) << err_.str();
  const int total = 16 + 39 * 30000 + 0 + 1500000 + (1 << 20) + 1;
  EXPECT_NE(out_.str().find("5 files, " + std::to_string(total) + " bytes"), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("1500036 of them left uncompressed"), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("a\\b\\c\\edge.bin"), std::string::npos);
  EXPECT_EQ(Inspect({"verify", packed}), kInspectOk) << err_.str();
  EXPECT_NE(out_.str().find("compressed"), std::string::npos);
  EXPECT_EQ(Inspect({"extract", packed, root_ + "/out"}), kInspectOk) << err_.str();
  EXPECT_EQ(std::system(("diff -r " + root_ + "/src " + root_ + "/out").c_str()), 0);

  std::string damaged = ReadBytes(packed);
  damaged[damaged.size() / 3] ^= 1;
  WriteAll(root_ + "/damaged.exe", damaged);
  EXPECT_EQ(Inspect({"extract", root_ + "/damaged.exe", root_ + "/out2"}), kInspectFailed);
  EXPECT_NE(err_.str().find("damaged"), std::string::npos) << err_.str();
  EXPECT_NE(std::system(("test -e " + root_ + "/out2").c_str()), 0) << "nothing written";
}

// Programs of x86 code in miniature: a PE header of the given machine, then calls from all
// over the image to a few functions, as compilers lay them out.
std::string CodeImage(uint16_t machine, size_t size, unsigned seed) {
  std::string s = MinimalPe({{0x200, 0x200}}, 0x1000);
  Put16(s, 0x80 + 4, machine);  // MinimalPe's PE header stands at 0x80
  std::mt19937 gen(seed);
  while (s.size() < size) {
    const uint32_t target = 0x1000 + (gen() % 24) * 0x40;
    s += "\x55\x8B\xEC";
    s += '\xE8';
    AppendLe32(s, target - static_cast<uint32_t>(s.size() + 4));
    s += std::string(1 + gen() % 6, static_cast<char>(0x90 + gen() % 3));
  }
  return s;
}

TEST_F(PackedTest, ProgramsNamesAndCopiesComeBackAlikeFromOneOrTwoThreads) {
  const std::map<std::string, std::string> tree = {
      {"setup.exe", CodeImage(0x14C, 600000, 1)},
      {"bin/x64.dll", CodeImage(0x8664, 300000, 2)},
      {"bin/same.dll", CodeImage(0x8664, 300000, 2)},
      {"fake.exe", "MZ but no program at all"},
      {"日本語/ファイル.txt", Repeated("テキスト\n", 5000)},
      {"Кириллица/файл.txt", Repeated("текст\n", 5000)},
      {"😀 smile.txt", "emoji"},
      {"media/noise.cab", RandomBytes(200000, 9)},
  };
  for (const auto& [name, bytes] : tree) Write(name, bytes);
  BuildHost quiet;
  const SourceTree listed = ListSourceTree(NativeFileSystem(), src_ + "/", 0, quiet, true);
  ASSERT_EQ(listed.refusal, "");
  std::string packed[2];
  for (int threads : {1, 2}) {
    const std::string target = root_ + "/t" + std::to_string(threads) + ".exe";
    WriteAll(target, stub_);
    std::unique_ptr<File> file = NativeFileSystem().OpenOrThrow(target, OpenMode::Update);
    file->SeekToEnd();
    PackedSettings settings;
    settings.threads = threads;
    settings.dictionarySize = 1 << 20;
    const PayloadId id = {10, {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'}};
    WritePackedPayload(*file, NativeFileSystem(), listed.files, "SETUP.EXE", id, quiet,
                       [](const void*, int32_t, int64_t) {}, settings);
    file->CloseOrThrow();
    packed[threads - 1] = ReadBytes(target);
  }
  EXPECT_TRUE(packed[0] == packed[1]) << "the bytes do not depend on the thread count";
  const Decoded d = Decode(packed[0], Start());
  ASSERT_EQ(d.unpacked, kFaultNone);
  EXPECT_EQ(d.copies, 1);
  for (const auto& [name, bytes] : tree) {
    std::string stored = name;
    for (char& c : stored) c = c == '/' ? '\\' : c;
    EXPECT_TRUE(d.files.at(stored) == bytes) << name;
  }
  bool converted = false;
  for (int32_t i = 0; i < d.layout.streamCount; ++i) converted |= d.layout.streams[i].Filter == kFilterX86;
  EXPECT_TRUE(converted) << "the calls of the programs pay for the converter";
}

TEST_F(PackedTest, NamesWindowsCannotCreateAreRefusedInUtf8Too) {
  for (const char* bad : {"COM\xC2\xB9.txt", "a\xC0\xAF.txt", "\xED\xA0\x80.txt", "dot.", "a:b", "NUL.txt"})
    EXPECT_FALSE(IsSafeUtf8Name(bad, static_cast<int32_t>(strlen(bad)))) << bad;
  for (const char* good : {"caf\xC3\xA9.txt", "\xF0\x9F\x98\x80", "COM\xC2\xB9x.txt", "d\\\xD1\x84.txt"})
    EXPECT_TRUE(IsSafeUtf8Name(good, static_cast<int32_t>(strlen(good)))) << good;
  Write("setup.exe", "x");
  Write("\xC3\x89t\xC3\xA9.txt", "1");  // Été and ÉTÉ: one folder holds one of them
  Write("\xC3\x89T\xC3\x89.txt", "2");
  BuildHost quiet;
  const SourceTree twins = ListSourceTree(NativeFileSystem(), src_ + "/", 0, quiet, true);
  EXPECT_NE(twins.refusal.find("differ only in letter case"), std::string::npos) << twins.refusal;
  // A launched program whose name is not plain ASCII is still the one marked.
  WriteAll(root_ + "/run/caf\xC3\xA9.exe", "MZ");
  ASSERT_EQ(BuildSfx(root_ + "/run", "caf\xC3\xA9.exe", root_ + "/l.exe"), BuildOutcome::Built);
  ASSERT_EQ(Inspect({"list", root_ + "/l.exe"}), kInspectOk) << err_.str();
  EXPECT_NE(out_.str().find("*          2 "), std::string::npos) << out_.str();
}

// The converter against Python's lzma module: [x86, LZMA1] compressed there, decoded there by
// LZMA1 alone, shows the converted bytes.
class X86ConverterTest : public TempTreeTest {};

TEST_F(X86ConverterTest, MatchesPythonsFilterAndRoundTripsInAnyPieces) {
  if (std::system("python3 -c 'import lzma' >/dev/null 2>&1") != 0) GTEST_SKIP() << "no python3 with lzma";
  std::string code = CodeImage(0x14C, 200000, 7);
  code += std::string("\xE8\x10\x00\x00", 4);  // a call in the last four bytes: never converted
  const std::vector<std::string> inputs = {code, "\xE8\x01\x02", "", code.substr(0, 5), code.substr(0, 4)};
  for (const std::string& input : inputs) {
    const std::string in = root_ + "/in", out = root_ + "/out";
    WriteAll(in, input);
    ASSERT_EQ(std::system(("python3 -c \"import lzma,sys; d=open('" + in +
                           "','rb').read(); c=lzma.compress(d,format=lzma.FORMAT_RAW,filters=[{'id':lzma.FILTER_X86},"
                           "{'id':lzma.FILTER_LZMA1}]); open('" + out +
                           "','wb').write(lzma.decompress(c,format=lzma.FORMAT_RAW,filters=[{'id':lzma.FILTER_LZMA1}]))"
                           "\"").c_str()),
              0);
    const std::string expected = ReadBytes(out);
    if (input.size() == code.size()) {
      ASSERT_NE(expected, input) << "the calls were converted";
      EXPECT_EQ(expected.substr(expected.size() - 4), input.substr(input.size() - 4));
    }
    // Ours, fed in pieces of 1, 7 and 4096 bytes, the unconverted rest handed in again.
    for (size_t piece : {size_t(1), size_t(7), size_t(4096)}) {
      for (bool encode : {true, false}) {
        std::string data = encode ? input : expected, done;
        X86Converter state;
        size_t held = 0;
        for (size_t at = 0; at < data.size() || held > 0;) {
          const size_t take = std::min(piece, data.size() - at);
          std::string buffer = data.substr(at - held, held + take);
          at += take;
          const int32_t n = ConvertX86(&state, encode, reinterpret_cast<unsigned char*>(&buffer[0]),
                                       static_cast<int32_t>(buffer.size()));
          done += buffer.substr(0, n);
          held = buffer.size() - n;
          if (at == data.size()) {
            done += buffer.substr(n);  // the end: the last bytes stay as they are
            held = 0;
          } else {
            data.replace(at - held, held, buffer.substr(n));
          }
        }
        EXPECT_TRUE(done == (encode ? expected : input)) << "size " << input.size() << " piece " << piece;
      }
    }
  }
}

}  // namespace