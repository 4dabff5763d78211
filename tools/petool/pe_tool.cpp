#include "tools/petool/pe_tool.h"

#include <cstdio>
#include <cstring>
#include <iostream>

#include "pe/pe_checksum.h"

namespace {

constexpr uint64_t kDosHeaderSize = sizeof(pe::DosHeader);

bool HasDirectory(const pe::PeImage& image, uint32_t index) {
  return image.directories.size() > index && image.directories[index].Size != 0;
}

// A section's name; "/<n>" names stand for the text at offset n of the string table that
// follows the symbol table.
std::string SectionName(const pe::ByteSource& source, const pe::PeImage& image, const pe::SectionHeader& h) {
  std::string name(h.Name, strnlen(h.Name, sizeof h.Name));
  if (name.size() < 2 || name[0] != '/' || image.coff.PointerToSymbolTable == 0) return name;
  const uint64_t offset = std::strtoull(name.c_str() + 1, nullptr, 10);
  const uint64_t table = uint64_t{image.coff.PointerToSymbolTable} + uint64_t{image.coff.NumberOfSymbols} * 18;
  char text[65] = {};
  const uint64_t count = std::min<uint64_t>(64, source.Size() > table + offset ? source.Size() - table - offset : 0);
  if (count == 0 || !source.ReadAt(table + offset, text, count)) return name;
  return text;
}

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04x", value);
  return text;
}

}  // namespace

bool CompactHeaders(std::vector<uint8_t>* bytes, std::string* error) {
  std::vector<uint8_t>& in = *bytes;
  const pe::MemorySource source(in);
  pe::PeImage image;
  if (!pe::ParsePeImage(source, &image, error)) return false;
  const uint64_t pe = image.coffOffset - 4;
  const uint64_t length = image.sectionTableOffset + image.sections.size() * sizeof(pe::SectionHeader) - pe;
  const uint64_t headers = image.optional.SizeOfHeaders;
  const uint64_t newHeaders = pe::AlignUp(kDosHeaderSize + length, image.optional.FileAlignment);
  if (newHeaders >= headers) return true;  // nothing to gain
  const uint64_t shift = headers - newHeaders;
  if (image.coff.PointerToSymbolTable || image.coff.NumberOfSymbols || HasDirectory(image, pe::kDirSecurity) ||
      HasDirectory(image, pe::kDirDebug) || pe < kDosHeaderSize || headers > in.size())
    return pe::Fail(error, "headers not as the linker writes them (symbols, a certificate or debug data)");
  for (uint64_t i = pe + length; i < headers; ++i)
    if (in[i]) return pe::Fail(error, "headers not as the linker writes them (bytes after the section table)");
  for (const pe::Section& s : image.sections)
    if (s.header.SizeOfRawData && s.header.PointerToRawData < headers)
      return pe::Fail(error, "a section starts inside the headers");

  std::vector<uint8_t> out(in.begin(), in.begin() + kDosHeaderSize);
  out.insert(out.end(), in.begin() + pe, in.begin() + pe + length);
  out.resize(newHeaders, 0);
  out.insert(out.end(), in.begin() + headers, in.end());
  const uint64_t moved = pe - kDosHeaderSize;  // every header field sits this much earlier
  pe::PutLe32(&out, offsetof(pe::DosHeader, e_lfanew), kDosHeaderSize);
  pe::PutLe32(&out, image.optionalOffset - moved + offsetof(pe::OptionalHeaderCommon, SizeOfHeaders),
        static_cast<uint32_t>(newHeaders));
  for (const pe::Section& s : image.sections)
    if (s.header.SizeOfRawData)
      pe::PutLe32(&out, s.headerOffset - moved + offsetof(pe::SectionHeader, PointerToRawData),
            static_cast<uint32_t>(s.header.PointerToRawData - shift));
  const uint64_t checksumAt = image.CheckSumOffset() - moved;
  pe::PutLe32(&out, checksumAt, 0);
  pe::PeChecksum sum(checksumAt);
  sum.Add(out.data(), out.size(), 0);
  pe::PutLe32(&out, checksumAt, sum.Value(out.size()));
  *bytes = std::move(out);
  return true;
}

bool DescribeImage(const pe::ByteSource& source, std::string* text, std::string* error) {
  pe::PeImage image;
  std::vector<std::string> dlls;
  if (!pe::ParsePeImage(source, &image, error) || !pe::ReadImportedDlls(source, image, &dlls, error)) return false;
  std::string sections, imports;
  for (const pe::Section& s : image.sections) sections += (sections.empty() ? "" : ";") + SectionName(source, image, s.header);
  for (const std::string& dll : dlls) imports += (imports.empty() ? "" : ";") + dll;
  *text = "size=" + std::to_string(source.Size()) + "\nheaders=" + std::to_string(image.optional.SizeOfHeaders) +
          "\nmachine=" + Hex(image.coff.Machine) + "\ndll_characteristics=" + Hex(image.optional.DllCharacteristics) +
          "\nsections=" + sections + "\nimports=" + imports +
          "\nsymbols=" + (image.coff.PointerToSymbolTable || image.coff.NumberOfSymbols ? "1" : "0") +
          "\ndebug=" + (HasDirectory(image, pe::kDirDebug) ? "1" : "0") + "\n";
  return true;
}

int RunPeTool(const std::vector<std::string>& args) {
  if (args.size() != 2 || (args[0] != "compact" && args[0] != "describe" && args[0] != "machine")) {
    std::cerr << "usage: kesdra-petool compact|describe|machine <image>\n";
    return 2;
  }
  const std::string& path = args[1];
  std::vector<uint8_t> bytes;
  std::string error, text;
  bool ok = pe::ReadWholeFile(path, &bytes, &error);
  if (ok && args[0] == "compact") {
    const std::vector<uint8_t> before = bytes;
    ok = CompactHeaders(&bytes, &error) && (bytes == before || pe::RewriteFile(path, bytes, &error));
    if (!ok && error.find(path) == std::string::npos) error = path + ": cannot compact the headers: " + error;
  } else if (ok) {
    pe::PeImage image;
    const pe::MemorySource source(bytes);
    ok = args[0] == "describe" ? DescribeImage(source, &text, &error) : pe::ParsePeImage(source, &image, &error);
    if (ok && args[0] == "machine") text = image.coff.Machine == 0x14C ? "i386\n" : "other\n";
    if (!ok && error.find(path) == std::string::npos) error = path + ": " + error;
  }
  if (!ok) {
    std::cerr << error << "\n";
    return 1;
  }
  std::cout << text;
  return 0;
}
