// Version, shell and folder-browser utilities, in process; a watcher thread answers the
// folder browser.
#include <gtest/gtest.h>


#include "harness.h"
// After windows.h, which the harness brings.
#include <commctrl.h>
#include "ui_driver.h"
#include "uikit/shell.h"

namespace {

DWORD g_uiThread = 0;

HWND WaitForDialog() { return harness::WaitForBoxOfThread(g_uiThread); }

// Same process, so the item's text buffer can be handed over directly.
std::string SelectedItemText(HWND tree) {
  const LRESULT item = SendMessageA(tree, TVM_GETNEXTITEM, TVGN_CARET, 0);
  if (!item) return std::string();
  char text[MAX_PATH] = {};
  TVITEMA query = {};
  query.mask = TVIF_TEXT;
  query.hItem = reinterpret_cast<HTREEITEM>(item);
  query.pszText = text;
  query.cchTextMax = sizeof text;
  SendMessageA(tree, TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&query));
  return text;
}

TEST(FileVersionText, FourFieldsOrNothing) {
  EXPECT_EQ(FileVersionText(harness::ProgramDir() + "kesdra.exe"), "1.0.0.0");
  char self[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  EXPECT_EQ(FileVersionText(self), "");  // the test program carries no version resource
  EXPECT_EQ(FileVersionText(harness::ProgramDir() + "no-such-file.exe"), "");
}

TEST(ShellOpen, BlankTargetsAreRefusedWithoutTheShell) {
  EXPECT_FALSE(ShellOpen(""));
  EXPECT_FALSE(ShellOpen(" \t\r\n "));
}

class FolderBrowser : public ::testing::Test {
 protected:
  void SetUp() override {
    g_uiThread = GetCurrentThreadId();
    // Directly under C:\, where the tree has few siblings to fill in before it can select.
    dir_ = "C:\\kesdra-browse-" + std::to_string(GetCurrentProcessId()) + "\\";
    CreateDirectoryA(dir_.c_str(), nullptr);
    other_ = CreateWindowExA(0, "STATIC", "another window", WS_POPUP | WS_VISIBLE, 10, 10, 100, 50, nullptr, nullptr,
                             nullptr, nullptr);
  }
  void TearDown() override {
    DestroyWindow(other_);
    harness::RemoveTree(dir_);
  }
  std::string dir_;
  HWND other_ = nullptr;
};

TEST_F(FolderBrowser, OpensAtTheGivenFolderAndReturnsItOnOk) {
  std::string directory = dir_;
  bool chosen = false;
  harness::Watcher watcher([&] {
    HWND dialog = WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_FALSE(IsWindowEnabled(other_));
    // The tree fills and selects after the dialog appears: wait for the folder's own name.
    HWND tree = FindWindowExA(dialog, nullptr, "SysTreeView32", nullptr);
    ASSERT_NE(tree, nullptr);
    const std::string name = dir_.substr(dir_.rfind('\\', dir_.size() - 2) + 1, dir_.size() - 1 - (dir_.rfind('\\', dir_.size() - 2) + 1));
    EXPECT_TRUE(harness::WaitUntil([&] { return SelectedItemText(tree) == name; }, 10000)) << SelectedItemText(tree);
    harness::Answer(dialog, IDOK);
  });
  chosen = BrowseForDirectory(&directory);
  watcher.join();
  EXPECT_TRUE(chosen);
  EXPECT_EQ(directory, dir_.substr(0, dir_.size() - 1));  // no trailing delimiter
  EXPECT_TRUE(IsWindowEnabled(other_));
}

TEST_F(FolderBrowser, CancelLeavesAMissingFolderEmpty) {
  std::string directory = dir_ + "gone";
  bool chosen = true;
  SetErrorMode(0);
  harness::Watcher watcher([&] {
    HWND dialog = WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    harness::Answer(dialog, IDCANCEL);
  });
  chosen = BrowseForDirectory(&directory);
  watcher.join();
  EXPECT_FALSE(chosen);
  EXPECT_EQ(directory, "");
  EXPECT_TRUE(IsWindowEnabled(other_));
  EXPECT_EQ(GetErrorMode(), 0u);  // the error mode is back
}

}  // namespace
