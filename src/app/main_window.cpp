#include "app/main_window.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <ctime>
#include <limits>
#include <utility>

#include "accounts/account_form.h"
#include "accounts/file_io.h"
#include "app/text/error_text.h"
#include "app/version.h"
#include "codec/exception.h"
#include "net/tick_count.h"

namespace corvel {

namespace {

// The longest wait a timer takes on every platform (about 24.8 days); the
// check timer is set again when it expires with nothing due.
constexpr std::uint64_t kLongestWaitMs = 0x7FFFFFFF;

std::uint64_t SteadyMilliseconds() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

struct ColumnSetting {
  std::string_view name;
  int defaultWidth;
};
constexpr std::array<ColumnSetting, 6> kColumns = {{{"AccountWidth", 70},
                                                    {"FromWidth", 60},
                                                    {"SubjectWidth", 100},
                                                    {"DateWidth", 50},
                                                    {"BytesWidth", 50},
                                                    {"UIDLWidth", 50}}};

// The option boxes of the "Settings" tab and their values in the program key.
struct OptionBox {
  std::string_view name;
  Control box;
};
constexpr std::array<OptionBox, 4> kOptionBoxes = {{
    {"ConnErr", Control::ConnErrChkBx},
    {"Balloon", Control::BalloonChkBx},
    {"AllMail", Control::AllMailChkBx},
    {"Log", Control::LogChkBx},
}};

// The conversion of a stored number that must be one.
std::int32_t StrToInt(std::string_view text) {
  if (auto value = ParseWholeNumber(text)) return *value;
  throw ConvertException("'" + std::string(text) + "' is not a valid integer value");
}

std::string ToUpperAscii(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper;
}

}  // namespace

std::string AboutText() {
  std::string text;
  for (int i = 0; i < 7; ++i) text += "\r\n";
  text += "Corvel! v0.6\r\n";
  text += "Version " + VersionText() + "\r\n";
  text += "Written by the Corvel developers\r\n";
  text += "2026\r\n";
  text += "\r\n";
  text += "Questions and bug reports:\r\n";
  text += "through the project's issue tracker\r\n";
  text += "\r\n";
  text += "Tray and mail icons drawn\r\n";
  text += "for Corvel by its developers\r\n";
  for (int i = 0; i < 5; ++i) text += "\r\n";
  text += "For everyone who waits for a letter.";
  return text;
}

MainWindow::MainWindow(EventLoop& loop, MainView& view, TrayShell& shell, SettingsStore& settings,
                       const LocaleFormat& localeFormat, MainWindowOptions options)
    : loop_(loop),
      view_(view),
      shell_(shell),
      settings_(settings),
      localeFormat_(localeFormat),
      options_(std::move(options)),
      pop3_(loop),
      imap_(loop),
      imapSession_(imap_),
      checker_(table_, pop3_, seenList_, mailList_, flags_, *this),
      scheduler_(
          table_, *this, [this](std::size_t index) { return checker_.CheckAccount(index); },
          options_.monotonicClock ? options_.monotonicClock : SteadyMilliseconds),
      outages_(*this),
      newMailCommand_(loop),
      mailProgram_(loop),
      secrets_(options_.accountsFile, &loop, options_.tokenCommandTimeoutMs),
      push_(loop) {
  checker_.SetSecretSource(&secrets_);
  if (options_.keyring) secrets_.UseKeyring(options_.keyring);
  if (!options_.clock) options_.clock = CurrentLocalTime;
  if (!options_.tickCount) options_.tickCount = [] { return corvel::TickCount(); };
  view_.SetApplicationTitle(kProgramTitle);

  // The client as the form designs it.
  pop3_.SetTimeout(options_.pop3Timeout);
  pop3_.SetPort("pop3");
  pop3_.SetLocalAddr("0.0.0.0");
  pop3_.SetAuthType(Pop3AuthType::popAuthNone);
  pop3_.SetMultiThreaded(false);
  pop3_.OnDisplay = [this](const std::string& msg) { POP3Display(msg); };
  imap_.SetTimeout(options_.pop3Timeout);
  imap_.OnDisplay = [this](const std::string& msg) { POP3Display(msg); };
  checker_.SetSessionChooser([this](const AccountRecord& record) -> MailboxSession* {
    const ProtocolOptions protocol =
        ProtocolOptionsOf(CachedAccountOptions().Find(record.PlainUidlFileName()));
    if (protocol.protocol != MailProtocol::imap) return nullptr;
    imapSession_.SetFolders(protocol.folders);
    return &imapSession_;
  });
  newMailCommand_.OnFailure = [this](std::string_view account, std::string_view text) {
    WriteLog(account, text);
  };
  mailProgram_.OnFailure = [this](std::string_view text) { WriteLog("", text); };
  push_.OnNewMail = [this](const std::string& account) {
    std::weak_ptr<int> token = alive_;
    loop_.Post([this, token, account] {
      if (!token.expired()) PushCheck(account);
    });
  };
  push_.OnLog = [this](const std::string& account, std::string_view message) {
    WriteLog(account, message);
  };
  push_.OnSecret = [this](const std::string& account,
                          std::string& why) -> std::optional<std::string> {
    const AccountRecord* record = RecordOf(account);
    if (record == nullptr) {
      why = "the account is gone";
      return std::nullopt;
    }
    LoginSecret secret = secrets_.LoginSecretOf(*record);
    if (!secret.ok) {
      why = secret.reason;
      return std::nullopt;
    }
    return std::move(secret.secret);
  };
  push_.OnLoginRefused = [this](const std::string& account) {
    if (const AccountRecord* record = RecordOf(account)) secrets_.LoginRefused(*record);
  };

  // The tray's pop-up menu: "Restore" (the default item) and "Exit", and
  // between them what acts on new mail.
  popUp_.OnOpening = [this] { BuildPopupMenu(); };
  BuildPopupMenu();
}

MainWindow::~MainWindow() {
  bus_.reset();
  if (dndTimer_ != 0) loop_.StopTimer(dndTimer_);
  alive_.reset();
  if (systemEvents_ != nullptr) {
    systemEvents_->OnResume = nullptr;
    systemEvents_->OnNetworkChanged = nullptr;
  }
  ownSystemEvents_.reset();
  push_.StopAll();
  if (checkTimer_ != 0) loop_.StopTimer(checkTimer_);
  checkTimer_ = 0;
  tray_.reset();
}

void MainWindow::Guarded(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const std::exception& e) {
    view_.ShowError(DescribeError(e));
  }
}

