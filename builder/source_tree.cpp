#include "builder/source_tree.h"

#include <map>
#include <stdexcept>
#include <string>

#include "container/payload_reader.h"
#include "shared/u_limits.h"
#include "shared/u_shared.h"

namespace {

// Windows' simple upper case for the scripts whose letters come in pairs: Latin, Greek and
// Cyrillic; enough to find two names that one folder cannot hold together. The key is the
// code points as UTF-8 bytes would not sort them apart from a well-formed name.
bool InPairs(uint32_t u, bool upperEven) {
  const bool evenUpper = (u >= 0x100 && u <= 0x137 && u != 0x131) || (u >= 0x14A && u <= 0x177) ||
                         (u >= 0x460 && u <= 0x481) || (u >= 0x48A && u <= 0x4BF) || (u >= 0x4D0 && u <= 0x4FF);
  const bool oddUpper = (u >= 0x139 && u <= 0x148) || (u >= 0x179 && u <= 0x17E) || (u >= 0x4C1 && u <= 0x4CE);
  return upperEven ? evenUpper && (u & 1) : oddUpper && !(u & 1);
}

std::string UpperCaseUtf8(const std::string& text) {
  std::string key;
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    uint32_t u = n == 1 ? c : c & (0x7F >> n);
    for (size_t k = 1; k < n && i + k < text.size(); ++k) u = (u << 6) | (text[i + k] & 0x3F);
    i += n;
    if ((u >= 'a' && u <= 'z') || (u >= 0xE0 && u <= 0xFE && u != 0xF7) || (u >= 0x3B1 && u <= 0x3CB && u != 0x3C2) ||
        (u >= 0x430 && u <= 0x44F))
      u -= 0x20;
    else if (u >= 0x450 && u <= 0x45F)
      u -= 0x50;
    else if (u == 0xFF)
      u = 0x178;
    else if (u == 0x3C2)
      u = 0x3A3;
    else if (InPairs(u, true) || InPairs(u, false))
      u -= 1;
    for (int shift = 24; shift >= 0; shift -= 8) key += static_cast<char>(u >> shift);
  }
  return key;
}

class TreeLister {
 public:
  TreeLister(FileSystem& fs, const std::string& sourceDir, int64_t fixedBytes, BuildHost& host, bool utf8Names)
      : fs_(fs), sourceDir_(sourceDir), total_(fixedBytes), host_(host), utf8Names_(utf8Names) {}

  SourceTree Run() {
    // The folders on the way down, by identity, so that a link back up is caught. Where a
    // folder's identity cannot be asked (Windows), there are no links to follow either.
    std::unique_ptr<File> root;
    if (fs_.Open(sourceDir_, OpenMode::Read, &root) == kErrNone) folders_.push_back({root->Identity(), sourceDir_});
    root.reset();
    AddDirectory(std::string(), std::string(), std::string(), true);
    return std::move(tree_);
  }

 private:
  // Depth-first, in listing order: a subfolder is finished before its parent's next entry.
  void AddDirectory(const std::string& relNative, const std::string& relStored, const std::string& relCodePage,
                    bool storable) {
    std::map<std::string, std::string> byUpperName;  // which path took each name of this folder
    const std::string folder = sourceDir_ + relNative;
    fs_.ListDirectory(folder, [&](const ListedEntry& entry) {
      if (!tree_.refusal.empty()) return;
      const std::string path = folder + entry.name;
      if (!entry.unusable.empty())
        return Refuse(path + " " + entry.unusable + "; only files and folders can be packed");
      const std::string& stored = utf8Names_ ? entry.utf8Name : entry.storedName;
      // Linux reaches every name by its bytes; the Windows builder only those of its code page,
      // and names the code page rather than let two unreachable names pass as case twins.
      const bool convertible = utf8Names_ ? !entry.utf8Name.empty() : entry.convertible;
      if (utf8Names_ && !convertible) return Refuse(CannotStore(path, false));
      // One component at a time: a "\" inside a Linux name would become a folder of its own.
      if (convertible &&
          !IsStoredComponentAllowed(stored.data(), static_cast<int32_t>(stored.size()), utf8Names_ ? nullptr : IsLeadByte))
        return Refuse(CannotStore(path, true));
      CheckCase(byUpperName, stored, path);
      CheckPathLength(entry, path);
      if (entry.isDirectory) {
        for (const Folder& up : folders_)
          if (up.identity == entry.identity) return Refuse(path + " leads back to " + up.path + ": a loop of links");
        folders_.push_back({entry.identity, path});
        AddDirectory(relNative + entry.name + kNativePathRules.delimiter, relStored + stored + '\\',
                     relCodePage + entry.storedName + '\\', storable && convertible);
        folders_.pop_back();
      } else {
        AddFile(SourceFile{path, relStored + stored, entry, relCodePage + entry.storedName}, storable && convertible);
      }
    });
    host_.ProcessMessages();
  }

