// The payload reader against files built byte by byte: boundary pairs for every check, one
// field changed per case.
#include <gtest/gtest.h>

#include "container/payload_reader.h"
#include "tests/native/payload_test_files.h"

using namespace payload_test;

namespace {

int32_t StartOf(const std::string& file, PayloadFault expected = kFaultNone) {
  MemorySource mem(file);
  int32_t start = -1;
  EXPECT_EQ(LocatePayloadStart(mem.source(), &start), expected);
  return start;
}

struct WalkResult {
  PayloadFault fault;
  int32_t total;
  int entries;
};

void CountEntry(void* context, const EntryHeader&) { ++*static_cast<int*>(context); }

WalkResult Walk(const MemorySource& mem) {
  std::vector<char> name(kMaxStoredNameLen);
  WalkResult r{kFaultNone, -1, 0};
  r.fault = WalkPayload(mem.source(), 0x400, nullptr, name.data(), CountEntry, &r.entries, &r.total);
  return r;
}
WalkResult Walk(const std::string& file) { return Walk(MemorySource(file)); }

// The largest end of a section's raw data, compared as signed 32-bit numbers, behind an
// optional header of its stated size.
TEST(LocatePayloadStart, TakesTheLargestSignedEndOfSectionRawData) {
  const struct {
    std::vector<Section> sections;
    uint32_t imageSize;
    uint16_t optionalSize;
    int32_t expected;
  } cases[] = {
      {{{0x200, 0x400}, {0x600, 0x600}, {0x100, 0x200}}, 0xC00, 0xE0, 0xC00},
      // A section without raw data (uninitialised data) never counts, wherever it points.
      {{{0x200, 0x400}, {0, 0x9000}}, 0x600, 0xE0, 0x600},
      {{}, 0x200, 0xE0, 0},
      // A raw size with the top bit set is negative and ignored; an end past 2^31 - 1 is no start.
      {{{0x200, 0x400}, {0x80000000u, 0x200}}, 0x600, 0xE0, 0x600},
      {{{0x200, 0x400}, {0x7FFFFF00u, 0x200}}, 0x600, 0xE0, 0x600},
      {{{0x200, 0x400}, {0x7FFFFE00u, 0x200}}, 0x600, 0xE0, 0x600},
      {{{0x200, 0x400}, {0x7FFFFE00u, 0x1FF}}, 0x600, 0xE0, 0x7FFFFFFF},
      // A negative pointer plus its size is compared as the signed sum.
      {{{0x200, 0x400}, {0x1000, 0xFFFFFF00u}}, 0x600, 0xE0, 0xF00},
      {{{0x200, 0x400}}, 0x600, 0xF0, 0x600},
      {{{0x200, 0x400}}, 0x600, 0, 0x600},
  };
  for (const auto& c : cases) EXPECT_EQ(StartOf(MinimalPe(c.sections, c.imageSize, c.optionalSize)), c.expected);
}

TEST(LocatePayloadStart, WithoutMzLooksForPeAtOffsetTwo) {
  // MinimalPe's PE header stands at 0x80: cut so that it stands at 2, behind no "MZ".
  const std::string file = MinimalPe({{0x100, 0x100}}, 0x7E + 0x200, 0).substr(0x7E);
  EXPECT_EQ(StartOf(file), 0x200);
}

TEST(LocatePayloadStart, NoSignatureOrAHeaderCutShortMeansNoPayload) {
  std::string file = TinyStub();
  file[0x80] = 'X';
  EXPECT_EQ(StartOf(file, kFaultNoPeImage), 0);
  // Only the low 16 bits of the new-header offset are read.
  std::string high = TinyStub();
  Put32(high, 0x3C, 0x10080);
  EXPECT_EQ(StartOf(high), 0x400);
  // A header cut short is a read failure.
  const std::string stub = TinyStub();
  StartOf(stub.substr(0, 0x80 + 3), kFaultRead);
  StartOf(stub.substr(0, 0x80 + 24 + 0xE0 + 40 + 19), kFaultRead);
  StartOf(stub.substr(0, 1), kFaultRead);
}

TEST(ReadPayloadId, TheFileMustBeLongerThanStartPlusElevenBelowTwoGigabytes) {
  PayloadId id;
  const std::string file = TinyStub() + IdRecord();
  EXPECT_EQ(ReadPayloadId(MemorySource(file).source(), 0x400, &id), kFaultNoPayload);
  EXPECT_EQ(ReadPayloadId(MemorySource(file + "x").source(), 0x400, &id), kFaultNone);
  EXPECT_EQ(std::string(id.Chars, id.Count), "00A1B2C3D4");
  EXPECT_EQ(ReadPayloadId(MemorySource(file + "x").source(), 0, &id), kFaultNoPayload);
  // And the first header must lie below 2 GiB.
  MemorySource near(int64_t{1} << 32);  // a zero identifier count: an empty identifier
  EXPECT_EQ(ReadPayloadId(near.source(), 0x7FFFFFFF - 11, &id), kFaultNone);
  EXPECT_EQ(ReadPayloadId(near.source(), 0x7FFFFFFF - 10, &id), kFaultTooLarge);
}

TEST(ReadPayloadId, RefusesIdentifiersThatWouldNameAnotherFolder) {
  PayloadId id;
  for (const char* bad : {"00a1b2c3d4", "..\\..\\x00", "00A1B2C3G4", "00A1B2C3D\\"}) {
    EXPECT_EQ(ReadPayloadId(MemorySource(TinyStub() + IdRecord(bad) + EndRecord()).source(), 0x400, &id), kFaultBadId)
        << bad;
  }
  std::string tooLong = TinyStub() + IdRecord() + EndRecord();
  tooLong[0x400] = 11;
  EXPECT_EQ(ReadPayloadId(MemorySource(tooLong).source(), 0x400, &id), kFaultBadId);
  std::string shorter = TinyStub() + IdRecord() + EndRecord();
  shorter[0x400] = 4;
  EXPECT_EQ(ReadPayloadId(MemorySource(shorter).source(), 0x400, &id), kFaultNone);
  EXPECT_EQ(id.Count, 4);
}

TEST(WalkPayload, TotalsSizesUpToTheEndRecordReadingNoDataBytes) {
  MemorySource mem(Produced({{"a.txt", "hello"}, {"sub\\b.bin", std::string(5000000, 'b'), 1}, {"e", ""}}));
  const WalkResult r = Walk(mem);
  EXPECT_EQ(r.fault, kFaultNone);
  EXPECT_EQ(r.total, 5000005);
  EXPECT_EQ(r.entries, 3);
  EXPECT_EQ(mem.reads, 7);  // four headers and three names
}

TEST(WalkPayload, RefusesPayloadsWithoutDataAndKnowsTheEndRecordByItsIntegers) {
  EXPECT_EQ(Walk(Produced({})).fault, kFaultNoData);                      // the 28-byte payload
  EXPECT_EQ(Walk(Produced({{"a", ""}, {"b", "", 1}})).fault, kFaultNoData);  // empty files only
  // The end record is known by its integers alone.
  std::string file = Produced({{"a", "x"}});
  file[file.size() - 17] = 1;  // IsLaunch of the end record is not looked at
  EXPECT_EQ(Walk(file).fault, kFaultNone);
  std::string timed = Produced({{"a", "x"}});
  timed[timed.size() - 17 + 9] = 1;  // a Time makes it a real entry with an empty name
  EXPECT_EQ(Walk(timed).fault, kFaultBadNameLen);
  std::string attributed = Produced({{"a", "x"}});
  attributed[attributed.size() - 17 + 13] = 0x20;  // so do attributes
  EXPECT_EQ(Walk(attributed).fault, kFaultBadNameLen);
}

TEST(WalkPayload, AFileCutShortFailsBeforeAnythingIsWritten) {
  const std::string full = Produced({{"a.txt", "hello"}, {"b.txt", "world"}});
  EXPECT_EQ(Walk(full.substr(0, full.size() - 1)).fault, kFaultRead);  // inside the end record
  const size_t secondEntry = 0x400 + 11 + 17 + 5 + 5 + 4;
  EXPECT_EQ(Walk(full.substr(0, secondEntry)).fault, kFaultNoEndRecord);       // after a whole entry
  EXPECT_EQ(Walk(full.substr(0, secondEntry + 10)).fault, kFaultRead);         // inside a header
  EXPECT_EQ(Walk(full.substr(0, secondEntry + 17 + 3)).fault, kFaultRead);     // inside a name
  EXPECT_EQ(Walk(full.substr(0, secondEntry + 17 + 5 + 2)).fault, kFaultNoEndRecord);  // inside the data
}

TEST(WalkPayload, RefusesImpossibleNumbers) {
  auto withField = [](size_t offset, uint32_t value) {
    std::string file = Produced({{"a.txt", "hello"}});
    Put32(file, 0x400 + 11 + offset, value);
    return Walk(file).fault;
  };
  EXPECT_EQ(withField(1, 0xFFFFFFFF), kFaultBadNameLen);
  EXPECT_EQ(withField(1, 0), kFaultBadNameLen);
  EXPECT_EQ(withField(1, kMaxStoredNameLen + 1), kFaultBadNameLen);
  EXPECT_EQ(withField(5, 0xFFFFFFFB), kFaultBadSize);
  EXPECT_EQ(withField(5, 0x7FFFFFFF), kFaultTooLarge);
  // The largest size that keeps the next position at 2^31 - 1 passes the check and then
  // runs off the end of the file.
  EXPECT_EQ(withField(5, 0x7FFFFFFF - (0x400 + 11 + 17 + 5 + 4)), kFaultNoEndRecord);
  EXPECT_EQ(withField(5, 0x7FFFFFFF - (0x400 + 11 + 17 + 5 + 4) + 1), kFaultTooLarge);
}

TEST(WalkPayload, SizesNearTheSigned32BitLimit) {
  const int64_t first = 0x400 + 11;
  const int32_t big = 0x3FFFFFF0;
  const int64_t second = first + 18 + big + 4;
  // Two entries that fit: the end record lies just below 2^31; 18 bytes more in the second
  // entry and its end passes 2^31 - 1 by one (the file is long enough to hold it all).
  const int32_t fits = static_cast<int32_t>(0x7FFFFFFF - 17 - (second + 18 + 4));
  const auto walk = [&](int32_t secondSize) {
    MemorySource mem(second + 18 + secondSize + 4 + 17);
    mem.Place(0, TinyStub() + IdRecord());
    mem.Place(first, HeaderAndName(0, "a", big));
    mem.Place(second, HeaderAndName(0, "b", secondSize));
    return Walk(mem);
  };
  const WalkResult fitting = walk(fits);
  EXPECT_EQ(fitting.fault, kFaultNone);
  EXPECT_EQ(fitting.total, big + fits);
  EXPECT_EQ(walk(fits + 18).fault, kFaultTooLarge);
}

TEST(IsSafeStoredName, AcceptsPlainRelativePathsOnly) {
  for (const char* name : {"a", "setup.exe", "docs\\readme.txt", "a\\b\\c\\d.e", "..a", ".hidden",
                           "with space.txt", "\xE9t\xE9.txt"}) {
    EXPECT_TRUE(IsSafeStoredName(name, static_cast<int32_t>(std::strlen(name)), nullptr)) << name;
  }
  // Not one that leaves the folder or that Windows refuses.
  for (const char* name : {"\\a", "\\\\server\\share\\a", "C:\\a", "C:a", "a:b", "a\\\\b", "a\\", "..\\a",
                           "a\\..\\b", "a\\..", ".", "..", ".\\a", "a\\.\\b", "a/b", "../a", "a<b", "a>b",
                           "a\"b", "a|b", "a?b", "a*b", "a\tb", "a\x1F", "a..", "x."}) {
    EXPECT_FALSE(IsSafeStoredName(name, static_cast<int32_t>(std::strlen(name)), nullptr)) << name;
  }
  EXPECT_FALSE(IsSafeStoredName("a\0b", 3, nullptr));
  EXPECT_FALSE(IsSafeStoredName("", 0, nullptr));
}

bool ShiftJisLead(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

TEST(IsSafeStoredName, StepsOverDoubleByteCharactersWhole) {
  // 0x95 0x5C is one character whose trail byte looks like a backslash.
  EXPECT_TRUE(IsSafeStoredName("\x95\x5C.txt", 6, ShiftJisLead));
  EXPECT_TRUE(IsSafeStoredName("dir\\\x95\x5C", 6, ShiftJisLead));
  // Seen byte by byte, the same bytes end in a device name.
  EXPECT_TRUE(IsSafeStoredName("\x95\x5C" "AUX", 5, ShiftJisLead));
  EXPECT_FALSE(IsSafeStoredName("\x95\x5C" "AUX", 5, nullptr));
  // Whole, "\x95\x5C.." is one component that ends in a dot.
  EXPECT_FALSE(IsSafeStoredName("\x95\x5C..", 4, ShiftJisLead));
  EXPECT_FALSE(IsSafeStoredName("a\x95", 2, ShiftJisLead));   // a lead byte without its trail byte
}

bool Safe(const std::string& name) { return IsSafeStoredName(name.data(), static_cast<int32_t>(name.size()), nullptr); }

// Each pair: the first is a name Windows would not take as written, the second its nearest
// ordinary neighbour.
TEST(IsSafeStoredName, DeviceNamesAndTrailingDotsOrSpacesInBoundaryPairs) {
  const std::vector<std::pair<std::string, std::string>> pairs = {
      {"COM9", "COM10"}, {"com0", "com"}, {"LPT1", "LPT"}, {"nul.txt", "null.txt"}, {"NUL", "NULL"},
      {"sub\\AUX.log", "sub\\AUXX.log"}, {"Con", "Cone"}, {"prn .txt", "p rn.txt"}, {"CON \\x", "CON_\\x"},
      {"COM\xB9", "COM\xB4"}, {"lpt\xB3.dat", "lpt\xBD.dat"}, {"CONIN$", "CONIN"}, {"conout$.x", "CONOUT"},
      {"nul.tar.gz", "nu.l.tar.gz"}, {"a.b.", "a.b"}, {"x.txt.", "x.txt"}, {"x ", " x"}, {"dir.\\x", ".dir\\x"},
      {"...\\x", "...x\\x"}, {".. \\x", "..x\\x"}, {". .", ". .x"}, {"a\\ ", "a\\_"}};
  for (const auto& [refused, accepted] : pairs) {
    EXPECT_FALSE(Safe(refused)) << refused;
    EXPECT_TRUE(Safe(accepted)) << accepted;
  }
  // A device name is refused as a folder too, and anywhere along the path.
  EXPECT_FALSE(Safe("a\\b\\Lpt9\\c.txt"));
  EXPECT_TRUE(Safe("a\\b\\Lpt9x\\c.txt"));
}

TEST(WalkPayload, RefusesEachUnsafeNameBeforeWritingAnything) {
  for (const char* name : {"..\\evil.exe", "C:\\evil.exe", "\\evil.exe", "a\\..\\..\\evil", "a/../b", "a:stream",
                           "COM1", "sub\\nul.txt", "...\\...\\x"}) {
    EXPECT_EQ(Walk(Produced({{"good.txt", "x"}, {name, "y", 1}})).fault, kFaultUnsafeName) << name;
  }
}

}  // namespace
