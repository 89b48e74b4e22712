#include "app/tray/tray_icon.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/tray/recording_tray_shell.h"
#include "fake_event_loop.h"

namespace corvel {
namespace {

using testing::FakeEventLoop;
using Kind = TrayShellCallKind;

// The main window as the tray icon sees it, with a record of what was done.
class FakeTrayWindow final : public TrayWindow {
 public:
  void HideMainWindow() override {
    calls.push_back("hide");
    shown = false;
  }
  void ShowMainWindow() override {
    calls.push_back("show");
    shown = true;
  }
  void HideTaskbarButton() override {
    calls.push_back("hide button");
    buttonShown = false;
  }
  void ShowTaskbarButton() override {
    calls.push_back("show button");
    buttonShown = true;
  }
  [[nodiscard]] bool TaskbarButtonVisible() const override { return buttonShown; }
  [[nodiscard]] bool IsMinimized() const override { return minimized; }
  void MakeNormal() override {
    calls.push_back("normal");
    minimized = false;
  }
  void BringToForeground() override { calls.push_back("foreground"); }

  std::vector<std::string> calls;
  bool shown = true;
  bool buttonShown = true;
  bool minimized = false;
};

struct TrayFixture : ::testing::Test {
  FakeEventLoop loop;
  RecordingTrayShell shell;
  FakeTrayWindow window;
  std::unique_ptr<TrayIcon> tray = std::make_unique<TrayIcon>(loop, shell, window);