  void AddFile(SourceFile file, bool storable) {
    if (!tree_.refusal.empty()) return;
    const std::string& name = file.storedName;
    const int32_t length = static_cast<int32_t>(name.size());
    if (!storable || (utf8Names_ ? !IsSafeUtf8Name(name.data(), length) : !IsSafeStoredName(name.data(), length, IsLeadByte)))
      return Refuse(CannotStore(file.path, storable));
    const int64_t size = file.listed.size;
    total_ += kEntryHeaderSize + static_cast<int64_t>(name.size()) + size + kChecksumSize;
    const std::string tooLarge = SizeRefusal(file.path, size, total_);
    if (!tooLarge.empty()) return Refuse(tooLarge);
    tree_.files.push_back(std::move(file));
  }

  // Windows keeps one of two names that differ only in letter case.
  void CheckCase(std::map<std::string, std::string>& byUpperName, const std::string& stored, const std::string& path) {
    const auto taken = byUpperName.emplace(utf8Names_ ? UpperCaseUtf8(stored) : UpperCaseAnsi(stored), path);
    if (!taken.second)
      Refuse(taken.first->second + " and " + path +
             " differ only in letter case; Windows would keep only one of them");
  }

  // Windows cannot list or open what lies past its path limit: refused rather than left out.
  void CheckPathLength(const ListedEntry& entry, const std::string& path) {
    const size_t limit = kNativePathRules.longestPath;
    const size_t length = entry.isDirectory ? path.size() + 4 : path.size();  // a folder is listed as "<path>\*.*"
    if (limit && length > limit)
      Refuse(path + " is longer than the " + std::to_string(limit) + " characters Windows allows in a path");
  }

  void Refuse(const std::string& why) {
    if (tree_.refusal.empty()) tree_.refusal = why;
  }

  struct Folder {
    FileIdentity identity;
    std::string path;
  };

  // Compressed payloads store UTF-8, the stored layout the code page's bytes: the system's
  // own code page on Windows, named so.
  std::string CannotStore(const std::string& path, bool reachable) const {
    if (utf8Names_ && reachable) return "The name of " + path + " cannot be stored: Windows cannot create a file of that name";
    return "The name of " + path + " cannot be stored: Windows code page " + std::to_string(AnsiCodePage()) +
           " cannot hold it, or Windows cannot create a file of that name";
  }

  std::vector<Folder> folders_;  // from the source folder down to the one being listed
  FileSystem& fs_;
  const std::string& sourceDir_;
  int64_t total_;
  BuildHost& host_;
  const bool utf8Names_;
  SourceTree tree_;
};

}  // namespace

SourceTree ListSourceTree(FileSystem& fs, const std::string& sourceDir, int64_t fixedBytes,
                          BuildHost& host, bool utf8Names) {
  return TreeLister(fs, sourceDir, fixedBytes, host, utf8Names).Run();
}

std::string SizeRefusal(const std::string& path, int64_t size, int64_t end) {
  if (size > kLargestContainer) return path + " is 2 GiB or larger; a self-extracting file cannot carry it";
  if (end <= kLargestContainer) return std::string();
  return "The self-extracting file would reach 2 GiB" + (path.empty() ? std::string() : " with " + path) +
         "; it must stay below 2,147,483,648 bytes";
}

void RefuseIfTooLarge(const std::string& path, int64_t size, int64_t end) {
  const std::string refusal = SizeRefusal(path, size, end);
  if (!refusal.empty()) throw std::runtime_error(refusal);
}