// ---------------------------------------------------------------- start-up

void MainWindow::FormCreate() {
  Guarded([this] {
    if (options_.longRunning && !folderLock_) {
      folderLock_ = TryLockFolder(options_.accountsFile.parent_path());
      if (!folderLock_) {
        view_.ShowError(kAlreadyRunningMessage);
        loop_.Terminate();
        return;
      }
      // Accounts changed by `corvel accounts ...` are looked at at once, not
      // when the next account is due.
      accountsWatch_ = WatchFile(loop_, options_.accountsFile, [this] { TickSoon(); });
    }
    if (systemEvents_ == nullptr) {
      systemEvents_ = options_.systemEvents;
      if (systemEvents_ == nullptr && options_.longRunning) {
        ownSystemEvents_ = WatchSystemEvents(loop_);
        systemEvents_ = ownSystemEvents_.get();
      }
      if (systemEvents_ != nullptr) {
        systemEvents_->OnResume = [this] { Guarded([this] { SystemResumed(); }); };
        systemEvents_->OnNetworkChanged = [this] { Guarded([this] { NetworkChanged(); }); };
      }
    }
    flags_.FirstPaint = true;
    flags_.WindowInTray = false;
    flags_.NewMailPending = false;
    seenList_.Clear();
    view_.SetCaption(kProgramCaption);
    // The locale format record is the one the front-end handed over.
    view_.SetText(Control::lblNOTE, "");
    view_.SetText(Control::lblAbout, AboutText());
    CreateTray();
    RestoreSettings();

    tray_->SetHint(std::string(kProgramCaption));
    tray_->SetMinimizeToTray(true);
    tray_->OnDblClick = [this] { TrayDblClick(); };
    tray_->OnClick = [this] { TrayClick(); };
    tray_->OnMinimizeToTray = [this] { OnMinTray(); };
    tray_->OnBalloonClick = [this] { BalloonClick(); };
    tray_->OnBalloonAction = [this](const std::string& action) {
      if (action == kOpenMailProgramCaption) OpenMailProgramClick();
      if (action == kMarkAsSeenCaption) MarkAsSeenClick();
    };
    tray_->SetPopupMenu(&popUp_);
    tray_->SetIconVisible(true);
    tray_->SetIcon(TrayPicture::kApplication);

    LoadAccountTable();
    if (options_.longRunning && options_.exportBus) {
      std::string why;
      bus_ = ExportProgramBus(
          loop_, *this, std::filesystem::absolute(options_.accountsFile).parent_path(),
          [this](std::string_view message) { WriteLog("", message); }, why);
    }
    started_ = true;
    // The settings are read now: the menu offers the mail program when one
    // is set.
    BuildPopupMenu();
    WriteLog("", "Corvel! v0.6 started...");
  });
}

void MainWindow::CreateTray() { tray_ = std::make_unique<TrayIcon>(loop_, shell_, view_); }