  // The start-up of the main window: hint, menu, visible, application icon.
  void ShowLikeTheProgram() {
    tray->SetHint("Corvel! v0.6");
    tray->SetMinimizeToTray(true);
    tray->SetIconVisible(true);
    tray->SetIcon(TrayPicture::kApplication);
    shell.ClearCalls();
  }
  // The new-mail animation as the main window switches it on.
  void StartMailAnimation() {
    tray->SetIconList({TrayPicture::kMailFrame1, TrayPicture::kMailFrame2});
    tray->SetCycleInterval(500);
    tray->SetCycleIcons(true);
  }
  [[nodiscard]] std::vector<TrayPicture> ModifiedPictures() const {
    std::vector<TrayPicture> pictures;
    for (const TrayShellCall& call : shell.CallsOf(Kind::kModifyIcon)) {
      pictures.push_back(call.entry.picture);
    }
    return pictures;
  }
};

// ---- Showing, updating and removing the entry.

using TrayEntryUpdates = TrayFixture;

TEST_F(TrayEntryUpdates, NothingIsShownUntilIconVisible) {
  tray->SetHint("Corvel! v0.6");
  tray->SetIcon(TrayPicture::kApplication);
  EXPECT_TRUE(shell.Calls().empty());
  tray->SetIconVisible(true);
  ASSERT_EQ(shell.Calls().size(), 1u);
  EXPECT_EQ(shell.Calls()[0].kind, Kind::kAddIcon);
  EXPECT_EQ(shell.Calls()[0].entry, (TrayEntry{TrayPicture::kApplication, "Corvel! v0.6"}));
}

TEST_F(TrayEntryUpdates, IconAssignedWhileVisibleModifiesTheEntry) {
  ShowLikeTheProgram();
  tray->SetIcon(TrayPicture::kMailFrame2);
  ASSERT_EQ(shell.CallKinds(), (std::vector<Kind>{Kind::kModifyIcon}));
  EXPECT_EQ(shell.ShownEntry(), (TrayEntry{TrayPicture::kMailFrame2, "Corvel! v0.6"}));
}

TEST_F(TrayEntryUpdates, HintIsCutTo127Bytes) {
  tray->SetIconVisible(true);
  tray->SetHint(std::string(126, 'a') + "bcdef");
  EXPECT_EQ(shell.ShownEntry().tip, std::string(126, 'a') + "b");
  EXPECT_EQ(tray->Hint().size(), 131u);  // the property keeps what was assigned
}

TEST_F(TrayEntryUpdates, ShowHintFalseGivesNoTooltip) {
  ShowLikeTheProgram();
  tray->SetShowHint(false);
  EXPECT_EQ(shell.ShownEntry().tip, "");
  tray->SetShowHint(true);
  EXPECT_EQ(shell.ShownEntry().tip, "Corvel! v0.6");
}

TEST_F(TrayEntryUpdates, IconVisibleFalseDeletesTheEntryOnce) {
  ShowLikeTheProgram();
  tray->SetIconVisible(false);
  tray->SetIconVisible(false);
  EXPECT_EQ(shell.CallKinds(), (std::vector<Kind>{Kind::kDeleteIcon}));
  EXPECT_FALSE(shell.IconShown());
}

TEST_F(TrayEntryUpdates, FailedShellCallsAreIgnored) {
  shell.SetResult(Kind::kAddIcon, false);
  shell.SetResult(Kind::kModifyIcon, false);
  tray->SetIconVisible(true);
  tray->SetIcon(TrayPicture::kApplication);
  EXPECT_TRUE(tray->IconVisible());
  EXPECT_EQ(tray->Icon(), TrayPicture::kApplication);
  EXPECT_FALSE(shell.IconShown());
}

TEST_F(TrayEntryUpdates, ShellRestartAddsTheEntryAgainWithCurrentPictureAndTip) {
  ShowLikeTheProgram();
  StartMailAnimation();
  loop.Advance(500);  // now showing the second frame
  tray->SetHint("Corvel! v0.6 - new mail");
  shell.ClearCalls();
  shell.SimulateShellRestart();
  ASSERT_EQ(shell.CallKinds(), (std::vector<Kind>{Kind::kAddIcon}));
  EXPECT_EQ(shell.Calls()[0].entry,
            (TrayEntry{TrayPicture::kMailFrame2, "Corvel! v0.6 - new mail"}));
  EXPECT_TRUE(shell.IconShown());
}

TEST_F(TrayEntryUpdates, ShellRestartLeavesAHiddenIconHidden) {
  tray->SetIcon(TrayPicture::kApplication);
  shell.SimulateShellRestart();
  EXPECT_TRUE(shell.Calls().empty());
}

TEST_F(TrayEntryUpdates, ShellRestartRepairsAFailedAdd) {
  shell.SetResult(Kind::kAddIcon, false);
  tray->SetIcon(TrayPicture::kApplication);
  tray->SetIconVisible(true);
  EXPECT_FALSE(shell.IconShown());
  shell.SetResult(Kind::kAddIcon, true);
  shell.SimulateShellRestart();
  EXPECT_TRUE(shell.IconShown());
  EXPECT_EQ(shell.ShownEntry().picture, TrayPicture::kApplication);
}

TEST_F(TrayEntryUpdates, DestructionDeletesTheEntry) {
  ShowLikeTheProgram();
  tray.reset();
  EXPECT_EQ(shell.CallKinds(), (std::vector<Kind>{Kind::kDeleteIcon}));
  EXPECT_FALSE(shell.IconShown());
  // The shell no longer reaches the destroyed component.
  EXPECT_FALSE(shell.OnMouseAction);
  EXPECT_FALSE(shell.OnShellRestarted);
  shell.SimulateLeftDoubleClick();
  shell.SimulateShellRestart();
  EXPECT_EQ(shell.Calls().size(), 1u);
}

TEST_F(TrayEntryUpdates, DestructionStopsTheAnimationTimer) {
  ShowLikeTheProgram();
  StartMailAnimation();
  tray.reset();
  EXPECT_EQ(loop.ActiveTimerCount(), 0u);
  loop.Advance(5000);  // would call into the destroyed component otherwise
}

// ---- Image list and animation.

using TrayAnimation = TrayFixture;

TEST_F(TrayAnimation, StartsAtImageZeroAndAlternatesEveryCycleInterval) {
  ShowLikeTheProgram();
  StartMailAnimation();
  EXPECT_EQ(tray->Icon(), TrayPicture::kMailFrame1);
  shell.ClearCalls();
  loop.Advance(499);
  EXPECT_TRUE(shell.Calls().empty());
  loop.Advance(1);
  EXPECT_EQ(tray->IconIndex(), 1);
  loop.Advance(1500);
  EXPECT_EQ(ModifiedPictures(),
            (std::vector<TrayPicture>{TrayPicture::kMailFrame2, TrayPicture::kMailFrame1,
                                      TrayPicture::kMailFrame2, TrayPicture::kMailFrame1}));
}

TEST_F(TrayAnimation, CycleIconsFalseLeavesTheImageShownUntilIconIsAssigned) {
  ShowLikeTheProgram();
  StartMailAnimation();
  loop.Advance(500);
  ASSERT_EQ(tray->Icon(), TrayPicture::kMailFrame2);
  tray->SetCycleIcons(false);
  shell.ClearCalls();
  loop.Advance(5000);
  EXPECT_TRUE(shell.Calls().empty());
  EXPECT_EQ(shell.ShownEntry().picture, TrayPicture::kMailFrame2);
  tray->SetIcon(TrayPicture::kApplication);
  EXPECT_EQ(shell.ShownEntry().picture, TrayPicture::kApplication);
}

TEST_F(TrayAnimation, CycleIntervalChangeWhileCyclingRestartsAtImageZero) {
  ShowLikeTheProgram();
  StartMailAnimation();
  loop.Advance(500);
  ASSERT_EQ(tray->IconIndex(), 1);
  loop.Advance(300);
  tray->SetCycleInterval(200);
  EXPECT_EQ(tray->IconIndex(), 0);
  EXPECT_EQ(tray->Icon(), TrayPicture::kMailFrame1);
  loop.Advance(199);
  EXPECT_EQ(tray->IconIndex(), 0);
  loop.Advance(1);
  EXPECT_EQ(tray->IconIndex(), 1);
}

TEST_F(TrayAnimation, CycleIntervalChangeWhileStoppedOnlyStoresIt) {
  ShowLikeTheProgram();
  tray->SetIconList({TrayPicture::kMailFrame1, TrayPicture::kMailFrame2});
  tray->SetIconIndex(1);
  shell.ClearCalls();
  tray->SetCycleInterval(200);
  EXPECT_EQ(tray->IconIndex(), 1);
  loop.Advance(1000);
  EXPECT_TRUE(shell.Calls().empty());
}

TEST_F(TrayAnimation, RestartingWithCycleIconsTrueBeginsAtImageZeroAgain) {
  ShowLikeTheProgram();
  StartMailAnimation();
  loop.Advance(500);
  tray->SetCycleIcons(false);
  tray->SetIcon(TrayPicture::kApplication);
  StartMailAnimation();  // a later report of new mail
  EXPECT_EQ(tray->Icon(), TrayPicture::kMailFrame1);
  loop.Advance(500);
  EXPECT_EQ(tray->Icon(), TrayPicture::kMailFrame2);
  EXPECT_EQ(loop.ActiveTimerCount(), 1u);
}

TEST_F(TrayAnimation, IconListAssignmentSelectsAndShowsImageZero) {
  ShowLikeTheProgram();
  tray->SetIconList({TrayPicture::kMailFrame2, TrayPicture::kMailFrame1});
  EXPECT_EQ(tray->IconIndex(), 0);
  EXPECT_EQ(ModifiedPictures(), (std::vector<TrayPicture>{TrayPicture::kMailFrame2}));
}

TEST_F(TrayAnimation, IconIndexPastTheEndSelectsTheLastImage) {
  ShowLikeTheProgram();
  tray->SetIconList({TrayPicture::kMailFrame1, TrayPicture::kMailFrame2, TrayPicture::kNone});
  tray->SetIconIndex(7);
  EXPECT_EQ(tray->IconIndex(), 2);
  EXPECT_EQ(shell.ShownEntry().picture, TrayPicture::kNone);
  tray->SetIconIndex(-3);
  EXPECT_EQ(tray->IconIndex(), 0);
  EXPECT_EQ(shell.ShownEntry().picture, TrayPicture::kMailFrame1);
}

TEST_F(TrayAnimation, WithoutAnImageListNothingIsSelectedOrAnimated) {
  ShowLikeTheProgram();
  tray->SetCycleInterval(100);
  tray->SetCycleIcons(true);
  tray->SetIconIndex(3);
  loop.Advance(1000);
  EXPECT_TRUE(shell.Calls().empty());
  EXPECT_EQ(tray->Icon(), TrayPicture::kApplication);
}

TEST_F(TrayAnimation, CycleIntervalZeroDoesNotAnimate) {
  ShowLikeTheProgram();
  tray->SetIconList({TrayPicture::kMailFrame1, TrayPicture::kMailFrame2});
  tray->SetCycleIcons(true);  // interval still 0
  loop.Advance(10000);
  EXPECT_EQ(tray->IconIndex(), 0);
  EXPECT_EQ(loop.ActiveTimerCount(), 0u);
}

// ---- Balloons.

using TrayBalloons = TrayFixture;

TEST_F(TrayBalloons, RemovesAnyBalloonFirstThenShowsTheNewOne) {
  ShowLikeTheProgram();
  EXPECT_TRUE(tray->BalloonNotify("Account updated", "Account home updated!",
                                  BalloonIcon::kInformation, 15));
  ASSERT_EQ(shell.CallKinds(), (std::vector<Kind>{Kind::kRemoveBalloon, Kind::kShowBalloon}));
  EXPECT_EQ(shell.Calls()[1].balloon,
            (TrayBalloon{
                "Account updated", "Account home updated!", BalloonIcon::kInformation, 15000, {}}));
}

TEST_F(TrayBalloons, TitleIsCutTo63AndTextTo255) {
  ShowLikeTheProgram();
  const std::string title(70, 'T');
  const std::string text(300, 'x');
  EXPECT_TRUE(tray->BalloonNotify(title, text, BalloonIcon::kError, 15));
  const TrayBalloon& shown = shell.ShownBalloon();
  EXPECT_EQ(shown.title, std::string(63, 'T'));
  EXPECT_EQ(shown.text, std::string(255, 'x'));
  EXPECT_EQ(shown.icon, BalloonIcon::kError);
}

TEST_F(TrayBalloons, ResultIsTheSuccessOfTheShellCall) {
  ShowLikeTheProgram();
  shell.SetResult(Kind::kShowBalloon, false);
  EXPECT_FALSE(tray->BalloonNotify("t", "x", BalloonIcon::kInformation, 15));
  shell.SetResult(Kind::kShowBalloon, true);
  shell.SetResult(Kind::kRemoveBalloon, false);  // nothing to remove: still shown
  EXPECT_TRUE(tray->BalloonNotify("t", "x", BalloonIcon::kInformation, 15));
}

TEST_F(TrayBalloons, NoBalloonWhileTheIconIsHidden) {
  EXPECT_FALSE(tray->BalloonNotify("t", "x", BalloonIcon::kInformation, 15));
  EXPECT_TRUE(shell.Calls().empty());
}

TEST_F(TrayBalloons, UnknownIconKindShowsNoIconAndHugeTimeoutIsClamped) {
  ShowLikeTheProgram();
  EXPECT_TRUE(tray->BalloonNotify("t", "x", static_cast<BalloonIcon>(9), 5000000));
  EXPECT_EQ(shell.ShownBalloon().icon, BalloonIcon::kNone);
  EXPECT_EQ(shell.ShownBalloon().timeoutMs, 4294967295u);
}

// ---- Mouse actions.

struct TrayClicks : TrayFixture {
  int clicks = 0;
  int doubleClicks = 0;
  std::vector<std::string> events;
  TrayMenu menu;

