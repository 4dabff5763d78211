// The shipped Windows builder as the build left it: a manifest that keeps UAC's installer
// detection and file virtualisation away, and no import that the loader would resolve from
// the program's folder before WinMain could say where DLLs come from.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include <unistd.h>

#include "pe/pe_image.h"
#include "pe/pe_resources.h"

namespace {

class ShippedBuilder : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(source_.Open(KESDRA_BUILDER_EXE, &error) && pe::ParsePeImage(source_, &image_, &error)) << error;
  }
  pe::FileSource source_;
  pe::PeImage image_;
};

}  // namespace

TEST_F(ShippedBuilder, ImportsNoVersionDll) {
  std::vector<std::string> dlls;
  std::string error;
  ASSERT_TRUE(pe::ReadImportedDlls(source_, image_, &dlls, &error)) << error;
  ASSERT_FALSE(dlls.empty());
  for (std::string dll : dlls) {
    std::transform(dll.begin(), dll.end(), dll.begin(), [](unsigned char c) { return std::tolower(c); });
    EXPECT_NE(dll, "version.dll") << "VERSION.dll is no KnownDLL: it is loaded from the system folder at run time";
  }
}

TEST_F(ShippedBuilder, ManifestAsksForNoElevationAndNamesTheSystems) {
  pe::ResourceTree tree;
  std::string error;
  ASSERT_TRUE(pe::ReadResourceTree(source_, image_, &tree, &error)) << error;
  const pe::ResourceLeaf* leaf = tree.FindDefaultLeaf(pe::ResourceName::Number(24), pe::ResourceName::Number(1));
  ASSERT_NE(leaf, nullptr) << "no RT_MANIFEST 1";
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(pe::LoadLeaf(source_, *leaf, &bytes));
  const std::string manifest(bytes.begin(), bytes.end());
  const std::string path = ::testing::TempDir() + "kesdra_manifest_" + std::to_string(getpid()) + ".xml";
  std::ofstream(path, std::ios::binary) << manifest;
  const int parsed = std::system(("python3 -c 'import sys, xml.etree.ElementTree as E; E.parse(sys.argv[1])' " + path).c_str());
  std::remove(path.c_str());
  EXPECT_EQ(parsed, 0) << "the manifest is not well-formed XML:\n" << manifest;
  for (const char* part : {"<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>",
                           "{e2011457-1546-43c5-a5fe-008deee3d3f0}",   // Vista
                           "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",   // 7
                           "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",   // 8
                           "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",   // 8.1
                           "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",   // 10 and 11
                           "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"",
                           ">true</dpiAware>"})
    EXPECT_NE(manifest.find(part), std::string::npos) << part << " missing from:\n" << manifest;
}
