// The builder's interface kit in process: its message boxes (the error box's caption and
// owner, the question's buttons and their default, and the window handling around a box:
// top-most lifting with nesting, disabling and re-enabling, focus restore), the folder
// browser, the version text and the shell. A watcher thread reads and answers every box and
// dialog. The information box is read through the builder by the UI tests.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>

#include "harness.h"
// After windows.h, which the harness brings.
#include <commctrl.h>
#include "ui_driver.h"
#include "uikit/application_win32.h"
#include "uikit/messageboxes.h"
#include "uikit/shell.h"

namespace {

DWORD g_uiThread = 0;

// A visible box or dialog of the interface thread other than `except`; null after the deadline.
HWND WaitForBox(HWND except = nullptr) { return harness::WaitForBoxOfThread(g_uiThread, except, 10000); }

DWORD WINAPI RunWatch(void* watch) {
  (*static_cast<const std::function<void()>*>(watch))();
  return 0;
}

// Runs `watch` on its own thread while the interface thread shows a box through `show`.
// (The Windows runtime of the shipped build has no std::thread.)
void WithWatcher(const std::function<void()>& show, const std::function<void()>& watch) {
  HANDLE thread = CreateThread(nullptr, 0, RunWatch, const_cast<std::function<void()>*>(&watch), 0, nullptr);
  show();
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}

bool IsTopMost(HWND window) { return (GetWindowLongPtrA(window, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0; }

// Other windows of the program, one top-most, which a box or dialog disables while it is up.
class UiKit : public ::testing::Test {
 protected:
  void SetUp() override {
    g_uiThread = GetCurrentThreadId();
    other_ = CreateWindowExA(0, "STATIC", "another window", WS_POPUP | WS_VISIBLE, 10, 10, 100, 50, nullptr, nullptr,
                             nullptr, nullptr);
    topMost_ = CreateWindowExA(WS_EX_TOPMOST, "STATIC", "top-most", WS_POPUP | WS_VISIBLE, 200, 10, 100, 50, nullptr,
                               nullptr, nullptr, nullptr);
  }
  void TearDown() override {
    DestroyWindow(other_);
    DestroyWindow(topMost_);
  }
  HWND other_ = nullptr, topMost_ = nullptr;
};
using MessageBoxes = UiKit;

TEST_F(MessageBoxes, CaptionsButtonsAndOwner) {
  WithWatcher([] { ShowError("Source directory does not exist\r\n\r\nC:\\x\\"); },
              [] {
                HWND box = WaitForBox();
                ASSERT_NE(box, nullptr);
                const harness::BoxSeen seen = harness::ReadBox(box);
                EXPECT_EQ(seen.caption, "Error");
                EXPECT_EQ(seen.text, "Source directory does not exist\r\n\r\nC:\\x\\");
                EXPECT_FALSE(seen.yesNo);
                EXPECT_EQ(GetWindow(box, GW_OWNER), ApplicationWindow());
                harness::Answer(box, IDOK);
              });
}

TEST_F(MessageBoxes, EnterAnswersTheDefaultButton) {
  for (const bool defaultYes : {false, true}) {
    bool answer = !defaultYes;
    WithWatcher([&] { answer = AskYesNo("Target file already exists\r\nOverwrite?", defaultYes); },
                [&] {
                  HWND box = WaitForBox();
                  ASSERT_NE(box, nullptr);
                  const harness::BoxSeen seen = harness::ReadBox(box);
                  EXPECT_EQ(seen.caption, "Confirmation");
                  EXPECT_TRUE(seen.yesNo);
                  EXPECT_EQ(GetDlgItem(box, IDCANCEL), nullptr);
                  HWND expected = GetDlgItem(box, defaultYes ? IDYES : IDNO);
                  HWND focused = nullptr;
                  harness::WaitUntil(
                      [&] {
                        GUITHREADINFO info = {};
                        info.cbSize = sizeof info;
                        focused = GetGUIThreadInfo(g_uiThread, &info) ? info.hwndFocus : nullptr;
                        return focused == expected;
                      },
                      5000);
                  harness::PressKey(focused ? focused : box, VK_RETURN);
                });
    EXPECT_EQ(answer, defaultYes);
  }
}

TEST_F(MessageBoxes, OtherWindowsAreDisabledAndTopMostsLiftedUntilTheOuterBoxCloses) {
  SetActiveWindow(other_);
  std::atomic<bool> innerShown{false};
  static std::atomic<bool> innerReturned;
  innerReturned = false;
  // The inner box opens from inside the outer box's message loop, as nested boxes do.
  SetTimer(nullptr, 0, 50, [](HWND, UINT, UINT_PTR id, DWORD) CALLBACK {
    KillTimer(nullptr, id);
    ShowInfo("inner");
    innerReturned = true;
  });
  WithWatcher([] { ShowError("outer"); },
              [&] {
                HWND outer = WaitForBox();
                ASSERT_NE(outer, nullptr);
                HWND inner = WaitForBox(outer);
                ASSERT_NE(inner, nullptr);
                innerShown = true;
                EXPECT_FALSE(IsTopMost(topMost_));
                EXPECT_FALSE(IsWindowEnabled(other_));
                harness::Answer(inner, IDOK);
                EXPECT_TRUE(harness::WaitUntil([&] { return innerReturned.load(); }, 5000));
                EXPECT_FALSE(IsTopMost(topMost_)) << "restored while the outer box is still up";
                harness::Answer(outer, IDOK);
              });
  EXPECT_TRUE(innerShown);
  EXPECT_TRUE(IsTopMost(topMost_));
  EXPECT_TRUE(IsWindowEnabled(other_));
  EXPECT_TRUE(IsWindowEnabled(topMost_));
  EXPECT_EQ(GetActiveWindow(), other_);
}

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

class FolderBrowser : public UiKit {
 protected:
  void SetUp() override {
    UiKit::SetUp();
    // Directly under C:\, where the tree has few siblings to fill in before it can select.
    dir_ = "C:\\kesdra-browse-" + std::to_string(GetCurrentProcessId()) + "\\";
    CreateDirectoryA(dir_.c_str(), nullptr);
  }
  void TearDown() override {
    UiKit::TearDown();
    harness::RemoveTree(dir_);
  }
  std::string dir_;
};

TEST_F(FolderBrowser, OpensAtTheGivenFolderAndReturnsItOnOk) {
  std::string directory = dir_;
  bool chosen = false;
  WithWatcher([&] { chosen = BrowseForDirectory(&directory); }, [&] {
    HWND dialog = WaitForBox();
    ASSERT_NE(dialog, nullptr);
    EXPECT_FALSE(IsWindowEnabled(other_));
    // The tree fills and selects after the dialog appears: wait for the folder's own name.
    HWND tree = FindWindowExA(dialog, nullptr, "SysTreeView32", nullptr);
    ASSERT_NE(tree, nullptr);
    const std::string name = dir_.substr(dir_.rfind('\\', dir_.size() - 2) + 1, dir_.size() - 1 - (dir_.rfind('\\', dir_.size() - 2) + 1));
    EXPECT_TRUE(harness::WaitUntil([&] { return SelectedItemText(tree) == name; }, 10000)) << SelectedItemText(tree);
    harness::Answer(dialog, IDOK);
  });
  EXPECT_TRUE(chosen);
  EXPECT_EQ(directory, dir_.substr(0, dir_.size() - 1));  // no trailing delimiter
  EXPECT_TRUE(IsWindowEnabled(other_));
}

TEST_F(FolderBrowser, CancelLeavesAMissingFolderEmpty) {
  std::string directory = dir_ + "gone";
  bool chosen = true;
  SetErrorMode(0);
  WithWatcher([&] { chosen = BrowseForDirectory(&directory); }, [&] {
    HWND dialog = WaitForBox();
    ASSERT_NE(dialog, nullptr);
    harness::Answer(dialog, IDCANCEL);
  });
  EXPECT_FALSE(chosen);
  EXPECT_EQ(directory, "");
  EXPECT_TRUE(IsWindowEnabled(other_));
  EXPECT_EQ(GetErrorMode(), 0u);  // the error mode is back
}

}  // namespace