  void SetUp() override {
    ShowLikeTheProgram();
    menu.items.push_back({"Restore", true, [this] { events.push_back("Restore"); }});
    menu.items.push_back({"Exit", false, [this] { events.push_back("Exit"); }});
    tray->SetPopupMenu(&menu);
    tray->OnClick = [this] {
      ++clicks;
      events.push_back("click");
    };
    tray->OnDblClick = [this] {
      ++doubleClicks;
      events.push_back("double click");
    };
    shell.SetDoubleClickTime(400);
  }
};

TEST_F(TrayClicks, SingleClickFiresOnClickOnceAfterTheDoubleClickTime) {
  shell.SimulateLeftClick();
  EXPECT_EQ(clicks, 0);
  loop.Advance(399);
  EXPECT_EQ(clicks, 0);
  loop.Advance(1);
  EXPECT_EQ(clicks, 1);
  loop.Advance(5000);
  EXPECT_EQ(clicks, 1);
  EXPECT_EQ(doubleClicks, 0);
  EXPECT_EQ(loop.ActiveTimerCount(), 0u);
}

TEST_F(TrayClicks, DoubleClickFiresOnDblClickOnceThenTheDefaultItemAndNoClick) {
  shell.SimulateLeftDoubleClick();
  loop.Advance(5000);
  EXPECT_EQ(events, (std::vector<std::string>{"double click", "Restore"}));
  EXPECT_EQ(clicks, 0);
}

TEST_F(TrayClicks, ThirdClickRightAfterADoubleClickIsNoSingleClick) {
  shell.SimulateLeftDoubleClick();
  loop.Advance(100);
  shell.SimulateLeftClick();
  loop.Advance(5000);
  EXPECT_EQ(events, (std::vector<std::string>{"double click", "Restore"}));
}

TEST_F(TrayClicks, ClickAfterADoubleClickIsAClickAgain) {
  shell.SimulateLeftDoubleClick();
  loop.Advance(400);
  events.clear();
  shell.SimulateLeftClick();
  loop.Advance(400);
  EXPECT_EQ(events, (std::vector<std::string>{"click"}));
}

TEST_F(TrayClicks, ButtonHeldPastTheDoubleClickTimeStillClicksOnRelease) {
  shell.SimulateMouse(TrayMouseAction::kLeftDown);
  loop.Advance(1000);  // the timer ran out while the button was down
  EXPECT_EQ(clicks, 0);
  shell.SimulateMouse(TrayMouseAction::kLeftUp);
  EXPECT_EQ(clicks, 1);
}

TEST_F(TrayClicks, WithoutOnDblClickAClickFiresAtOnceOnButtonUp) {
  tray->OnDblClick = nullptr;
  shell.SimulateMouse(TrayMouseAction::kLeftDown);
  EXPECT_EQ(clicks, 0);
  shell.SimulateMouse(TrayMouseAction::kLeftUp);
  EXPECT_EQ(clicks, 1);
  EXPECT_EQ(loop.StartedTimerCount(), 0u);
  loop.Advance(5000);
  EXPECT_EQ(clicks, 1);
}

TEST_F(TrayClicks, ButtonUpWithoutButtonDownIsNoClick) {
  shell.SimulateMouse(TrayMouseAction::kLeftUp);
  loop.Advance(1000);
  EXPECT_EQ(clicks, 0);
}

TEST_F(TrayClicks, DisabledIconIgnoresMouseActions) {
  tray->SetEnabled(false);
  shell.SimulateLeftClick();
  shell.SimulateLeftDoubleClick();
  shell.SimulateMouse(TrayMouseAction::kRightDown, {10, 20});
  loop.Advance(5000);
  EXPECT_TRUE(events.empty());
  EXPECT_TRUE(shell.Calls().empty());
}

TEST_F(TrayClicks, RightClickShowsTheMenuAtTheMousePositionAfterForeground) {
  shell.SimulateMouse(TrayMouseAction::kRightDown, {1200, 780});
  ASSERT_EQ(shell.CallKinds(), (std::vector<Kind>{Kind::kBringToForeground, Kind::kShowPopupMenu}));
  const TrayShellCall& shown = shell.Calls()[1];
  EXPECT_EQ(shown.position, (TrayPoint{1200, 780}));
  EXPECT_EQ(shown.menuItems,
            (std::vector<TrayMenuItemSnapshot>{{"Restore", true}, {"Exit", false}}));
  EXPECT_TRUE(events.empty());  // nothing is picked by showing the menu
  EXPECT_TRUE(shell.PickMenuItem(1));
  EXPECT_EQ(events, (std::vector<std::string>{"Exit"}));
}

TEST_F(TrayClicks, RightClickWithoutMenuDoesNothing) {
  tray->SetPopupMenu(nullptr);
  shell.SimulateMouse(TrayMouseAction::kRightDown, {1, 1});
  EXPECT_TRUE(shell.Calls().empty());
}

TEST_F(TrayClicks, DoubleClickDoesNotClickTheDefaultItemWhenTheMenuDoesNotPopUpAutomatically) {
  menu.autoPopup = false;
  shell.SimulateLeftDoubleClick();
  loop.Advance(1000);
  EXPECT_EQ(events, (std::vector<std::string>{"double click"}));
}

TEST_F(TrayClicks, MenuItemMayDestroyTheTrayIcon) {
  menu.items[1].OnClick = [this] { tray.reset(); };  // "Exit"
  shell.SimulateMouse(TrayMouseAction::kRightDown, {0, 0});
  EXPECT_TRUE(shell.PickMenuItem(1));
  EXPECT_EQ(tray, nullptr);
  EXPECT_FALSE(shell.IconShown());
}

TEST_F(TrayClicks, OnDblClickMayDestroyTheTrayIcon) {
  tray->OnDblClick = [this] { tray.reset(); };
  shell.SimulateLeftDoubleClick();
  loop.Advance(1000);
  EXPECT_EQ(tray, nullptr);
  EXPECT_TRUE(events.empty());  // the default item is not clicked for a gone icon
}

TEST_F(TrayClicks, OnClickMayDestroyTheTrayIcon) {
  tray->OnClick = [this] { tray.reset(); };
  shell.SimulateLeftClick();
  loop.Advance(1000);
  EXPECT_EQ(tray, nullptr);
  EXPECT_EQ(loop.ActiveTimerCount(), 0u);
}

// ---- Hiding in the tray and coming back.

using TrayMinimize = TrayFixture;

TEST_F(TrayMinimize, HideToTrayHidesWindowAndTaskbarButton) {
  tray->HideToTray();
  EXPECT_EQ(window.calls, (std::vector<std::string>{"hide", "hide button"}));
  window.calls.clear();
  tray->HideToTray();  // the button is already hidden
  EXPECT_EQ(window.calls, (std::vector<std::string>{"hide"}));
}

TEST_F(TrayMinimize, RestoreFromTrayBringsEverythingBack) {
  tray->HideToTray();
  window.minimized = true;
  window.calls.clear();
  tray->RestoreFromTray();
  EXPECT_EQ(window.calls,
            (std::vector<std::string>{"show button", "normal", "show", "foreground"}));
  EXPECT_TRUE(window.shown);
  EXPECT_FALSE(window.minimized);
}

TEST_F(TrayMinimize, RestoreFromTrayOfANormalWindowDoesNotTouchItsState) {
  tray->RestoreFromTray();
  EXPECT_EQ(window.calls, (std::vector<std::string>{"show button", "show", "foreground"}));
}

TEST_F(TrayMinimize, MinimizeWithOnMinimizeToTrayFiresItAndHidesToTray) {
  tray->SetMinimizeToTray(true);
  bool inTray = false;
  tray->OnMinimizeToTray = [&] {
    inTray = true;
    window.calls.push_back("event");
  };
  EXPECT_TRUE(tray->MainWindowMinimizing());
  EXPECT_TRUE(inTray);
  EXPECT_EQ(window.calls, (std::vector<std::string>{"event", "hide", "hide button"}));
  EXPECT_TRUE(tray->IconVisible());
  EXPECT_TRUE(shell.IconShown());
}

TEST_F(TrayMinimize, MinimizeWithoutOnMinimizeToTrayIsLeftToTheWindow) {
  tray->SetMinimizeToTray(true);
  EXPECT_FALSE(tray->MainWindowMinimizing());
  EXPECT_TRUE(window.calls.empty());
  EXPECT_FALSE(tray->IconVisible());
}

TEST_F(TrayMinimize, NothingHappensWhileMinimizeToTrayIsOff) {
  bool fired = false;
  tray->OnMinimizeToTray = [&] { fired = true; };
  EXPECT_FALSE(tray->MainWindowMinimizing());
  EXPECT_FALSE(tray->ApplicationMinimized());
  EXPECT_FALSE(fired);
  EXPECT_TRUE(window.calls.empty());
}

TEST_F(TrayMinimize, ApplicationMinimizedHidesToTrayWithoutTheEvent) {
  tray->SetMinimizeToTray(true);
  bool fired = false;
  tray->OnMinimizeToTray = [&] { fired = true; };
  EXPECT_TRUE(tray->ApplicationMinimized());
  EXPECT_FALSE(fired);
  EXPECT_EQ(window.calls, (std::vector<std::string>{"hide", "hide button"}));
  EXPECT_TRUE(tray->IconVisible());
}

TEST_F(TrayMinimize, MinimizeKeepsAnAlreadyVisibleIconAsItIs) {
  ShowLikeTheProgram();
  tray->OnMinimizeToTray = [] {};
  EXPECT_TRUE(tray->MainWindowMinimizing());
  EXPECT_TRUE(shell.Calls().empty());  // not added a second time
}

TEST_F(TrayMinimize, WindowShownAndRestoreCommand) {
  tray->MainWindowShown();
  tray->ApplicationRestoreCommand();
  EXPECT_EQ(window.calls, (std::vector<std::string>{"foreground", "show"}));
}

}  // namespace
}  // namespace corvel
