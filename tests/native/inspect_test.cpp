// kesdra-inspect on files made by the Linux build pipeline and on damaged copies of them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "builder/build_sfx.h"
#include "tests/native/quiet_builds.h"

using namespace payload_test;

namespace {

class InspectTest : public InspectTreeTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(InspectTreeTest::SetUp());
    stub_ = TinyStub();
    UseQuietBuilds(stub_.data(), stub_.size(), 777);
  }
  // A tree built by the real pipeline.
  std::string BuildSample() {
    Write("setup.exe", "MZ program bytes");
    Write("docs/readme.txt", std::string(70000, 'r'));
    Write("docs/empty.dat", "");
    const std::string target = root_ + "/sample.exe";
    EXPECT_EQ(BuildSfx(src_, "setup.exe", target), BuildOutcome::Built);
    return target;
  }
  std::string Damaged(const std::string& bytes) {
    const std::string path = root_ + "/damaged.exe";
    WriteAll(path, bytes);
    return path;
  }

  std::string stub_;
};

TEST_F(InspectTest, ListVerifyAndExtractWhatTheBuilderProduces) {
  const std::string file = BuildSample();
  EXPECT_EQ(Inspect({"verify", file}), kInspectOk) << err_.str();
  EXPECT_NE(out_.str().find("OK, 3 files, 70016 bytes"), std::string::npos) << out_.str();

  ASSERT_EQ(Inspect({"list", file}), kInspectOk) << err_.str();
  const std::string listing = out_.str();
  for (const char* part : {"*         16 ", " setup.exe\n", "      70000 ", " docs\\readme.txt\n", " docs\\empty.dat\n",
                           "payload at 1024"})
    EXPECT_NE(listing.find(part), std::string::npos) << part << " missing from\n" << listing;

  ASSERT_EQ(Inspect({"extract", file, root_ + "/out"}), kInspectOk) << err_.str();
  EXPECT_EQ(ReadBytes(root_ + "/out/setup.exe"), "MZ program bytes");
  EXPECT_EQ(ReadBytes(root_ + "/out/docs/readme.txt"), std::string(70000, 'r'));
  struct stat st;
  ASSERT_EQ(stat((root_ + "/out/docs/empty.dat").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);
  struct stat original;
  ASSERT_EQ(stat((root_ + "/src/setup.exe").c_str(), &original), 0);
  ASSERT_EQ(stat((root_ + "/out/setup.exe").c_str(), &st), 0);
  EXPECT_LE(std::llabs(static_cast<long long>(st.st_mtime - original.st_mtime)), 2);  // DOS time: 2 s steps
}

TEST_F(InspectTest, VerifyAndExtractNameTheDamage) {
  const std::string good = ReadBytes(BuildSample());
  std::string flipped = good;
  flipped[good.size() - 17 - 4 - 1] ^= 0x01;  // the last data byte before the last checksum
  EXPECT_EQ(Inspect({"verify", Damaged(flipped)}), kInspectFailed);
  EXPECT_NE(err_.str().find("checksum"), std::string::npos) << err_.str();

  EXPECT_EQ(Inspect({"verify", Damaged(good.substr(0, good.size() - 5))}), kInspectFailed);
  EXPECT_NE(err_.str().find("ends early"), std::string::npos) << err_.str();

  // A program without a payload, or with other bytes behind its image, was not made by Kesdra.
  for (const std::string& foreign : {stub_, stub_ + "Nullsoft installer data"}) {
    EXPECT_EQ(Inspect({"verify", Damaged(foreign)}), kInspectFailed);
    EXPECT_NE(err_.str().find(": not a self-extracting file made by Kesdra\n"), std::string::npos) << err_.str();
  }

  EXPECT_EQ(Inspect({"verify", Damaged(stub_ + IdRecord() + EndRecord())}), kInspectFailed);
  EXPECT_NE(err_.str().find("no file data"), std::string::npos) << err_.str();

  EXPECT_EQ(Inspect({"verify", Damaged(Produced({{"a.txt", "data"}}))}), kInspectFailed);
  EXPECT_NE(err_.str().find("no entry is marked"), std::string::npos) << err_.str();

  // Extract stops at a corrupt entry, naming it, after writing the ones before it.
  std::string corrupt = Produced({{"first.txt", "11111"}, {"second.txt", "22222", 1}});
  corrupt[corrupt.size() - 17 - 4 - 1] = 'X';
  EXPECT_EQ(Inspect({"extract", Damaged(corrupt), root_ + "/out"}), kInspectFailed);
  EXPECT_NE(err_.str().find("checksum"), std::string::npos);
  EXPECT_NE(err_.str().find("second.txt"), std::string::npos);
  EXPECT_EQ(ReadBytes(root_ + "/out/first.txt"), "11111");
}

TEST_F(InspectTest, ExtractRefusesUnsafeNamesBeforeWritingAnything) {
  for (const char* name : {"..\\escaped.txt", "a\\..\\..\\escaped.txt", "\\escaped.txt", "C:\\escaped.txt"}) {
    const std::string file = Damaged(Produced({{"first.txt", "1"}, {name, "2", 1}}));
    EXPECT_EQ(Inspect({"extract", file, root_ + "/x/y"}), kInspectFailed) << name;
    EXPECT_NE(err_.str().find("not a plain relative path"), std::string::npos) << err_.str();
    struct stat st;
    EXPECT_NE(stat((root_ + "/x/y/first.txt").c_str(), &st), 0) << name;
    EXPECT_NE(stat((root_ + "/x/escaped.txt").c_str(), &st), 0) << name;
  }
}

// Names come out as UTF-8, and no link already in the destination is written through: not
// on an entry's folder, not on the file itself. The refused entry is named; nothing is
// written outside the folder.
TEST_F(InspectTest, ExtractWritesUtf8NamesAndNeverThroughALink) {
  const std::string file = Damaged(Produced({{"caf\xE9.txt", "c", 1}, {"sub\\f.txt", "f"}}));
  ASSERT_EQ(Inspect({"list", file}), kInspectOk);
  EXPECT_NE(out_.str().find(", 2 files, 2 bytes, not signed\n"), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find(" caf\xC3\xA9.txt\n"), std::string::npos) << out_.str();
  ASSERT_EQ(Inspect({"extract", file, root_ + "/x"}), kInspectOk) << err_.str();
  EXPECT_EQ(ReadBytes(root_ + "/x/caf\xC3\xA9.txt"), "c");

  std::system(("mkdir -p " + root_ + "/outside " + root_ + "/x2 " + root_ + "/x3 && ln -s ../outside " + root_ +
               "/x2/sub && ln -s ../outside/f.txt " + root_ + "/x3/caf\xC3\xA9.txt")
                  .c_str());
  EXPECT_EQ(Inspect({"extract", file, root_ + "/x2"}), kInspectFailed);
  EXPECT_NE(err_.str().find(root_ + "/x2/sub: is a link"), std::string::npos) << err_.str();
  EXPECT_EQ(Inspect({"extract", file, root_ + "/x3"}), kInspectFailed);
  EXPECT_NE(err_.str().find(root_ + "/x3/caf\xC3\xA9.txt: is a link"), std::string::npos) << err_.str();
  struct stat st;
  EXPECT_NE(stat((root_ + "/outside/f.txt").c_str(), &st), 0) << "nothing was written outside";
  EXPECT_EQ(Inspect({"verify", Damaged(Produced({{"one.txt", "1", 1}}))}), kInspectOk);
  EXPECT_NE(out_.str().find("OK, 1 file, 1 bytes"), std::string::npos) << out_.str();
}

TEST_F(InspectTest, UsageAndMissingFiles) {
  EXPECT_EQ(Inspect({}), kInspectUsage);
  EXPECT_EQ(Inspect({"frobnicate", "x"}), kInspectUsage);
  EXPECT_EQ(Inspect({"list", "a", "b"}), kInspectUsage);
  EXPECT_EQ(Inspect({"-?"}), kInspectOk);
  EXPECT_NE(out_.str().find("Exit status"), std::string::npos);
  EXPECT_EQ(Inspect({"verify", root_ + "/missing.exe"}), kInspectFailed);
  EXPECT_NE(err_.str().find(root_ + "/missing.exe: "), std::string::npos);
}

}  // namespace
