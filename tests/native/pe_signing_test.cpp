// A file produced on Linux from a folder whose marked program is Wine's regedit.exe: it
// carries regedit's icon and version information, its checksum covers the whole file, and
// once Authenticode-signed (throw-away self-signed certificate, osslsigncode) its payload
// still verifies, because the payload is found from the section table, not the file's end;
// a compressed payload records its own size, so the certificate after it does no harm.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <sstream>
#include <tuple>

#include "builder/build_sfx.h"
#include "pe/pe_update.h"
#include "tests/native/all_resources.h"
#include "tests/native/pe_test_images.h"
#include "tests/native/quiet_builds.h"
#include "tests/native/wine_files.h"
#include "tools/inspect/inspect.h"

using namespace peimg;

namespace {

const char kRegedit[] = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/regedit.exe";

using Key = ResourceKey;

std::map<Key, Bytes> ResourcesOfType(const std::string& path, uint16_t type) {
  pe::DataModule module;
  std::string error;
  EXPECT_TRUE(module.Open(path, &error)) << error;
  std::map<Key, Bytes> out;
  std::vector<pe::ResourceName> names;
  EXPECT_TRUE(module.EnumNames(pe::ResourceName::Number(type), &names));
  for (const pe::ResourceName& name : names) {
    std::vector<uint16_t> languages;
    EXPECT_TRUE(module.EnumLanguages(pe::ResourceName::Number(type), name, &languages));
    for (uint16_t language : languages) {
      std::vector<uint8_t> bytes;
      EXPECT_TRUE(module.Load(module.FindEx(pe::ResourceName::Number(type), name, language), &bytes));
      out[Key{"#" + std::to_string(type), IdText(name), language}] = bytes;
    }
  }
  return out;
}

uint64_t PayloadStart(const Bytes& file) {  // where the stub looks for it
  pe::MemorySource source(file);
  pe::PeImage image;
  EXPECT_TRUE(pe::ParsePeImage(source, &image, nullptr));
  return image.EndOfSectionData();
}

// The whole command is silenced, so that a redirection inside it still goes where it says.
int Shell(const std::string& command) { return std::system(("(" + command + ") >/dev/null 2>&1").c_str()); }

class SignedProducedFileTest : public TempTreeTest {
 protected:
  void SetUp() override {
    if (Shell("osslsigncode --version") != 0 || Shell("openssl version") != 0)
      GTEST_SKIP() << "osslsigncode or openssl is not installed";
    TempTreeTest::SetUp();
    stub_ = ReadFile(KESDRA_STUB_PATH);
    ASSERT_FALSE(stub_.empty()) << KESDRA_STUB_PATH;
    UseQuietBuilds(stub_.data(), stub_.size(), 4242);
  }
  void TearDown() override {
    CompressPayload = false;
    if (!root_.empty()) TempTreeTest::TearDown();
  }
  // Signs `in` into `out` with a certificate made here and now; false when a tool failed.
  bool Sign(const std::string& in, const std::string& out) {
    const std::string key = root_ + "/key.pem", cert = root_ + "/cert.pem";
    return (Shell("test -e '" + cert + "'") == 0 ||
            Shell("openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj '/CN=Kesdra test' -keyout '" + key +
                  "' -out '" + cert + "'") == 0) &&
           Shell("osslsigncode sign -h sha256 -certs '" + cert + "' -key '" + key + "' -in '" + in + "' -out '" + out +
                 "'") == 0 &&
           Shell("osslsigncode verify -CAfile '" + cert + "' -in '" + out + "'") == 0;
  }
  int Inspect(const std::vector<std::string>& args, std::string* out) {
    std::ostringstream o, e;
    const int rc = RunInspect(args, o, e);
    *out = o.str() + e.str();
    return rc;
  }
  Bytes stub_;
};

TEST_F(SignedProducedFileTest, CarriesRegeditsResourcesAndSurvivesSigning) {
  SKIP_WITHOUT_WINE_FILE(kRegedit);
  ASSERT_EQ(Shell("mkdir -p '" + root_ + "/src/docs' && cp " + kRegedit + " '" + root_ + "/src/' && echo hello > '" +
                  root_ + "/src/docs/readme.txt'"),
            0);
  const std::string produced = root_ + "/regedit-sfx.exe";
  ASSERT_EQ(BuildSfx(root_ + "/src", "regedit.exe", produced), BuildOutcome::Built);

  // Regedit's first icon group under the stub's group name, and all its version information.
  auto icons = ResourcesOfType(kRegedit, 14);
  ASSERT_FALSE(icons.empty());
  const auto producedGroups = ResourcesOfType(produced, 14);
  std::vector<pe::ResourceName> groupNames;
  {
    pe::DataModule module;
    ASSERT_TRUE(module.Open(kRegedit, nullptr));
    ASSERT_TRUE(module.EnumNames(pe::ResourceName::Number(14), &groupNames));
  }
  const std::string firstGroup = IdText(groupNames.at(0));
  for (const auto& [key, bytes] : icons)
    if (std::get<1>(key) == firstGroup) {
      EXPECT_EQ(producedGroups.at(Key{"#14", "MAINICON", std::get<2>(key)}), bytes);
    }
  EXPECT_EQ(ResourcesOfType(produced, 16), ResourcesOfType(kRegedit, 16));
  EXPECT_FALSE(ResourcesOfType(produced, 16).empty());

  const Bytes unsigned_ = ReadFile(produced);
  // The stub's resource section is its last, so it was rewritten in place: the produced
  // file has the stub's sections, one .rsrc among them, and no dead copy of the old one.
  const auto stubSections = Sections(stub_), producedSections = Sections(unsigned_);
  ASSERT_EQ(producedSections.size(), stubSections.size());
  EXPECT_EQ(producedSections.back().name, ".rsrc");
  for (size_t i = 0; i + 1 < stubSections.size(); ++i) {
    EXPECT_EQ(producedSections[i].name, stubSections[i].name);
    EXPECT_NE(producedSections[i].name, ".rsrc");
    EXPECT_EQ(producedSections[i].raw, stubSections[i].raw) << producedSections[i].name;
    EXPECT_EQ(producedSections[i].rawSize, stubSections[i].rawSize) << producedSections[i].name;
  }
  EXPECT_EQ(producedSections.back().raw, stubSections.back().raw);
  const size_t opt = Get32(unsigned_, 0x3C) + 24;
  {
    pe::MemorySource source(unsigned_);
    uint32_t sum = 0;
    ASSERT_TRUE(pe::ComputePeChecksum(source, opt + 64, &sum));
    EXPECT_EQ(Get32(unsigned_, opt + 64), sum) << "the checksum covers the payload";
  }
  std::string report;
  ASSERT_EQ(Inspect({"verify", produced}, &report), kInspectOk) << report;

  const std::string signedFile = root_ + "/signed.exe";
  ASSERT_TRUE(Sign(produced, signedFile));

  const Bytes signed_ = ReadFile(signedFile);
  ASSERT_GT(signed_.size(), unsigned_.size());
  EXPECT_EQ(PayloadStart(signed_), PayloadStart(unsigned_)) << "the certificate does not move the payload";
  pe::MemorySource signedSource(signed_);
  pe::PeImage signedImage;
  ASSERT_TRUE(pe::ParsePeImage(signedSource, &signedImage, nullptr));
  const uint32_t certAt = signedImage.directories.at(4).VirtualAddress;
  EXPECT_GE(certAt, unsigned_.size()) << "the certificate lies behind the end record";
  EXPECT_TRUE(std::equal(unsigned_.begin() + PayloadStart(unsigned_), unsigned_.end(),
                         signed_.begin() + PayloadStart(unsigned_)));
  std::string signedReport;
  EXPECT_EQ(Inspect({"verify", signedFile}, &signedReport), kInspectOk) << signedReport;
  std::string listBefore, listAfter;
  Inspect({"list", produced}, &listBefore);
  Inspect({"list", signedFile}, &listAfter);
  const size_t lineEnd = listBefore.find('\n');
  EXPECT_EQ(listAfter.substr(listAfter.find('\n')), listBefore.substr(lineEnd)) << "the same entries";
  EXPECT_NE(listBefore.substr(0, lineEnd).find(", not signed"), std::string::npos) << listBefore;
  EXPECT_NE(listAfter.find(", signed (certificate table of " + std::to_string(signedImage.directories.at(4).Size) +
                           " bytes)\n"),
            std::string::npos)
      << listAfter;
}

TEST_F(SignedProducedFileTest, ACompressedFileSignedAfterItsBuildStillVerifies) {
  const Bytes packedStub = ReadFile(KESDRA_PACKED_STUB_PATH);
  ASSERT_FALSE(packedStub.empty()) << KESDRA_PACKED_STUB_PATH;
  PackedStubImage.data = packedStub.data();
  PackedStubImage.size = packedStub.size();
  CompressPayload = true;
  ASSERT_EQ(Shell("mkdir -p '" + root_ + "/src' && printf 'MZ launch me' > '" + root_ + "/src/setup.exe' && seq 1 20000 > '" +
                  root_ + "/src/numbers.txt'"),
            0);
  const std::string produced = root_ + "/z.exe", signedFile = root_ + "/z-signed.exe";
  ASSERT_EQ(BuildSfx(root_ + "/src", "setup.exe", produced), BuildOutcome::Built);
  ASSERT_TRUE(Sign(produced, signedFile));
  EXPECT_GT(ReadFile(signedFile).size(), ReadFile(produced).size());
  std::string report, before, after;
  EXPECT_EQ(Inspect({"verify", signedFile}, &report), kInspectOk) << report;
  Inspect({"list", produced}, &before);
  Inspect({"list", signedFile}, &after);
  EXPECT_EQ(after.substr(after.find('\n')), before.substr(before.find('\n'))) << "the same entries";
  EXPECT_NE(after.find(", signed (certificate table of "), std::string::npos) << after;
  EXPECT_EQ(Inspect({"extract", signedFile, root_ + "/out"}, &report), kInspectOk) << report;
  EXPECT_EQ(Shell("diff -r '" + root_ + "/src' '" + root_ + "/out'"), 0);
}

}  // namespace