void MainWindow::DestroyTray() { tray_.reset(); }

void MainWindow::RestoreSettings() {
  settings_.Open();
  const std::string height = settings_.ReadString(kProgramKey, "H", "");
  const std::string width = settings_.ReadString(kProgramKey, "W", "");
  const std::string top = settings_.ReadString(kProgramKey, "Top", "");
  const std::string left = settings_.ReadString(kProgramKey, "Left", "");
  if (!height.empty() && !width.empty() && !top.empty() && !left.empty()) {
    view_.SetHeight(StrToInt(height));
    view_.SetWidth(StrToInt(width));
    view_.SetTop(StrToInt(top));
    view_.SetLeft(StrToInt(left));
  }

  if (!settings_.ReadString(kRunKey, kRunValueName, "").empty()) {
    SetBox(Control::StartupChkBx, true);
  }

  // The boxes show what is stored; nothing is written back (another process
  // may be changing the same values right now).
  for (std::size_t i = 0; i < kOptionBoxes.size(); ++i) {
    storedBoxes_[i] = settings_.ReadString(kProgramKey, kOptionBoxes[i].name, "False") == "True";
    view_.SetChecked(kOptionBoxes[i].box, storedBoxes_[i]);
  }

  for (std::size_t column = 0; column < kColumns.size(); ++column) {
    view_.SetColumnWidth(
        static_cast<int>(column),
        settings_.ReadInteger(kProgramKey, kColumns[column].name, kColumns[column].defaultWidth));
  }
}

void MainWindow::LoadAccountTable() {
  checker_.TableReloaded();
  if (LoadAccounts(table_, options_.accountsFile) || options_.longRunning) {
    SetCheckTimerEnabled(true);
  }
  UpdatePush();
}

const AccountOptionsFile& MainWindow::CachedAccountOptions() {
  const std::filesystem::path file = AccountOptionsFileFor(options_.accountsFile);
  const FileStamp stamp = StampOf(file);
  if (!optionsCache_ || stamp != optionsStamp_) {
    optionsCache_ = LoadAccountOptions(file);
    optionsStamp_ = stamp;
  }
  return *optionsCache_;
}

const AccountRecord* MainWindow::RecordOf(const std::string& account) const {
  for (std::size_t i = 0; i < table_.Count(); ++i) {
    if (table_[i].PlainUidlFileName() == account) return &table_[i];
  }
  return nullptr;
}

void MainWindow::UpdatePush() {
  if (!options_.longRunning) return;
  if (exiting_ || EditorOpen()) {
    push_.StopAll();
    return;
  }
  try {
    push_.Update(table_, CachedAccountOptions(), options_.pop3Timeout);
  } catch (const InOutException& e) {
    // The watchers stay as they are; the next tick reads the file again.
    ShowErrorOnce(accountsFailureShown_, e.what());
  }
  // News told while the account could not be checked.
  for (const std::string& account : std::exchange(pendingPush_, {})) {
    push_.OnNewMail(account);
  }
}

void MainWindow::PushCheck(const std::string& account) {
  if (exiting_) return;
  if (EditorOpen()) {
    pendingPush_.insert(account);
    return;
  }
  // Through the check timer, so the check takes its turn with the others and
  // never runs inside one.
  for (std::size_t i = 0; i < table_.Count(); ++i) {
    if (table_[i].PlainUidlFileName() != account || !table_[i].IsEnabled()) continue;
    CheckAccountNow(i);
    return;
  }
}

void MainWindow::FormPaint() {
  Guarded([this] {
    if (!flags_.FirstPaint) return;
    flags_.FirstPaint = false;
    for (const std::string& argument : options_.arguments) {
      if (ToUpperAscii(argument) == kMinimizeSwitch) MinimizeApplication();
    }
  });
}

bool MainWindow::FormClose() {
  Guarded([this] {
    if (tray_ && !tray_->TrayAvailable()) {
      // Hidden without a tray the window could not be found again: closing
      // it means ending the program, or keeping it in the task bar. The
      // question says why.
      const bool exit = view_.ConfirmYesNo(kExitWithoutTrayQuestion);
      TellNoTrayOnce(false);
      if (exit) {
        Exit1Click();
        return;
      }
    }
    MinimizeApplication();
  });
  return exited_;
}

bool MainWindow::MinimizeClicked() {
  bool toTray = false;
  Guarded([&] {
    toTray = tray_ && tray_->MainWindowMinimizing();
    if (!toTray && tray_ && !tray_->TrayAvailable()) TellNoTrayOnce(true);
  });
  return toTray;
}

