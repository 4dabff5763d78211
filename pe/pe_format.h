// On-disk records of a PE image that the resource reader and writer touch. Defined once,
// packed, little-endian, with their sizes and offsets pinned below.
//
//   +----------------------------+  0
//   | DOS header (e_lfanew @0x3C)|
//   +----------------------------+  e_lfanew
//   | "PE\0\0"                   |
//   | CoffFileHeader   20 bytes  |
//   | optional header            |  PE32 (0x10B) or PE32+ (0x20B), then the data directories
//   | SectionHeader[n] 40 each   |
//   +----------------------------+  SizeOfHeaders
//   | section raw data ...       |  each at PointerToRawData, SizeOfRawData bytes
//   +----------------------------+  (anything after the last section is the overlay)
//
// A resource section starts with a three-level tree (type, name, language) of
// ResourceDirectory tables, each followed by its entries: named entries first, then
// numbered ones. Leaves are ResourceDataEntry records pointing (by RVA) at the bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pe {

#pragma pack(push, 1)
struct DosHeader {
  uint16_t e_magic;  // "MZ"
  uint8_t unused[58];
  uint32_t e_lfanew;  // file offset of the "PE\0\0" signature
};

struct CoffFileHeader {
  uint16_t Machine;
  uint16_t NumberOfSections;
  uint32_t TimeDateStamp;
  uint32_t PointerToSymbolTable;
  uint32_t NumberOfSymbols;
  uint16_t SizeOfOptionalHeader;
  uint16_t Characteristics;
};

// The part of the optional header that is laid out alike in PE32 and PE32+.
struct OptionalHeaderCommon {
  uint16_t Magic;
  uint8_t MajorLinkerVersion;
  uint8_t MinorLinkerVersion;
  uint32_t SizeOfCode;
  uint32_t SizeOfInitializedData;
  uint32_t SizeOfUninitializedData;
  uint32_t AddressOfEntryPoint;
  uint32_t BaseOfCode;
  uint32_t BaseOfDataOrImageBaseLow;  // PE32: BaseOfData; PE32+: low half of ImageBase
  uint32_t ImageBaseOrImageBaseHigh;
  uint32_t SectionAlignment;
  uint32_t FileAlignment;
  uint16_t MajorOperatingSystemVersion;
  uint16_t MinorOperatingSystemVersion;
  uint16_t MajorImageVersion;
  uint16_t MinorImageVersion;
  uint16_t MajorSubsystemVersion;
  uint16_t MinorSubsystemVersion;
  uint32_t Win32VersionValue;
  uint32_t SizeOfImage;
  uint32_t SizeOfHeaders;
  uint32_t CheckSum;
  uint16_t Subsystem;
  uint16_t DllCharacteristics;
};

struct DataDirectory {
  uint32_t VirtualAddress;  // an RVA, except for the certificate table, where it is a file offset
  uint32_t Size;
};

struct SectionHeader {
  char Name[8];
  uint32_t VirtualSize;
  uint32_t VirtualAddress;
  uint32_t SizeOfRawData;
  uint32_t PointerToRawData;
  uint32_t PointerToRelocations;
  uint32_t PointerToLinenumbers;
  uint16_t NumberOfRelocations;
  uint16_t NumberOfLinenumbers;
  uint32_t Characteristics;
};

// One entry of the import directory (a zeroed entry ends it).
struct ImportDescriptor {
  uint32_t OriginalFirstThunk;
  uint32_t TimeDateStamp;
  uint32_t ForwarderChain;
  uint32_t Name;  // RVA of the DLL's name
  uint32_t FirstThunk;
};

struct ResourceDirectory {
  uint32_t Characteristics;
  uint32_t TimeDateStamp;
  uint16_t MajorVersion;
  uint16_t MinorVersion;
  uint16_t NumberOfNamedEntries;
  uint16_t NumberOfIdEntries;
};

struct ResourceDirectoryEntry {
  uint32_t Name;          // high bit: offset of a counted UTF-16 name; else the number
  uint32_t OffsetToData;  // high bit: offset of a subdirectory; else of a ResourceDataEntry
};

struct ResourceDataEntry {
  uint32_t OffsetToData;  // RVA of the bytes
  uint32_t Size;
  uint32_t CodePage;
  uint32_t Reserved;
};

// Group icon directory (the bytes of an icon-group resource): a header, then n entries.
struct GroupIconHeader {
  uint16_t Reserved;
  uint16_t Type;
  uint16_t Count;
};

struct GroupIconEntry {
  uint8_t Width;
  uint8_t Height;
  uint8_t ColorCount;
  uint8_t Reserved;
  uint16_t Planes;
  uint16_t BitCount;
  uint32_t BytesInRes;
  uint16_t Id;  // number of the icon image resource
};
#pragma pack(pop)

static_assert(sizeof(DosHeader) == 64, "DOS header");
static_assert(offsetof(DosHeader, e_lfanew) == 0x3C, "DOS header");
static_assert(sizeof(CoffFileHeader) == 20, "COFF file header");
static_assert(offsetof(CoffFileHeader, PointerToSymbolTable) == 8, "COFF file header");
static_assert(offsetof(CoffFileHeader, SizeOfOptionalHeader) == 16, "COFF file header");
static_assert(sizeof(OptionalHeaderCommon) == 72, "optional header, common part");
static_assert(offsetof(OptionalHeaderCommon, SectionAlignment) == 32, "optional header");
static_assert(offsetof(OptionalHeaderCommon, SizeOfImage) == 56, "optional header");
static_assert(offsetof(OptionalHeaderCommon, CheckSum) == 64, "optional header");
static_assert(sizeof(DataDirectory) == 8, "data directory");
static_assert(sizeof(SectionHeader) == 40, "section header");
static_assert(offsetof(SectionHeader, PointerToRawData) == 20, "section header");
static_assert(offsetof(SectionHeader, Characteristics) == 36, "section header");
static_assert(sizeof(ImportDescriptor) == 20, "import descriptor");
static_assert(offsetof(ImportDescriptor, Name) == 12, "import descriptor");
static_assert(sizeof(ResourceDirectory) == 16, "resource directory");
static_assert(sizeof(ResourceDirectoryEntry) == 8, "resource directory entry");
static_assert(sizeof(ResourceDataEntry) == 16, "resource data entry");
static_assert(sizeof(GroupIconHeader) == 6, "group icon header");
static_assert(sizeof(GroupIconEntry) == 14, "group icon entry");
static_assert(offsetof(GroupIconEntry, Id) == 12, "group icon entry");

constexpr uint16_t kDosMagic = 0x5A4D;              // "MZ"
constexpr uint32_t kPeSignature = 0x00004550;       // "PE\0\0"
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;
// Where the data directory count sits after the common part of the optional header.
constexpr uint32_t kPe32NumberOfRvaAndSizes = 92;
constexpr uint32_t kPe32PlusNumberOfRvaAndSizes = 108;
constexpr uint32_t kDirImport = 1;
constexpr uint32_t kDirResource = 2;
constexpr uint32_t kDirSecurity = 4;
constexpr uint32_t kDirDebug = 6;
constexpr uint32_t kHighBit = 0x80000000u;

constexpr uint32_t kSectionInitializedData = 0x00000040;
constexpr uint32_t kSectionMemRead = 0x40000000;

// Standard resource types the builder moves.
constexpr uint16_t kRtIcon = 3;
constexpr uint16_t kRtGroupIcon = 14;
constexpr uint16_t kRtVersion = 16;

}  // namespace pe
