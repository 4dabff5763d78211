// The shipped stubs as built: the image flags the loader reads and the manifest that keeps
// Windows from treating a produced file as an installer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pe/pe_image.h"
#include "pe/pe_resources.h"

namespace {

void CheckStub(const std::string& path) {
  SCOPED_TRACE(path);
  pe::FileSource source;
  std::string error;
  ASSERT_TRUE(source.Open(path, &error)) << error;
  pe::PeImage image;
  ASSERT_TRUE(pe::ParsePeImage(source, &image, &error)) << error;
  // Relocatable, no executable data, and no structured exception handlers at all.
  const uint16_t flags = image.optional.DllCharacteristics;
  EXPECT_EQ(flags & 0x0040, 0x0040) << "DYNAMIC_BASE";
  EXPECT_EQ(flags & 0x0100, 0x0100) << "NX_COMPAT";
  if (!image.is64) {
    EXPECT_EQ(flags & 0x0400, 0x0400) << "NO_SEH";
  }

  pe::ResourceTree tree;
  ASSERT_TRUE(pe::ReadResourceTree(source, image, &tree, &error)) << error;
  const pe::ResourceLeaf* leaf = tree.FindLeaf(pe::ResourceName::Number(24), pe::ResourceName::Number(1), 0);
  ASSERT_NE(leaf, nullptr) << "no language-neutral manifest 1";
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(pe::LoadLeaf(source, *leaf, &bytes));
  const std::string xml(bytes.begin(), bytes.end());
  // Well-formed as far as the stub's flat XML goes: every element closed, in order.
  std::vector<std::string> open;
  for (size_t at = xml.find('<'); at != std::string::npos; at = xml.find('<', at + 1)) {
    const size_t end = xml.find('>', at);
    ASSERT_NE(end, std::string::npos);
    const std::string tag = xml.substr(at + 1, end - at - 1);
    const std::string name = tag.substr(tag[0] == '/', tag.find_first_of(" /", 1) - (tag[0] == '/'));
    if (tag[0] == '/') {
      ASSERT_FALSE(open.empty()) << tag;
      EXPECT_EQ(open.back(), name);
      open.pop_back();
    } else if (tag.back() != '/') {
      open.push_back(name);
    }
  }
  EXPECT_TRUE(open.empty());
  EXPECT_EQ(xml.find_first_of("\r\n\t"), std::string::npos);
  EXPECT_EQ(xml.find("> <"), std::string::npos);
  EXPECT_NE(xml.find("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"), std::string::npos);
  EXPECT_EQ(xml.find("dpiAware"), std::string::npos);
  for (const char* os : {"e2011457-1546-43c5-a5fe-008deee3d3f0", "35138b9a-5d96-4fbd-8e2d-a2440225f93a",
                         "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38", "1f676c76-80e1-4239-95bb-83d0f6d0da78",
                         "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"})
    EXPECT_NE(xml.find(std::string("<supportedOS Id=\"{") + os + "}\"/>"), std::string::npos) << os;
}

TEST(StubImage, FlagsAndManifest) {
  CheckStub(KESDRA_STUB_PATH);
  CheckStub(KESDRA_PACKED_STUB_PATH);
}

}  // namespace
