// A file produced on Linux from a folder whose marked program is Wine's regedit.exe: it
// carries regedit's icon and version information, its checksum covers the whole file, and
// once Authenticode-signed (throw-away self-signed certificate, osslsigncode) its payload
// still verifies, because the payload is found from the section table, not the file's end;
// a compressed payload records its own size, so the certificate after it does no harm.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "builder/build_sfx.h"
#include "tests/native/all_resources.h"
#include "tests/native/quiet_builds.h"

using namespace peimg;

namespace {

const char kRegedit[] = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/regedit.exe";

// The whole command is silenced, so that a redirection inside it still goes where it says.
int Shell(const std::string& command) { return std::system(("(" + command + ") >/dev/null 2>&1").c_str()); }

class SignedProducedFileTest : public InspectTreeTest {
 protected:
  void SetUp() override {
    if (Shell("osslsigncode --version") != 0 || Shell("openssl version") != 0)
      GTEST_SKIP() << "osslsigncode or openssl is not installed";
    InspectTreeTest::SetUp();
    stub_ = ReadFile(KESDRA_STUB_PATH);
    ASSERT_FALSE(stub_.empty()) << KESDRA_STUB_PATH;
    UseQuietBuilds(stub_.data(), stub_.size(), 4242);
  }
  void TearDown() override {
    CompressPayload = false;
    if (!root_.empty()) InspectTreeTest::TearDown();
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
  // kesdra-inspect's listing of `file` without its first line, which names the file.
  std::string Entries(const std::string& file) {
    EXPECT_EQ(Inspect({"list", file}), kInspectOk) << err_.str();
    return out_.str().substr(out_.str().find('\n'));
  }
  Bytes stub_;
};

TEST_F(SignedProducedFileTest, CarriesRegeditsResourcesAndSurvivesSigning) {
  SKIP_WITHOUT_WINE_FILE(kRegedit);
  ASSERT_EQ(Shell("mkdir -p '" + src_ + "/docs' && cp " + kRegedit + " '" + src_ + "/' && echo hello > '" + src_ +
                  "/docs/readme.txt'"),
            0);
  const std::string built = root_ + "/regedit-sfx.exe";
  ASSERT_EQ(BuildSfx(src_, "regedit.exe", built), BuildOutcome::Built);
  ExpectIconsAndVersionOf(kRegedit, built);

  const std::string unsigned_ = produced::ReadBytes(built);
  // The stub's resource section is its last, so it was rewritten in place: the produced
  // file has the stub's sections, one .rsrc among them, and no dead copy of the old one.
  const auto stubSections = Sections(stub_), producedSections = Sections(Bytes(unsigned_.begin(), unsigned_.end()));
  ASSERT_EQ(producedSections.size(), stubSections.size());
  EXPECT_EQ(producedSections.back().name, ".rsrc");
  for (size_t i = 0; i + 1 < stubSections.size(); ++i) {
    EXPECT_EQ(producedSections[i].name, stubSections[i].name);
    EXPECT_NE(producedSections[i].name, ".rsrc");
    EXPECT_EQ(producedSections[i].raw, stubSections[i].raw) << producedSections[i].name;
    EXPECT_EQ(producedSections[i].rawSize, stubSections[i].rawSize) << producedSections[i].name;
  }
  EXPECT_EQ(producedSections.back().raw, stubSections.back().raw);
  const size_t checksumAt = produced::Le(unsigned_, 0x3C, 4) + 24 + 64;
  EXPECT_EQ(produced::Le(unsigned_, checksumAt, 4), produced::PlainPeChecksum(unsigned_, checksumAt))
      << "the checksum covers the payload";
  ASSERT_EQ(Inspect({"verify", built}), kInspectOk) << err_.str();
  const std::string listed = Entries(built);
  EXPECT_NE(out_.str().substr(0, out_.str().find('\n')).find(", not signed"), std::string::npos) << out_.str();

  const std::string signedFile = root_ + "/signed.exe";
  ASSERT_TRUE(Sign(built, signedFile));
  const std::string signed_ = produced::ReadBytes(signedFile);
  ASSERT_GT(signed_.size(), unsigned_.size());
  const size_t payload = produced::PayloadStart(unsigned_);
  EXPECT_EQ(produced::PayloadStart(signed_), payload) << "the certificate does not move the payload";
  const size_t certificateAt = produced::Le(signed_, 0x3C, 4) + 24 + 128;  // PE32: directory 4
  EXPECT_GE(produced::Le(signed_, certificateAt, 4), unsigned_.size()) << "the certificate lies behind the end record";
  EXPECT_EQ(signed_.compare(payload, unsigned_.size() - payload, unsigned_, payload), 0);
  EXPECT_EQ(Inspect({"verify", signedFile}), kInspectOk) << err_.str();
  EXPECT_EQ(Entries(signedFile), listed) << "the same entries";
  EXPECT_NE(out_.str().find(", signed (certificate table of " + std::to_string(produced::Le(signed_, certificateAt + 4, 4)) +
                            " bytes)\n"),
            std::string::npos)
      << out_.str();
}

TEST_F(SignedProducedFileTest, ACompressedFileSignedAfterItsBuildStillVerifies) {
  const Bytes packedStub = ReadFile(KESDRA_PACKED_STUB_PATH);
  ASSERT_FALSE(packedStub.empty()) << KESDRA_PACKED_STUB_PATH;
  PackedStubImage.data = packedStub.data();
  PackedStubImage.size = packedStub.size();
  CompressPayload = true;
  ASSERT_EQ(Shell("printf 'MZ launch me' > '" + src_ + "/setup.exe' && seq 1 20000 > '" + src_ + "/numbers.txt'"),
            0);
  const std::string built = root_ + "/z.exe", signedFile = root_ + "/z-signed.exe";
  ASSERT_EQ(BuildSfx(src_, "setup.exe", built), BuildOutcome::Built);
  ASSERT_TRUE(Sign(built, signedFile));
  EXPECT_GT(ReadFile(signedFile).size(), ReadFile(built).size());
  EXPECT_EQ(Inspect({"verify", signedFile}), kInspectOk) << err_.str();
  const std::string listed = Entries(built);
  EXPECT_EQ(Entries(signedFile), listed) << "the same entries";
  EXPECT_NE(out_.str().find(", signed (certificate table of "), std::string::npos) << out_.str();
  EXPECT_EQ(Inspect({"extract", signedFile, root_ + "/out"}), kInspectOk) << err_.str();
  EXPECT_EQ(Shell("diff -r '" + src_ + "' '" + root_ + "/out'"), 0);
}

}  // namespace