void MainWindow::MinimizeApplication() {
  // Minimising the application hides the main window, which the tray icon
  // turns into hiding it in the tray; without the tray the window simply
  // minimises.
  if (tray_ && (tray_->MainWindowMinimizing() || tray_->ApplicationMinimized())) return;
  if (tray_ && !tray_->TrayAvailable()) TellNoTrayOnce(true);
  view_.Minimize();
}

void MainWindow::TellNoTrayOnce(bool showIt) {
  if (noTrayTold_) return;
  noTrayTold_ = true;
  WriteLog("", kNoTrayMessage);
  if (!showIt) return;
  // A notification where a notification server runs; a box otherwise, as
  // the user would otherwise look for the icon in vain.
  if (!tray_->BalloonNotify(kProgramTitle, kNoTrayMessage, BalloonIcon::kInformation, 15)) {
    view_.ShowInformation(kNoTrayMessage);
  }
}

// ---------------------------------------------------------------- tray

void MainWindow::OnMinTray() { flags_.WindowInTray = true; }

void MainWindow::TrayClick() {
  Guarded([this] {
    if (!shell_.ReportsDoubleClicks()) {
      // A tray without double clicks (StatusNotifier) sends one activation
      // for a click and for a double click alike, and draws the menu itself:
      // the activation is the way back to the window, as a double click is.
      RestoreFromTrayHandler(true);
      return;
    }
    if (!flags_.NewMailPending) return;
    flags_.WindowInTray = false;
    view_.SelectTab(MainTab::NewMail);
    if (tray_) tray_->RestoreFromTray();
    NewsLookedAt();
  });
}

void MainWindow::TrayDblClick() {
  Guarded([this] { RestoreFromTrayHandler(false); });
}

void MainWindow::Restore1Click() {
  Guarded([this] { RestoreFromTrayHandler(false); });
}

void MainWindow::RestoreFromTrayHandler(bool /*singleClick*/) {
  flags_.WindowInTray = false;
  if (flags_.NewMailPending) {
    view_.SelectTab(MainTab::NewMail);
    if (tray_) tray_->RestoreFromTray();
    NewsLookedAt();
  } else if (tray_) {
    tray_->RestoreFromTray();
  }
}

void MainWindow::NewsLookedAt() {
  SetMailAnimation(false);
  flags_.NewMailPending = false;
  for (auto& [name, state] : trayStates_) state.pendingMails = state.pendingBytes = 0;
  UpdateTrayHint();
}

void MainWindow::BalloonClick() {
  Guarded([this] {
    if (!tray_) return;
    flags_.WindowInTray = false;
    if (balloonTab_) view_.SelectTab(*balloonTab_);
    tray_->RestoreFromTray();
    if (balloonTab_ == MainTab::NewMail && flags_.NewMailPending) NewsLookedAt();
  });
}

std::string MainWindow::TrayHintText() const {
  std::string text;
  for (std::size_t i = 0; i < table_.Count(); ++i) {
    const std::string name = table_[i].PlainAccountName();
    const auto found = trayStates_.find(name);
    if (found == trayStates_.end()) continue;
    const AccountTrayState& state = found->second;
    std::string about;
    if (state.pendingMails > 0) {
      about = state.pendingMails == 1 ? "1 new mail"
                                      : std::to_string(state.pendingMails) + " new mails";
    }
    if (!state.failure.empty()) about += (about.empty() ? "" : ", ") + state.failure;
    if (about.empty()) continue;
    text += (text.empty() ? "" : "; ") + name + ": " + about;
  }
  if (DoNotDisturb())
    text = "Do not disturb until " + dndUntil_ + (text.empty() ? "" : "; " + text);
  return text.empty() ? std::string(kProgramCaption) : text;
}

void MainWindow::UpdateTrayHint() {
  if (tray_) tray_->SetHint(TrayHintText());
}

void MainWindow::Exit1Click() {
  Guarded([this] {
    if (exiting_) return;
    // The editor writes straight into the accounts file; closing it first
    // reloads the table from the file, so the save below keeps what the
    // editor wrote.
    if (EditorOpen()) CloseEditor();
    SaveLoadedTable(true);
    exiting_ = true;
    push_.StopAll();
    SetCheckTimerEnabled(false);
    DestroyTray();
    try {
      // A start-up that stopped half-way may have stopped at a stored value
      // it could not read: what it did not restore is not saved either.
      if (started_) SaveWindowSettings();
      settings_.Close();
    } catch (const std::exception& e) {
      // The accounts are saved and the icon is gone: tell the user what
      // could not be stored, and end all the same.
      view_.ShowError(DescribeError(e));
    }
    exited_ = true;
    loop_.Terminate();
  });
}

