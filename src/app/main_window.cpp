#include "app/main_window.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <limits>
#include <utility>

#include "accounts/account_form.h"
#include "accounts/file_io.h"
#include "app/error_text.h"
#include "codec/exception.h"
#include "net/tick_count.h"

namespace corvel {

namespace {

constexpr std::string_view kEditorNote =
    "NOTE: Program disabled when accounts are being edited!\r\n"
    "Remember to click \"update\" on each account, or else changes will not be saved!\r\n"
    "This goes for the authentication clearing as well...";
constexpr std::string_view kOpenCaption = "Open accts.";
constexpr std::string_view kCloseCaption = "Close accts.";
constexpr std::string_view kUpdateCaption = "Update";
constexpr std::string_view kAddCaption = "Add acct.";
constexpr std::string_view kDeleteQuestion = "Delete this account?";

constexpr std::uint32_t kCheckInterval = 1000;

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
      checker_(table_, pop3_, seenList_, mailList_, flags_, *this),
      newMailCommand_(loop) {
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
  newMailCommand_.OnFailure = [this](std::string_view account, std::string_view text) {
    WriteLog(account, text);
  };

  // The tray's pop-up menu: "Restore" (the default item) and "Exit".
  popUp_.items.push_back(TrayMenuItem{"Restore", true, [this] { Restore1Click(); }});
  popUp_.items.push_back(TrayMenuItem{"Exit", false, [this] { Exit1Click(); }});
}

MainWindow::~MainWindow() {
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
    flags_.FirstPaint = true;
    flags_.WindowInTray = false;
    flags_.NewMailPending = false;
    seenList_.Clear();
    view_.SetCaption(kProgramCaption);
    // The locale format record is the one the front-end handed over.
    view_.SetText(Control::lblNOTE, "");
    flags_.ConnErrorArmed = true;
    view_.SetText(Control::lblAbout, AboutText());
    CreateTray();
    RestoreSettings();

    tray_->SetHint(std::string(kProgramCaption));
    tray_->SetMinimizeToTray(true);
    tray_->OnDblClick = [this] { TrayDblClick(); };
    tray_->OnClick = [this] { TrayClick(); };
    tray_->OnMinimizeToTray = [this] { OnMinTray(); };
    tray_->SetPopupMenu(&popUp_);
    tray_->SetIconVisible(true);
    tray_->SetIcon(TrayPicture::kApplication);

    LoadAccountTable();
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

  constexpr std::array<std::pair<std::string_view, Control>, 4> kBoxes = {{
      {"ConnErr", Control::ConnErrChkBx},
      {"Balloon", Control::BalloonChkBx},
      {"AllMail", Control::AllMailChkBx},
      {"Log", Control::LogChkBx},
  }};
  for (const auto& [name, box] : kBoxes) {
    if (settings_.ReadString(kProgramKey, name, "False") == "True") SetBox(box, true);
  }

  for (std::size_t column = 0; column < kColumns.size(); ++column) {
    view_.SetColumnWidth(
        static_cast<int>(column),
        settings_.ReadInteger(kProgramKey, kColumns[column].name, kColumns[column].defaultWidth));
  }
}

void MainWindow::LoadAccountTable() {
  checker_.TableReloaded();
  if (LoadAccounts(table_, options_.accountsFile)) SetCheckTimerEnabled(true);
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
  Guarded([this] { MinimizeApplication(); });
  return false;
}

bool MainWindow::MinimizeClicked() {
  bool toTray = false;
  Guarded([&] { toTray = tray_ && tray_->MainWindowMinimizing(); });
  return toTray;
}

void MainWindow::MinimizeApplication() {
  // Minimising the application hides the main window, which the tray icon
  // turns into hiding it in the tray; without the tray the window simply
  // minimises.
  if (tray_ && (tray_->MainWindowMinimizing() || tray_->ApplicationMinimized())) return;
  view_.Minimize();
}

// ---------------------------------------------------------------- tray

void MainWindow::OnMinTray() { flags_.WindowInTray = true; }

void MainWindow::TrayClick() {
  Guarded([this] {
    if (!flags_.NewMailPending) return;
    flags_.WindowInTray = false;
    view_.SelectTab(MainTab::NewMail);
    if (tray_) tray_->RestoreFromTray();
    SetMailAnimation(false);
    flags_.NewMailPending = false;
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
    SetMailAnimation(false);
    flags_.NewMailPending = false;
  } else if (tray_) {
    tray_->RestoreFromTray();
  }
}

void MainWindow::Exit1Click() {
  Guarded([this] {
    if (exiting_) return;
    // The editor writes straight into the accounts file; closing it first
    // reloads the table from the file, so the save below keeps what the
    // editor wrote.
    if (EditorOpen()) CloseEditor();
    SaveAccounts(table_, true, options_.accountsFile);
    exiting_ = true;
    SetCheckTimerEnabled(false);
    DestroyTray();
    try {
      SaveWindowSettings();
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
  if (on) {
    tray_->SetIconList({TrayPicture::kMailFrame1, TrayPicture::kMailFrame2});
    tray_->SetCycleInterval(500);
    tray_->SetCycleIcons(true);
  } else {
    tray_->SetCycleIcons(false);
    tray_->SetIcon(TrayPicture::kApplication);
  }
}

void MainWindow::BalloonNotify(std::string_view title, std::string_view text, int iconKind,
                               int timeoutSeconds) {
  if (!tray_) return;
  (void)tray_->BalloonNotify(title, text, static_cast<BalloonIcon>(iconKind),
                             static_cast<std::uint32_t>(std::max(timeoutSeconds, 0)));
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

void MainWindow::StartupChkBxClick() {
  if (view_.Checked(Control::StartupChkBx)) {
    settings_.WriteString(kRunKey, kRunValueName, options_.programPath + " --MINIMIZE");
  } else {
    settings_.DeleteValue(kRunKey, kRunValueName);
  }
}

void MainWindow::ConnErrChkBxClick() {
  settings_.WriteString(kProgramKey, "ConnErr",
                        view_.Checked(Control::ConnErrChkBx) ? "True" : "False");
}

void MainWindow::BalloonChkBxClick() {
  settings_.WriteString(kProgramKey, "Balloon",
                        view_.Checked(Control::BalloonChkBx) ? "True" : "False");
}

void MainWindow::LogChkBxClick() {
  settings_.WriteString(kProgramKey, "Log", view_.Checked(Control::LogChkBx) ? "True" : "False");
}

void MainWindow::AllMailChkBxClick() {
  settings_.WriteString(kProgramKey, "AllMail",
                        view_.Checked(Control::AllMailChkBx) ? "True" : "False");
  // The list's rows change their kind with this box.
  mailList_.Clear();
  flags_.NewMailPending = false;
}

// ---------------------------------------------------------------- check cycle

void MainWindow::TimerTimer() {
  Guarded([this] { checker_.TimerTimer(); });
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

void MainWindow::CheckFinished(const CheckReport& report) {
  // Once exit has begun the settings store is closed.
  if (report.newCount > 0 && !exiting_) {
    newMailCommand_.Run(settings_.ReadString(kProgramKey, kOnNewMailValueName, ""), report.account,
                        report.newCount, report.newBytes);
  }
  if (OnCheckFinished) OnCheckFinished(report);
}

void MainWindow::SaveAccountTable() { SaveAccounts(table_, true, options_.accountsFile); }

void MainWindow::POP3Display(std::string_view msg) { view_.AppendProtocolTrace(msg); }

void MainWindow::ClearProtocolTrace() { view_.ClearProtocolTrace(); }

void MainWindow::WriteLog(std::string_view account, std::string_view message) {
  if (!options_.forceLog && !view_.Checked(Control::LogChkBx)) return;
  logMemo_.Append(FormatLogLine(localeFormat_, options_.clock(), account, message));
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
  if (enabled == (checkTimer_ != 0)) {
    if (!enabled) return;
    // Enabling a running timer starts its period anew.
    loop_.StopTimer(checkTimer_);
  } else if (!enabled) {
    loop_.StopTimer(checkTimer_);
    checkTimer_ = 0;
    return;
  }
  checkTimer_ = loop_.StartTimer(kCheckInterval, [this] { TimerTimer(); });
}

std::string MainWindow::NowDateTimeText() const {
  return FormatDateTime(localeFormat_, options_.clock());
}

std::uint32_t MainWindow::TickCount() const { return options_.tickCount(); }

// ---------------------------------------------------------------- account editor

bool MainWindow::EditorOpen() const { return view_.Text(Control::OpenButton) == kCloseCaption; }

std::size_t MainWindow::RecordCount() const { return editorFile_ ? editorFile_->RecordCount() : 0; }

void MainWindow::SetRecordButtons(bool on) {
  for (Control button : {Control::btnDelete, Control::btnClearAuth, Control::btnNew,
                         Control::btnFirst, Control::btnPrev, Control::btnNext, Control::btnLast}) {
    view_.SetControlEnabled(button, on);
  }
}

std::uint8_t SecurityModeOfChoice(std::string_view choice) {
  for (std::size_t mode = 0; mode < kSecurityChoices.size(); ++mode) {
    if (kSecurityChoices[mode] == choice) return static_cast<std::uint8_t>(mode);
  }
  return 0;
}

void MainWindow::ClearEditorForm(bool forNew) {
  view_.SetChecked(Control::EnableAccChkBx, false);
  view_.SetText(Control::AccountNameEdit, "");
  view_.SetText(Control::ServerEdit, "");
  view_.SetText(Control::UserEdit, "");
  view_.SetText(Control::PassEdit, "");
  view_.SetText(Control::PortEdit, "110");
  view_.SetText(Control::SecsEdit, forNew ? "300" : "");
  view_.SetChecked(Control::LeaveMailChkBx, false);
  view_.SetText(Control::SecurityBox, kSecurityChoices[0]);
}

void MainWindow::ShowRecord() {
  editRecord_ = editorFile_->ReadRecord(cursor_);
  ShowForm(RecordToForm(editRecord_));
}

void MainWindow::ShowForm(const AccountForm& form) {
  view_.SetChecked(Control::EnableAccChkBx, form.enabled);
  view_.SetText(Control::AccountNameEdit, form.name);
  view_.SetText(Control::ServerEdit, form.server);
  view_.SetText(Control::PortEdit, form.port);
  view_.SetText(Control::UserEdit, form.user);
  view_.SetText(Control::PassEdit, form.password);
  view_.SetText(Control::SecsEdit, form.interval);
  view_.SetChecked(Control::LeaveMailChkBx, form.leaveMail);
  view_.SetText(Control::SecurityBox,
                kSecurityChoices[form.securityMode <= 2 ? form.securityMode : 0]);
}

AccountForm MainWindow::ReadForm() const {
  AccountForm form;
  form.enabled = view_.Checked(Control::EnableAccChkBx);
  form.name = view_.Text(Control::AccountNameEdit);
  form.server = view_.Text(Control::ServerEdit);
  form.port = view_.Text(Control::PortEdit);
  form.user = view_.Text(Control::UserEdit);
  form.password = view_.Text(Control::PassEdit);
  form.interval = view_.Text(Control::SecsEdit);
  form.leaveMail = view_.Checked(Control::LeaveMailChkBx);
  form.securityMode = SecurityModeOfChoice(view_.Text(Control::SecurityBox));
  return form;
}

void MainWindow::OpenButtonClick() {
  Guarded([this] {
    if (EditorOpen()) {
      CloseEditor();
      return;
    }
    view_.SetText(Control::lblNOTE, kEditorNote);
    view_.SetText(Control::OpenButton, kCloseCaption);
    try {
      SaveAccounts(table_, false, options_.accountsFile);
      editorFile_.emplace(options_.accountsFile);
      editorFile_->Open();
    } catch (...) {
      // The editor did not open: the file is not held and checking goes on.
      editorFile_.reset();
      view_.SetText(Control::OpenButton, kOpenCaption);
      view_.SetText(Control::lblNOTE, "");
      throw;
    }
    const std::size_t count = RecordCount();
    if (count >= 1) {
      cursor_ = 0;
      ShowRecord();
      addingAccount_ = false;
    }
    SetCheckTimerEnabled(false);
    view_.SetControlEnabled(Control::btnFirst, false);
    view_.SetControlEnabled(Control::btnPrev, false);
    view_.SetControlEnabled(Control::btnNext, count >= 2);
    view_.SetControlEnabled(Control::btnLast, count >= 2);
    view_.SetControlEnabled(Control::btnNew, true);
    view_.SetControlEnabled(Control::btnUpdate, true);
    view_.SetControlEnabled(Control::btnDelete, count >= 1);
    view_.SetControlEnabled(Control::btnClearAuth, count >= 1);
    for (Control field :
         {Control::EnableAccChkBx, Control::AccountNameEdit, Control::ServerEdit, Control::PortEdit,
          Control::UserEdit, Control::PassEdit, Control::SecsEdit, Control::LeaveMailChkBx,
          Control::SecurityBox, Control::Label1}) {
      view_.SetControlEnabled(field, true);
    }
    view_.SetText(Control::btnUpdate, kUpdateCaption);
  });
}

void MainWindow::CloseEditor() {
  view_.SetText(Control::OpenButton, kOpenCaption);
  view_.SetText(Control::lblNOTE, "");
  editorFile_.reset();
  ClearEditorForm(false);
  for (Control field :
       {Control::EnableAccChkBx, Control::AccountNameEdit, Control::ServerEdit, Control::PortEdit,
        Control::UserEdit, Control::PassEdit, Control::SecsEdit, Control::LeaveMailChkBx,
        Control::SecurityBox, Control::Label1, Control::btnFirst, Control::btnPrev,
        Control::btnNext, Control::btnLast, Control::btnNew, Control::btnUpdate, Control::btnDelete,
        Control::btnClearAuth}) {
    view_.SetControlEnabled(field, false);
  }
  LoadAccountTable();
}

void MainWindow::btnNewClick() {
  Guarded([this] {
    ClearEditorForm(true);
    addingAccount_ = true;
    SetRecordButtons(false);
    view_.SetText(Control::btnUpdate, kAddCaption);
  });
}

void MainWindow::btnUpdateClick() {
  Guarded([this] {
    if (!editorFile_) return;
    const AccountForm form = ReadForm();
    if (auto message = MissingFieldMessage(form)) {
      view_.ShowInformation(*message);
      return;
    }
    if (auto message = InvalidFieldMessage(form)) {
      view_.ShowInformation(*message);
      return;
    }

    const std::size_t count = editorFile_->RecordCount();
    // A new account is written at the end: after "New", and also when the
    // form was filled in with no record shown (an empty file, or after the
    // last record was deleted).
    const bool appending = addingAccount_ || cursor_ >= count;
    if (appending && count >= kMaxAccounts) {
      view_.ShowInformation(kTooManyAccountsMessage);
      return;
    }

    // Names are compared as the user reads them, with every other record:
    // the shown record may keep its own name.
    if (NameTaken(*editorFile_, form.name,
                  appending ? std::nullopt : std::optional<std::size_t>(cursor_))) {
      view_.ShowInformation(kDuplicateNameMessage);
      return;
    }

    FormToRecord(form, editRecord_);
    if (editRecord_.UidlFileName.Empty() || appending) {
      editRecord_.SetPlainUidlFileName(MakeUidlFileName(form.name, TickCount()));
    }
    if (appending) {
      editRecord_.AuthMethod.Clear();
      editRecord_.Elapsed = 0;
      cursor_ = count;
    }
    editorFile_->WriteRecord(cursor_, editRecord_);
    addingAccount_ = false;
    SetRecordButtons(true);
    view_.SetText(Control::btnUpdate, kUpdateCaption);
    BalloonNotify("Account updated", "Account " + form.name + " updated!", kBalloonInfo, 15);
  });
}

void MainWindow::btnDeleteClick() {
  Guarded([this] {
    if (!editorFile_) return;
    if (!view_.ConfirmYesNo(kDeleteQuestion)) return;
    const std::size_t count = editorFile_->RecordCount();
    if (cursor_ >= count) return;
    const bool wasLast = cursor_ + 1 == count;
    editorFile_->DeleteRecord(cursor_);
    if (wasLast && cursor_ > 0) --cursor_;
    if (editorFile_->RecordCount() > 0) {
      ShowRecord();
      return;
    }
    // The file is empty now; the next "Update" writes a new first record.
    cursor_ = 0;
    for (Control button : {Control::btnDelete, Control::btnClearAuth, Control::btnFirst,
                           Control::btnPrev, Control::btnNext, Control::btnLast}) {
      view_.SetControlEnabled(button, false);
    }
    ClearEditorForm(true);
  });
}

bool MainWindow::StartNavigation() {
  SetRecordButtons(true);
  if (RecordCount() > 0) return true;
  for (Control button : {Control::btnFirst, Control::btnLast, Control::btnNext, Control::btnPrev}) {
    view_.SetControlEnabled(button, false);
  }
  return false;
}

void MainWindow::ShowRecordAt(std::size_t index) {
  cursor_ = index;
  ShowRecord();
  addingAccount_ = false;
}

void MainWindow::btnFirstClick() {
  Guarded([this] {
    if (!StartNavigation()) return;
    view_.SetControlEnabled(Control::btnFirst, false);
    view_.SetControlEnabled(Control::btnPrev, false);
    ShowRecordAt(0);
  });
}

void MainWindow::btnLastClick() {
  Guarded([this] {
    if (!StartNavigation()) return;
    view_.SetControlEnabled(Control::btnLast, false);
    view_.SetControlEnabled(Control::btnNext, false);
    ShowRecordAt(RecordCount() - 1);
  });
}

void MainWindow::btnNextClick() {
  Guarded([this] {
    if (!StartNavigation()) return;
    const std::size_t last = RecordCount() - 1;
    // On the last record already: nothing is read again.
    if (cursor_ < last) ShowRecordAt(cursor_ + 1);
    if (cursor_ >= last) {
      view_.SetControlEnabled(Control::btnNext, false);
      view_.SetControlEnabled(Control::btnLast, false);
    }
  });
}

void MainWindow::btnPrevClick() {
  Guarded([this] {
    if (!StartNavigation()) return;
    // On the first record already: nothing is read again.
    if (cursor_ > 0) ShowRecordAt(std::min(cursor_, RecordCount()) - 1);
    if (cursor_ == 0) {
      view_.SetControlEnabled(Control::btnPrev, false);
      view_.SetControlEnabled(Control::btnFirst, false);
    }
  });
}

void MainWindow::btnClearAuthClick() {
  Guarded([this] { editRecord_.AuthMethod.Clear(); });
}

void MainWindow::SecsEditExit() {
  Guarded([this] {
    view_.SetText(Control::SecsEdit, ClampIntervalText(view_.Text(Control::SecsEdit)));
  });
}

}  // namespace corvel
