#include "builder/source_tree.h"

#include <limits>
#include <map>
#include <string>

#include "container/payload_reader.h"
#include "shared/u_shared.h"

namespace {

constexpr int64_t kLargestContainer = std::numeric_limits<int32_t>::max();

class TreeLister {
 public:
  TreeLister(FileSystem& fs, const std::string& sourceDir, int64_t fixedBytes, const std::function<void()>& afterFolder)
      : fs_(fs), sourceDir_(sourceDir), total_(fixedBytes), afterFolder_(afterFolder) {}

  SourceTree Run() {
    // The folders on the way down, by identity, so that a link back up is caught. Where a
    // folder's identity cannot be asked (Windows), there are no links to follow either.
    std::unique_ptr<File> root;
    if (fs_.Open(sourceDir_, OpenMode::Read, &root) == kErrNone) folders_.push_back({root->Identity(), sourceDir_});
    root.reset();
    AddDirectory(std::string(), std::string(), true);
    return std::move(tree_);
  }

 private:
  // Depth-first, in listing order: a subfolder is finished before its parent's next entry.
  void AddDirectory(const std::string& relNative, const std::string& relStored, bool storable) {
    std::map<std::string, std::string> byUpperName;  // which path took each name of this folder
    std::vector<ListedEntry> subfolders;
    const std::string folder = sourceDir_ + relNative;
    fs_.ListDirectory(folder, [&](const ListedEntry& entry) {
      if (!tree_.refusal.empty()) return;
      const std::string path = folder + entry.name;
      if (!entry.unusable.empty())
        return Refuse(path + " " + entry.unusable + "; only files and folders can be packed");
      // One component at a time: a "\" inside a Linux name would become a folder of its own.
      const std::string& name = entry.storedName;
      if (entry.convertible && !IsStoredComponentAllowed(name.data(), static_cast<int32_t>(name.size()), IsLeadByte))
        return Refuse(Format(kCannotStore, path));
      CheckCase(byUpperName, entry, path);
      CheckPathLength(entry, path);
      if (entry.isDirectory) {
        for (const Folder& up : folders_)
          if (up.identity == entry.identity) return Refuse(path + " leads back to " + up.path + ": a loop of links");
        folders_.push_back({entry.identity, path});
        AddDirectory(relNative + entry.name + kNativePathRules.delimiter, relStored + entry.storedName + '\\',
                   storable && entry.convertible);
        folders_.pop_back();
      } else {
        AddFile(SourceFile{path, relStored + entry.storedName, entry}, storable && entry.convertible);
      }
    });
    if (afterFolder_) afterFolder_();
  }

  void AddFile(SourceFile file, bool storable) {
    if (!tree_.refusal.empty()) return;
    const std::string& name = file.storedName;
    if (!storable || !IsSafeStoredName(name.data(), static_cast<int32_t>(name.size()), IsLeadByte))
      return Refuse(Format(kCannotStore, file.path));
    const int64_t size = file.listed.size;
    if (size > kLargestContainer)
      return Refuse(file.path + " is 2 GiB or larger; a self-extracting file cannot carry it");
    total_ += kEntryHeaderSize + static_cast<int64_t>(name.size()) + size + kChecksumSize;
    if (total_ > kLargestContainer)
      return Refuse("The self-extracting file would reach 2 GiB with " + file.path +
                    "; it must stay below 2,147,483,648 bytes");
    tree_.files.push_back(std::move(file));
  }

  // Windows keeps one of two names that differ only in letter case.
  void CheckCase(std::map<std::string, std::string>& byUpperName, const ListedEntry& entry, const std::string& path) {
    const auto taken = byUpperName.emplace(UpperCaseAnsi(entry.storedName), path);
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

  static std::string Format(const char* pattern, const std::string& path) {
    std::string text = pattern;
    text.replace(text.find("%s"), 2, path);
    const size_t page = text.find("%u");
    if (page != std::string::npos) text.replace(page, 2, std::to_string(AnsiCodePage()));
    return text;
  }
  // The code page named is the one names are stored in: the system's own on Windows.
  static constexpr const char* kCannotStore =
      "The name of %s cannot be stored: Windows code page %u cannot hold it, or Windows cannot create a file of "
      "that name";

  std::vector<Folder> folders_;  // from the source folder down to the one being listed
  FileSystem& fs_;
  const std::string& sourceDir_;
  int64_t total_;
  const std::function<void()>& afterFolder_;
  SourceTree tree_;
};

}  // namespace

SourceTree ListSourceTree(FileSystem& fs, const std::string& sourceDir, int64_t fixedBytes,
                          const std::function<void()>& afterFolder) {
  return TreeLister(fs, sourceDir, fixedBytes, afterFolder).Run();
}