void MainWindow::SaveWindowSettings() {
  const WindowBounds bounds = view_.Bounds();
  settings_.WriteString(kProgramKey, "H", std::to_string(bounds.height));
  settings_.WriteString(kProgramKey, "W", std::to_string(bounds.width));
  settings_.WriteString(kProgramKey, "Top", std::to_string(bounds.top));
  settings_.WriteString(kProgramKey, "Left", std::to_string(bounds.left));
  for (std::size_t column = 0; column < kColumns.size(); ++column) {
    settings_.WriteInteger(kProgramKey, kColumns[column].name,
                           view_.ColumnWidth(static_cast<int>(column)));
  }
}

void MainWindow::SetMailAnimation(bool on) {
  // Once exit has begun the tray component is gone; a check still finishing
  // must not reach for it.
  if (!tray_) return;
  if (on && !DoNotDisturb()) {
    tray_->SetIconList({TrayPicture::kMailFrame1, TrayPicture::kMailFrame2});
    tray_->SetCycleInterval(500);
    tray_->SetCycleIcons(true);
  } else {
    tray_->SetCycleIcons(false);
    tray_->SetIcon(DoNotDisturb() ? TrayPicture::kDoNotDisturb : TrayPicture::kApplication);
  }
}

void MainWindow::BalloonNotify(std::string_view title, std::string_view text, int iconKind,
                               int timeoutSeconds) {
  if (!tray_ || DoNotDisturb()) return;
  constexpr std::string_view kNewMailOn = "New mail on ";
  if (holdingBalloons_ && iconKind == kBalloonInfo && title.starts_with(kNewMailOn)) {
    // Told with the others when the round after the resume has ended.
    heldBalloons_.push_back(HeldBalloon{std::string(title.substr(kNewMailOn.size())),
                                        std::string(title), std::string(text), 0});
    return;
  }
  std::vector<std::string> actions;
  if (iconKind == kBalloonError) {
    balloonTab_ = MainTab::Log;
  } else if (title.starts_with("New mail")) {
    balloonTab_ = MainTab::NewMail;
    if (!MailProgramLine().empty()) actions.emplace_back(kOpenMailProgramCaption);
    actions.emplace_back(kMarkAsSeenCaption);
  } else {
    balloonTab_.reset();
  }
  (void)tray_->BalloonNotify(title, text, static_cast<BalloonIcon>(iconKind),
                             static_cast<std::uint32_t>(std::max(timeoutSeconds, 0)),
                             std::move(actions));
}

// ---------------------------------------------------------------- settings boxes

void MainWindow::SetBox(Control box, bool checked) {
  if (view_.Checked(box) == checked) return;
  view_.SetChecked(box, checked);
  RunBoxHandler(box);
}

void MainWindow::RunBoxHandler(Control box) {
  switch (box) {
    case Control::StartupChkBx:
      StartupChkBxClick();
      break;
    case Control::ConnErrChkBx:
      ConnErrChkBxClick();
      break;
    case Control::BalloonChkBx:
      BalloonChkBxClick();
      break;
    case Control::AllMailChkBx:
      AllMailChkBxClick();
      break;
    case Control::LogChkBx:
      LogChkBxClick();
      break;
    default:
      break;
  }
}

void MainWindow::CheckBoxClicked(Control box) {
  Guarded([&] { RunBoxHandler(box); });
}

void MainWindow::WriteSetting(std::string_view key, std::string_view name, std::string_view text) {
  try {
    settings_.WriteString(key, name, text);
  } catch (const SettingsException& e) {
    bool held = false;
    try {
      held = settings_.ReadString(key, name, "") == text;
    } catch (const std::exception&) {
    }
    if (!held) throw;
    ShowErrorOnce(settingsFailureShown_, e.what());
  }
}

void MainWindow::StartupChkBxClick() {
  // A one-shot command is not the program that starts at logon: the entry
  // keeps pointing at whatever program wrote it.
  if (options_.oneShot) return;
  if (view_.Checked(Control::StartupChkBx)) {
    WriteSetting(kRunKey, kRunValueName, options_.programPath + " --MINIMIZE");
  } else {
    settings_.DeleteValue(kRunKey, kRunValueName);
  }
}

void MainWindow::ConnErrChkBxClick() {
  WriteSetting(kProgramKey, "ConnErr", view_.Checked(Control::ConnErrChkBx) ? "True" : "False");
}

void MainWindow::BalloonChkBxClick() {
  WriteSetting(kProgramKey, "Balloon", view_.Checked(Control::BalloonChkBx) ? "True" : "False");
}

void MainWindow::LogChkBxClick() {
  WriteSetting(kProgramKey, "Log", view_.Checked(Control::LogChkBx) ? "True" : "False");
}

