// The builder's three message boxes, in process: captions, buttons and their default, the
// owner, and the window handling around a box (top-most lifting with nesting, disabling and
// re-enabling, focus restore). A watcher thread reads and answers every box.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>

#include "harness.h"
#include "ui_driver.h"
#include "uikit/application_win32.h"
#include "uikit/messageboxes.h"

namespace {

DWORD g_uiThread = 0;

// A visible box of the interface thread other than `except`; null after the deadline.
HWND WaitForBox(HWND except = nullptr) { return harness::WaitForBoxOfThread(g_uiThread, except, 10000); }

// Runs `watch` on its own thread while the interface thread shows a box through `show`.
void WithWatcher(const std::function<void()>& show, const std::function<void()>& watch) {
  harness::Watcher watcher(watch);
  show();
  watcher.join();
}

bool IsTopMost(HWND window) { return (GetWindowLongPtrA(window, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0; }

class MessageBoxes : public ::testing::Test {
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
  WithWatcher([] { ShowInfo("SFX module has been successfully created"); },
              [] {
                HWND box = WaitForBox();
                ASSERT_NE(box, nullptr);
                EXPECT_EQ(harness::ReadBox(box).caption, "Information");
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

}  // namespace
