// The shipped Windows programs as the build left them. Both stubs and the builder carry a
// manifest that keeps UAC's installer detection, file virtualisation and the compatibility
// assistant away; the stubs keep ASLR, DEP and (32-bit) no exception handlers; the builder
// imports nothing that the loader would resolve from the program's folder before WinMain
// could say where DLLs come from; and a produced file keeps the stub's manifest, never the
// launched program's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "builder/build_sfx.h"
#include "tests/native/all_resources.h"
#include "tests/native/quiet_builds.h"

namespace {

const pe::ResourceName kManifest = pe::ResourceName::Number(24);

// Manifest 1 in its first language (neutral where there is one); empty when there is none.
std::string Manifest(const std::string& path) {
  for (const auto& [key, bytes] : peimg::AllResources(path))
    if (std::get<0>(key) == "#24" && std::get<1>(key) == "#1") return std::string(bytes.begin(), bytes.end());
  return std::string();
}

struct Image {
  explicit Image(const std::string& path) {
    std::string error;
    opened = source.Open(path, &error) && pe::ParsePeImage(source, &image, &error);
    EXPECT_TRUE(opened) << path << ": " << error;
  }
  pe::FileSource source;
  pe::PeImage image;
  bool opened = false;
};

// Well-formed XML by an independent parser, asking for no elevation, naming Vista to 11.
void ExpectTrustedManifest(const std::string& manifest) {
  ASSERT_FALSE(manifest.empty()) << "no RT_MANIFEST 1";
  const std::string path = peimg::UniqueTempPath("manifest.xml");
  std::ofstream(path, std::ios::binary) << manifest;
  const int parsed = std::system(("python3 -c 'import sys, xml.etree.ElementTree as E; E.parse(sys.argv[1])' " + path).c_str());
  std::remove(path.c_str());
  EXPECT_EQ(parsed, 0) << "the manifest is not well-formed XML:\n" << manifest;
  for (const char* part : {"<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>",
                           "{e2011457-1546-43c5-a5fe-008deee3d3f0}",   // Vista
                           "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",   // 7
                           "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",   // 8
                           "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",   // 8.1
                           "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"})  // 10 and 11
    EXPECT_NE(manifest.find(part), std::string::npos) << part << " missing from:\n" << manifest;
}

TEST(ShippedStubs, FlagsAndASmallManifest) {
  for (const char* path : {KESDRA_STUB_PATH, KESDRA_PACKED_STUB_PATH}) {
    SCOPED_TRACE(path);
    Image stub(path);
    ASSERT_TRUE(stub.opened);
    const uint16_t flags = stub.image.optional.DllCharacteristics;
    EXPECT_EQ(flags & 0x0040, 0x0040) << "DYNAMIC_BASE";
    EXPECT_EQ(flags & 0x0100, 0x0100) << "NX_COMPAT";
    if (!stub.image.is64) {
      EXPECT_EQ(flags & 0x0400, 0x0400) << "NO_SEH";
    }
    const std::string manifest = Manifest(path);
    ExpectTrustedManifest(manifest);
    // Every byte is in every produced file: no layout whitespace. Windows stretches the fixed
    // progress window rather than drawing it tiny, so it is not DPI-aware.
    EXPECT_EQ(manifest.find_first_of("\r\n\t"), std::string::npos);
    EXPECT_EQ(manifest.find("> <"), std::string::npos);
    EXPECT_EQ(manifest.find("dpiAware"), std::string::npos);
  }
}

TEST(ShippedBuilder, ManifestAndNoVersionDllImport) {
  Image builder(KESDRA_BUILDER_EXE);
  ASSERT_TRUE(builder.opened);
  const std::string manifest = Manifest(KESDRA_BUILDER_EXE);
  ExpectTrustedManifest(manifest);
  for (const char* part : {"name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"", ">true</dpiAware>"})
    EXPECT_NE(manifest.find(part), std::string::npos) << part;

  std::vector<std::string> dlls;
  std::string error;
  ASSERT_TRUE(pe::ReadImportedDlls(builder.source, builder.image, &dlls, &error)) << error;
  ASSERT_FALSE(dlls.empty());
  for (std::string dll : dlls) {
    std::transform(dll.begin(), dll.end(), dll.begin(), [](unsigned char c) { return std::tolower(c); });
    EXPECT_NE(dll, "version.dll") << "VERSION.dll is no KnownDLL: it is loaded from the system folder at run time";
  }
}

// The transfers move icons and version information only: a launched program that asks for
// administrator rights does not make the produced file ask for them.
using ShippedStubInUse = TempTreeTest;
TEST_F(ShippedStubInUse, AProducedFileKeepsTheStubsManifest) {
  const std::string program = src_ + "/setup.exe", produced = root_ + "/setup-sfx.exe";
  ASSERT_EQ(std::system(("cp '" KESDRA_PACKED_STUB_PATH "' '" + program + "'").c_str()), 0);
  const std::string admin =
      "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\"><trustInfo xmlns=\"urn:"
      "schemas-microsoft-com:asm.v3\"><security><requestedPrivileges><requestedExecutionLevel level=\""
      "requireAdministrator\" uiAccess=\"false\"/></requestedPrivileges></security></trustInfo></assembly>";
  pe::ResourceUpdate update;
  std::string error;
  ASSERT_TRUE(update.Begin(program, &error)) << error;
  ASSERT_TRUE(update.Update(kManifest, pe::ResourceName::Number(1), 0, admin.data(), static_cast<uint32_t>(admin.size())));
  ASSERT_TRUE(update.End(false, &error)) << error;
  ASSERT_EQ(Manifest(program), admin);

  const peimg::Bytes stub = peimg::ReadFile(KESDRA_STUB_PATH);
  ASSERT_FALSE(stub.empty());
  UseQuietBuilds(stub.data(), stub.size(), 7);
  ASSERT_EQ(BuildSfx(src_, "setup.exe", produced), BuildOutcome::Built);
  EXPECT_EQ(Manifest(produced), Manifest(KESDRA_STUB_PATH));
}

}  // namespace