void MainWindow::AllMailChkBxClick() {
  WriteSetting(kProgramKey, "AllMail", view_.Checked(Control::AllMailChkBx) ? "True" : "False");
  AllMailChanged();
}

void MainWindow::AllMailChanged() {
  // The list's rows change their kind with this box.
  mailList_.Clear();
  flags_.NewMailPending = false;
  for (auto& [name, state] : trayStates_) state.pendingMails = state.pendingBytes = 0;
  UpdateTrayHint();
}

void MainWindow::TakeInChangedSettings() {
  try {
    settings_.Refresh();
    for (std::size_t i = 0; i < kOptionBoxes.size(); ++i) {
      const bool stored =
          settings_.ReadString(kProgramKey, kOptionBoxes[i].name, "False") == "True";
      // Only a value that changed in the store moves the box: a click whose
      // write failed is not undone here.
      if (stored == storedBoxes_[i]) continue;
      storedBoxes_[i] = stored;
      if (view_.Checked(kOptionBoxes[i].box) == stored) continue;
      view_.SetChecked(kOptionBoxes[i].box, stored);
      if (kOptionBoxes[i].box == Control::AllMailChkBx) AllMailChanged();
    }
  } catch (const std::exception&) {
    // A value the store cannot read is no reason to stop checking; the boxes
    // stay as they are.
  }
}

// ---------------------------------------------------------------- check cycle

void MainWindow::TimerTimer() {
  // A tick never runs inside another: the blocking calls of a check keep the
  // loop running, and one client serves every check. While the editor is
  // open a tick does nothing at all.
  if (tickRunning_ || EditorOpen()) return;
  tickRunning_ = true;
  // The timer rests during the tick; the tick ends by setting it again, unless
  // the editor was opened meanwhile or a check raised an error.
  if (checkTimer_ != 0) loop_.StopTimer(checkTimer_);
  checkTimer_ = 0;
  timerRestartPending_ = !exiting_;
  scheduler_.StartCounting();
  bool ended = false;
  Guarded([&] {
    // What `corvel settings set` (or another program) changed holds from this
    // tick on: the boxes, and the values a check reads (OnNewMail,
    // FastListing, CheckDeadline).
    TakeInChangedSettings();
    ReloadIfChangedElsewhere();
    // A resume the system did not announce shows in its clocks.
    if (systemEvents_ != nullptr) systemEvents_->LookAgain();
    scheduler_.TimerTimer();
    if (holdingBalloons_ && !scheduler_.RoundActive()) ShowHeldBalloons();
    if (!EditorOpen() && !exiting_) StoreOwnChanges();
    ended = true;
  });
  tickRunning_ = false;
  if (!ended) timerRestartPending_ = false;
  SetCheckTimerEnabled(std::exchange(timerRestartPending_, false));
  UpdatePush();
}

void MainWindow::CheckAccountNow(std::size_t index) {
  scheduler_.CheckSoon(index);
  TickSoon();
}

// ---------------------------------------------------------------- sleep and network

bool MainWindow::NetworkUsable() const {
  return systemEvents_ == nullptr || systemEvents_->NetworkUsable();
}

void MainWindow::SystemResumed() {
  // Told twice (logind and the clocks) or again while its round runs: the
  // round under way checks every account already.
  if (exiting_ || (holdingBalloons_ && scheduler_.RoundActive())) return;
  Guarded([this] {
    WriteLog("", "Woke from sleep: every account is checked once.");
    holdingBalloons_ = true;
    scheduler_.StartRound(!NetworkUsable());
    ConnectivityChanged(ConnectivityChange::kResumed);
    TickSoon();
  });
}

void MainWindow::NetworkChanged() {
  if (exiting_) return;
  ConnectivityChanged(ConnectivityChange::kNetworkChanged);
  if (!NetworkUsable()) return;
  scheduler_.NetworkUsable();
  // What failed without the network is looked at now, not an interval later.
  std::vector<std::size_t> failing;
  for (const std::string& account : outages_.FailingAccounts()) {
    for (std::size_t i = 0; i < table_.Count(); ++i) {
      if (table_[i].PlainAccountName() == account) failing.push_back(i);
    }
  }
  scheduler_.AddToRound(failing, false);
  TickSoon();
}

void MainWindow::ConnectivityChanged(ConnectivityChange change) {
  // The connections held open were made on the network as it was; after a
  // sleep they are usually dead without the server having said so.
  if (options_.longRunning && !exiting_ && !EditorOpen()) {
    push_.StopAll();
    UpdatePush();
  }
  // A listener may add or remove listeners.
  const auto listeners = connectivityListeners_;
  for (const auto& [id, listener] : listeners) {
    if (listener) listener(change);
  }
}

std::size_t MainWindow::AddConnectivityListener(ConnectivityListener listener) {
  const std::size_t id = nextListenerId_++;
  connectivityListeners_.emplace_back(id, std::move(listener));
  return id;
}

void MainWindow::RemoveConnectivityListener(std::size_t id) {
  std::erase_if(connectivityListeners_, [id](const auto& entry) { return entry.first == id; });
}

void MainWindow::ShowHeldBalloons() {
  holdingBalloons_ = false;
  std::vector<HeldBalloon> held = std::exchange(heldBalloons_, {});
  if (held.empty()) return;
  if (held.size() == 1) {
    BalloonNotify(held[0].title, held[0].text, kBalloonInfo, 15);
    return;
  }
  // One balloon naming every account with news, each once.
  std::vector<std::string> names;
  std::int64_t total = 0;
  for (const HeldBalloon& balloon : held) {
    total += balloon.newCount;
    if (std::find(names.begin(), names.end(), balloon.account) == names.end()) {
      names.push_back(balloon.account);
    }
  }
  std::string title = "New mail on ";
  for (std::size_t i = 0; i < names.size(); ++i) title += (i == 0 ? "" : ", ") + names[i];
  BalloonNotify(title, std::to_string(total) + (total == 1 ? " new mail" : " new mails"),
                kBalloonInfo, 15);
}

void MainWindow::TickSoon() {
  tickSoon_ = true;
  if (checkTimer_ != 0) ArmCheckTimer();
}

void MainWindow::ReloadIfChangedElsewhere() {
  try {
    if (!AccountsFileChanged(table_, options_.accountsFile)) return;
    checker_.TableReloaded();
    (void)ReloadAccounts(table_, options_.accountsFile);
  } catch (const InOutException& e) {
    // The table checks on as it is; the file is read again at the next tick.
    ShowErrorOnce(accountsFailureShown_, e.what());
  }
}

void MainWindow::StoreOwnChanges() {
  if (!HasOwnChanges(table_)) return;
  try {
    SaveLoadedTable(false);
  } catch (const InOutException& e) {
    // What was found stays in the table and reaches the file at exit.
    ShowErrorOnce(accountsFailureShown_, e.what());
  }
}

void MainWindow::ShowErrorOnce(bool& shown, std::string_view text) {
  if (shown) return;
  shown = true;
  WriteLog("", text);
  view_.ShowError(text);
}

std::vector<CheckReport> MainWindow::CheckAllNow() {
  // The blocking calls keep the loop running: no tick may start a second
  // check on the same client meanwhile.
  SetCheckTimerEnabled(false);
  std::vector<CheckReport> reports;
  for (std::size_t i = 0; i < table_.Count(); ++i) {
    if (!table_[i].IsEnabled()) continue;
    ClearProtocolTrace();
    CheckOutcome outcome = checker_.CheckAccount(i);
    if (outcome == CheckOutcome::MethodDiscovered && !loop_.Terminated()) {
      ClearProtocolTrace();
      outcome = checker_.CheckAccount(i);
    }
    reports.push_back(checker_.LastReport());
    if (loop_.Terminated()) break;
  }
  return reports;
}

void MainWindow::CheckEnding(const CheckReport& report) {
  outages_.CheckEnding(report,
                       lastLogAccount_ == report.account && lastLogMessage_ == report.reason);
}

namespace {

// A failed check in a few words, for the tooltip.
std::string_view FailureWords(CheckOutcome outcome) {
  switch (outcome) {
    case CheckOutcome::ConnectFailed:
    case CheckOutcome::ReconnectFailed:
      return "cannot connect";
    case CheckOutcome::TlsFailed:
      return "TLS failed";
    case CheckOutcome::LoginFailed:
    case CheckOutcome::NoMethodFound:
      return "login refused";
    case CheckOutcome::NotAttempted:
      return "not checked";
    case CheckOutcome::EndedEarly:
      return "check incomplete";
    case CheckOutcome::MethodDiscovered:
    case CheckOutcome::Checked:
      break;
  }
  return {};
}

}  // namespace

void MainWindow::CheckFinished(const CheckReport& report) {
  if (holdingBalloons_ && report.newCount > 0 && !heldBalloons_.empty() &&
      heldBalloons_.back().account == report.account && heldBalloons_.back().newCount == 0) {
    heldBalloons_.back().newCount = report.newCount;
  }
  AccountTrayState& state = trayStates_[report.account];
  if (report.newCount > 0 && flags_.NewMailPending) {
    state.pendingMails += report.newCount;
    state.pendingBytes += report.newBytes;
  }
  state.failure = std::string(FailureWords(report.outcome));
  state.reason = report.reason;
  std::tm now = options_.clock();
  state.lastCheck = static_cast<std::int64_t>(std::mktime(&now));
  UpdateTrayHint();
  if (bus_ && report.newCount > 0) bus_->NewMail(report.account, report.newCount, report.newBytes);
  if (bus_ && CheckFailed(report.outcome)) bus_->CheckFailed(report.account, report.reason);
  // Once exit has begun the settings store is closed.
  if (report.newCount > 0 && !exiting_) {
    newMailCommand_.Run(settings_.ReadString(kProgramKey, kOnNewMailValueName, ""), report.account,
                        report.newCount, report.newBytes);
  }
  if (OnCheckFinished) OnCheckFinished(report);
}

void MainWindow::SaveAccountTable() { SaveLoadedTable(true); }

void MainWindow::CheckNow() {
  for (std::size_t i = 0; i < table_.Count(); ++i) {
    if (table_[i].IsEnabled()) scheduler_.CheckSoon(i);
  }
  TickSoon();
}

std::vector<AccountCounts> MainWindow::Counts() const {
  std::vector<AccountCounts> counts;
  for (std::size_t i = 0; i < table_.Count(); ++i) {
    AccountCounts account;
    account.account = table_[i].PlainAccountName();
    if (const auto found = trayStates_.find(account.account); found != trayStates_.end()) {
      account.newCount = found->second.pendingMails;
      account.newBytes = found->second.pendingBytes;
      account.lastCheck = found->second.lastCheck;
      account.failure = found->second.reason;
    }
    counts.push_back(std::move(account));
  }
  return counts;
}

void MainWindow::SaveLoadedTable(bool zeroElapsed) {
  if (!table_.Image()) return;
  if (SaveAccounts(table_, zeroElapsed, options_.accountsFile)) checker_.TableReloaded();
}

void MainWindow::POP3Display(std::string_view msg) { view_.AppendProtocolTrace(msg); }

void MainWindow::ClearProtocolTrace() { view_.ClearProtocolTrace(); }

void MainWindow::WriteLog(std::string_view account, std::string_view message) {
  lastLogAccount_ = account;
  lastLogMessage_ = message;
  if (!options_.forceLog && !view_.Checked(Control::LogChkBx)) return;
  // One call, one line: a line break or another control character in what a
  // server sent (an -ERR text) must neither add a line of its own nor reach a
  // terminal that shows the log.
  std::string line = FormatLogLine(localeFormat_, options_.clock(), account, message);
  for (char& c : line) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  logMemo_.Append(line);
}

bool MainWindow::OptionChecked(CheckOption option) const {
  switch (option) {
    case CheckOption::ConnErr:
      return view_.Checked(Control::ConnErrChkBx);
    case CheckOption::AllMail:
      return view_.Checked(Control::AllMailChkBx);
    case CheckOption::Balloon:
      return view_.Checked(Control::BalloonChkBx);
  }
  return false;
}

void MainWindow::SetCheckTimerEnabled(bool enabled) {
  if (enabled && exiting_) return;
  if (tickRunning_) {
    // The tick has the timer stopped; what is asked for meanwhile (the editor
    // closing or opening) takes effect when it ends. Counting stops at once:
    // the tick's walk ends with it.
    timerRestartPending_ = enabled;
    if (enabled) {
      scheduler_.StartCounting();
    } else {
      scheduler_.StopCounting();
    }
    return;
  }
  if (!enabled) {
    scheduler_.StopCounting();
    if (checkTimer_ != 0) loop_.StopTimer(checkTimer_);
    checkTimer_ = 0;
    return;
  }
  scheduler_.StartCounting();
  ArmCheckTimer();
}

void MainWindow::ArmCheckTimer() {
  if (checkTimer_ != 0) loop_.StopTimer(checkTimer_);
  std::uint64_t wait = std::min(scheduler_.WaitMs().value_or(kLongestWaitMs), kLongestWaitMs);
  if (std::exchange(tickSoon_, false)) wait = 0;
  checkTimer_ = loop_.StartTimer(static_cast<std::uint32_t>(wait), [this] { TimerTimer(); });
}

std::string MainWindow::NowDateTimeText() const {
  return FormatDateTime(localeFormat_, options_.clock());
}

std::uint32_t MainWindow::TickCount() const { return options_.tickCount(); }

bool MainWindow::FastListing() const {
  try {
    return settings_.ReadString(kProgramKey, kFastListingName, "True") != "False";
  } catch (const std::exception&) {
    return true;  // a value the store cannot read is no reason to stop checking
  }
}

std::int64_t MainWindow::CheckDeadlineSeconds() const {
  try {
    return std::max(settings_.ReadInteger(kProgramKey, kCheckDeadlineName, 0), 0);
  } catch (const std::exception&) {
    return 0;
  }
}

}  // namespace corvel
