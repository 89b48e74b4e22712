// MainWindow: the program itself. It owns what the main window owns — the
// account table and the editor's working record, the shared blocking POP3
// client, the tray icon component, the settings store's use, the seen-message
// list, the window flags, the activity log and the "New mail" list — and
// implements the window's handlers by name: start-up (FormCreate), the first
// paint, closing, the tray clicks and menu, the settings boxes, the check
// timer's tick and the account editor's buttons.
//
// It talks to the screen only through a MainView and a TrayShell, so a whole
// session of the program runs the same under the desktop front-ends, the
// console and the tests.
//
// Threads: everything runs on the event loop's thread. A blocking POP3 call
// keeps the loop running, so any handler may run in the middle of a check.
// Every handler that a front-end calls shows an error that escapes it in the
// view's error box, as the application's top level would, and returns.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "accounts/account_file.h"
#include "accounts/account_form.h"
#include "accounts/account_table.h"
#include "accounts/file_lock.h"
#include "app/activity_log.h"
#include "app/auth/account_secrets.h"
#include "app/auth/sign_in.h"
#include "app/bus/program_bus.h"
#include "app/imap_push.h"
#include "app/main_view.h"
#include "app/process/mail_program.h"
#include "app/process/new_mail_command.h"
#include "app/settings/settings_store.h"
#include "app/system/file_watch.h"
#include "app/system/system_events.h"
#include "app/text/locale_format.h"
#include "app/tray/tray_icon.h"
#include "app/tray/tray_menu.h"
#include "app/tray/tray_shell.h"
#include "checker/check_host.h"
#include "checker/check_scheduler.h"
#include "checker/imap_mailbox.h"
#include "checker/mail_checker.h"
#include "checker/new_mail_list.h"
#include "checker/outage_notices.h"
#include "checker/seen_list.h"
#include "net/event_loop.h"
#include "pop3/sync_pop3_client.h"

namespace corvel {

inline constexpr std::string_view kProgramTitle = "Corvel!";
inline constexpr std::string_view kProgramCaption = "Corvel! v0.6";
inline constexpr std::string_view kMinimizeSwitch = "--MINIMIZE";

// Values of the program key that tune the checks; no box shows them.
// "True" (also when absent) or "False": list the mailbox in one command each
// for identifiers and sizes; "False" asks message by message.
inline constexpr std::string_view kFastListingName = "FastListing";
// Whole seconds a check may take once it knows the mailbox size; absent, 0
// or not a whole number: derived from the size and the time-out.
inline constexpr std::string_view kCheckDeadlineName = "CheckDeadline";

// The tray menu's items and the notifications' actions for acting on new
// mail.
inline constexpr std::string_view kOpenMailProgramCaption = "Open mail program";
inline constexpr std::string_view kMarkAsSeenCaption = "Mark as seen";
inline constexpr std::string_view kDoNotDisturbCaption = "Do not disturb for 1 hour";
// The options side file's key of an account that shows no balloons.
inline constexpr std::string_view kQuietKey = "quiet";

// The choices of the editor's SecurityBox, by security mode (0, 1, 2).
inline constexpr std::array<std::string_view, 3> kSecurityChoices = {
    "Auto (TLS on port 995 or 993)", "STARTTLS", "TLS"};
// The choices of the editor's ProtocolBox: POP3, then IMAP.
inline constexpr std::array<std::string_view, 2> kProtocolChoices = {"POP3", "IMAP"};
// The mode a choice stands for; a text that is none of them is mode 0, as an
// unknown byte in the file is.
[[nodiscard]] std::uint8_t SecurityModeOfChoice(std::string_view choice);

// The text of the "About" tab.
[[nodiscard]] std::string AboutText();

struct MainWindowOptions {
  // The command-line arguments after the program name.
  std::vector<std::string> arguments;
  // The full path of the running program (the logon entry starts it).
  std::string programPath;
  // The accounts file; by bare name, in the working directory.
  std::filesystem::path accountsFile = std::filesystem::path(kAccountsFileName);
  // The current local time; the system clock when empty.
  LocalClock clock;
  // The millisecond tick count; the system's when empty.
  std::function<std::uint32_t()> tickCount;
  // Milliseconds of a monotonic clock, which the accounts' intervals are
  // counted on; the system's steady clock when empty.
  CheckScheduler::MonotonicClock monotonicClock;
  // The system's power and network events instead of the system's own watch,
  // which the long-running program otherwise keeps (tests).
  SystemEvents* systemEvents = nullptr;
  // Log every event whatever the "Log" box says (the console's --log).
  bool forceLog = false;
  // The blocking client's silence time-out in seconds.
  std::int32_t pop3Timeout = 15;
  // How long an OAuth2 account's token command may run.
  int tokenCommandTimeoutMs = kTokenCommandTimeoutMs;
  // The keyring instead of the system's (tests).
  std::shared_ptr<SecretStore> keyring;
  // The editor's sign-in: how the browser is shown the provider's page
  // (empty: the system's browser), and how long it may take to come back.
  std::function<bool(const std::string& url, std::string& why)> openBrowser;
  int signInTimeoutMs = 5 * 60 * 1000;
  // A one-shot run (the console's check): the logon entry is read, and shown
  // in its box, but never written.
  bool oneShot = false;
  // The long-running program (not a one-shot command): it refuses to start
  // while another one runs in the same folder (both would check the same
  // accounts), and its check timer runs even without accounts, so that
  // accounts another process adds to the file are found.
  bool longRunning = false;
  // The long-running program answers on the session bus (io.corvel.Corvel).
  bool exportBus = false;
  // How long "Do not disturb" lasts.
  std::uint32_t doNotDisturbMs = 60 * 60 * 1000;
};

// What the program says once when it has no notification area to live in.
inline constexpr std::string_view kNoTrayMessage =
    "No notification area was found; Corvel stays in the task bar.";
// The question closing the window asks when there is no notification area.
inline constexpr std::string_view kExitWithoutTrayQuestion =
    "No notification area was found, so Corvel cannot keep checking from the tray. "
    "Exit Corvel?\n\n(No keeps it running in the task bar.)";

// The error a second long-running program in the same folder shows before it
// ends.
inline constexpr std::string_view kAlreadyRunningMessage =
    "Corvel is already running in this folder; this copy ends.";

class MainWindow final : private CheckHost, private ProgramBusHost {
 public:
  MainWindow(EventLoop& loop, MainView& view, TrayShell& shell, SettingsStore& settings,
             const LocaleFormat& localeFormat, MainWindowOptions options = {});
  ~MainWindow() override;
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  // ---- Window events.
  void FormCreate();
  void FormPaint();
  // Closing the window hides it in the tray and returns false (refused).
  // Without a notification area it asks whether to exit: true once the
  // program has ended, otherwise the window minimises to the task bar.
  [[nodiscard]] bool FormClose();
  // The minimise button: true when the window went to the tray instead.
  [[nodiscard]] bool MinimizeClicked();

  // ---- Tray.
  void OnMinTray();
  void TrayClick();
  void TrayDblClick();
  void Restore1Click();
  void Exit1Click();
  // The user clicked a balloon: the window comes forward, on the tab the
  // balloon was about ("New mail" for news, "Log" for a failure).
  void BalloonClick();
  // "Open mail program" (the tray menu, a notification, a double click on a
  // row of "New mail"): runs the setting "MailProgram".
  void OpenMailProgramClick();
  // A double click on row `row` of the "New mail" list.
  void MailRowDblClick(std::size_t row);
  // A notification's "Mark as seen": the news are taken as looked at, as
  // opening "New mail" takes them (the animation stops, nothing pending).
  void MarkAsSeenClick();
  // The tray menu's "Do not disturb for 1 hour", and its end: no balloons
  // and no animation meanwhile; the icon says so; the news are still listed.
  void DoNotDisturbClick();
  [[nodiscard]] bool DoNotDisturb() const { return dndTimer_ != 0; }
  // The tray's tooltip: what is pending and what fails, per account
  // ("Home: 3 new mails; Work: cannot connect"), or the caption when all is
  // quiet.
  [[nodiscard]] std::string TrayHintText() const;

  // ---- "Settings" tab: a box changed state (the view already shows it).
  void StartupChkBxClick();
  void ConnErrChkBxClick();
  void BalloonChkBxClick();
  void AllMailChkBxClick();
  void LogChkBxClick();
  // Runs the handler of whichever box the user toggled.
  void CheckBoxClicked(Control box);

  // ---- Check cycle.
  // The check timer's tick: the due accounts are checked (see
  // CheckScheduler); the timer is then set for when the next one is due.
  void TimerTimer();
  // Checks the account at `index` of Table() as soon as the running check
  // (if any) has ended, instead of at the end of its interval: for a server
  // that tells of new mail itself.
  void CheckAccountNow(std::size_t index);

  // ---- Sleep and network.
  // The machine woke from sleep: every enabled account is checked once, a few
  // seconds apart, as soon as the network is usable (or a minute later
  // whatever it says), and its interval begins then. News of several
  // accounts in that round is told in one balloon. Connections held open are
  // opened anew.
  void SystemResumed();
  // The network came, went or changed: connections held open are opened anew;
  // when it is usable, the accounts that are failing are checked at once.
  void NetworkChanged();
  // What connections held open by others are to learn.
  enum class ConnectivityChange { kResumed, kNetworkChanged };
  using ConnectivityListener = std::function<void(ConnectivityChange)>;
  // Returns an id for RemoveConnectivityListener. Listeners run on the loop
  // thread, after the program's own IMAP watchers were opened anew.
  std::size_t AddConnectivityListener(ConnectivityListener listener);
  void RemoveConnectivityListener(std::size_t id);
  void POP3Display(std::string_view msg);
  // Checks every enabled account once, now, in table order (the console's
  // "check"); an account whose login method was just found is checked again
  // at once. Returns the reports in table order.
  std::vector<CheckReport> CheckAllNow();
  // A check of an account has ended (on the loop thread, after its logout
  // line): the front-ends tell the reason of a failed check from here.
  std::function<void(const CheckReport&)> OnCheckFinished;
  // Checks every enabled account soon, as if its interval had passed (the
  // session bus's CheckNow).
  void CheckNow();
  // Per account, in table order: the new mails not looked at, when its last
  // check ended and why it failed.
  [[nodiscard]] std::vector<AccountCounts> Counts() const;
  // Writes the account table to the accounts file as "Exit" does (Elapsed 0,
  // the login methods found). Throws InOutException.
  void SaveAccountTable();

  // ---- Account editor ("Accounts" tab).
  void OpenButtonClick();
  void btnNewClick();
  void btnUpdateClick();
  void btnDeleteClick();
  void btnFirstClick();
  void btnPrevClick();
  void btnNextClick();
  void btnLastClick();
  void btnClearAuthClick();
  // The interval box lost the focus: its value is kept within 10..2147483647.
  void SecsEditExit();
  // The user chose another protocol in ProtocolBox: the port (and, for
  // IMAP, the leave-mail box) follow it.
  void ProtocolBoxChange();
  // The user chose another login in LoginBox: its fields show, the others
  // hide, and the sign-in says where the account stands.
  void LoginBoxChange();
  // "Sign in" (or "Sign in again"): the account's form is checked as
  // "Update" checks it, the browser opens at the provider, and once the
  // provider has authorized Corvel the account is written as "Update" writes
  // it, signed in. While it waits the button reads "Cancel" and ends it.
  void btnSignInClick();
  [[nodiscard]] bool SigningIn() const { return signIn_ && signIn_->Running(); }
  [[nodiscard]] bool EditorOpen() const override;

  // ---- State.
  void WriteLog(std::string_view account, std::string_view message) override;
  void SetMailAnimation(bool on) override;
  [[nodiscard]] const WindowFlags& Flags() const { return flags_; }
  [[nodiscard]] AccountTable& Table() { return table_; }
  [[nodiscard]] const LogMemoModel& LogMemo() const { return logMemo_; }
  [[nodiscard]] LogMemoModel& LogMemo() { return logMemo_; }
  [[nodiscard]] const NewMailList& MailList() const { return mailList_; }
  [[nodiscard]] NewMailList& MailList() { return mailList_; }
  [[nodiscard]] SyncPop3Client& Pop3() { return pop3_; }
  [[nodiscard]] SyncImapClient& Imap() { return imap_; }
  [[nodiscard]] ImapPush& Push() { return push_; }
  [[nodiscard]] TrayIcon* Tray() { return tray_.get(); }
  [[nodiscard]] const TrayMenu& PopupMenu() const { return popUp_; }
  [[nodiscard]] bool CheckTimerEnabled() const { return checkTimer_ != 0; }
  [[nodiscard]] MailChecker& Checker() { return checker_; }
  [[nodiscard]] CheckScheduler& Scheduler() { return scheduler_; }
  // The accounts that fail now, and why.
  [[nodiscard]] const OutageNotices& Outages() const { return outages_; }
  [[nodiscard]] const AccountRecord& EditRecord() const { return editRecord_; }
  [[nodiscard]] bool AddingAccount() const { return addingAccount_; }
  [[nodiscard]] std::size_t EditorCursor() const { return cursor_; }
  // True once Exit1Click has run to its end.
  [[nodiscard]] bool Exited() const { return exited_; }
  // True once FormCreate has run to its end (the accounts are loaded).
  [[nodiscard]] bool Started() const { return started_; }

 private:
  // ---- CheckHost.
  [[nodiscard]] bool OptionChecked(CheckOption option) const override;
  void BalloonNotify(std::string_view title, std::string_view text, int iconKind,
                     int timeoutSeconds) override;
  // Checking on (counting, the timer set for the next due account) or off.
  void SetCheckTimerEnabled(bool enabled);
  // Sets the check timer for when the scheduler says the next account is due.
  void ArmCheckTimer();
  // A tick at once (or right after the one under way), while checking is on.
  void TickSoon();
  [[nodiscard]] bool NetworkUsable() const;
  void ConnectivityChanged(ConnectivityChange change);
  // The round after a resume has ended: its held balloons are shown as one.
  void ShowHeldBalloons();
  void ClearProtocolTrace() override;
  [[nodiscard]] std::string NowDateTimeText() const override;
  [[nodiscard]] std::uint32_t TickCount() const override;
  [[nodiscard]] bool FastListing() const override;
  [[nodiscard]] std::int64_t CheckDeadlineSeconds() const override;
  // Says why a check failed, or that the account works again.
  void CheckEnding(const CheckReport& report) override;
  // Runs the "OnNewMail" command after a report of new mail.
  void CheckFinished(const CheckReport& report) override;

  // Whether the account keeps quiet (no balloons; the options side file).
  [[nodiscard]] bool AccountQuiet(std::string_view account) const override;

  // ---- ProgramBusHost.
  void BusCheckNow() override { CheckNow(); }
  [[nodiscard]] std::vector<MailRow> BusNewMail() const override { return mailList_.Rows(); }
  [[nodiscard]] std::vector<AccountCounts> BusCounts() const override { return Counts(); }

  // Runs a handler; an error that escapes it goes to the error box.
  void Guarded(const std::function<void()>& handler);
  // Puts a box into a state and runs its handler when the state changed, as
  // setting a check box on the form does.
  void SetBox(Control box, bool checked);
  void RunBoxHandler(Control box);
  void MinimizeApplication();
  void RestoreSettings();
  // Before a tick: settings another process changed are taken in; a box whose
  // stored value changed shows it.
  void TakeInChangedSettings();
  // What changes with the "AllMail" box, besides its stored value.
  void AllMailChanged();
  // Writes a setting. A failure to write a value the store already holds
  // (a box set at start-up writes back what was read) loses nothing: it is
  // shown once, and the work goes on.
  void WriteSetting(std::string_view key, std::string_view name, std::string_view text);
  // Saves the table as SaveAccounts does, but only a table that was loaded:
  // an empty table that never met the file must not replace the accounts.
  void SaveLoadedTable(bool zeroElapsed);
  // Before a tick: the accounts file was changed by someone else (another
  // process): the table is reloaded from it.
  void ReloadIfChangedElsewhere();
  // After a tick: what the check found (a login method) goes to the file at
  // once, so that another process does not write it away.
  void StoreOwnChanges();
  // Shows an error in the error box the first time only.
  void ShowErrorOnce(bool& shown, std::string_view text);
  void SaveWindowSettings();
  void LoadAccountTable();
  // The IMAP watchers of the long-running program follow the table, the
  // options and the editor; a watcher's news checks its account at once.
  void UpdatePush();
  void PushCheck(const std::string& account);
  [[nodiscard]] const AccountOptionsFile& CachedAccountOptions();
  // The record of an account named by its seen-message file name.
  [[nodiscard]] const AccountRecord* RecordOf(const std::string& account) const;
  void CreateTray();
  void DestroyTray();
  void RestoreFromTrayHandler(bool singleClick);
  // The user has seen the news: the animation stops, nothing is pending.
  void NewsLookedAt();
  void UpdateTrayHint();
  // The tray menu as things stand: "Open mail program" only while a mail
  // program is set, the do-not-disturb item saying whether it is on.
  void BuildPopupMenu();
  void EndDoNotDisturb();
  [[nodiscard]] std::string MailProgramLine() const;
  // Says once per run why the window goes to the task bar, not the tray:
  // in the log, and with showIt also on the screen.
  void TellNoTrayOnce(bool showIt);

  // Editor steps.
  void ShowRecord();
  // The first steps of every navigation button (the file is read again, and
  // the cursor follows the shown account); false when the file is empty.
  bool StartNavigation();
  void ShowRecordAt(std::size_t index);
  void ShowForm(const AccountForm& form);
  [[nodiscard]] AccountForm ReadForm() const;
  // "Update", and the end of a sign-in (signedIn): the form checked and
  // written into the file as it is under its lock, its login placed (the
  // keyring, the OAuth2 settings). A new account takes `newUidl` as its
  // seen-message file name when one is given.
  void SaveForm(const AccountForm& form, bool signedIn, const std::string& newUidl = {});
  // Why the form cannot be written as it is (the first refusal), or nothing.
  [[nodiscard]] std::optional<std::string> FormRefusal(const AccountForm& form,
                                                       bool signedIn) const;
  [[nodiscard]] std::optional<std::string> LoginRefusal(const AccountForm& form,
                                                        bool signedIn) const;
  // The login of the form into the record, under the file's lock: the
  // password where it is kept, the token command or the provider into the
  // OAuth2 settings file. Throws KeyringRefusal.
  void ApplyLogin(const AccountForm& form, const AccountRecord& before, AccountRecord& record,
                  bool signedIn);
  // The login's fields, read and shown.
  void ReadLogin(AccountForm& form) const;
  void ShowLogin(const AccountForm& form);
  // Only the fields of the chosen login show.
  void ShowLoginRows(LoginChoice choice);
  // The sign-in's button and label for the shown account and chosen login.
  void ShowSignInState();
  void SignInFinished(const SignInOutcome& outcome);
  // Every field and button of the editor but the sign-in's (busy) or as
  // they were.
  void SetEditorBusy(bool busy);
  [[nodiscard]] bool KeyringReachable();
  void SetRecordButtons(bool on);
  void ClearEditorForm(bool forNew);
  // The form's fields as shown, to tell typed changes from none.
  [[nodiscard]] std::vector<std::string> FormFields() const;
  void CloseEditor();
  [[nodiscard]] std::size_t RecordCount() const;

  EventLoop& loop_;
  MainView& view_;
  TrayShell& shell_;
  SettingsStore& settings_;
  const LocaleFormat& localeFormat_;
  MainWindowOptions options_;

  WindowFlags flags_;
  AccountTable table_;
  AccountRecord editRecord_;
  SeenList seenList_;
  NewMailList mailList_;
  LogMemoModel logMemo_;
  SyncPop3Client pop3_;
  // IMAP accounts are checked through their own session on their own
  // client, chosen per account by its options.
  SyncImapClient imap_;
  ImapMailbox imapSession_;
  MailChecker checker_;
  CheckScheduler scheduler_;
  OutageNotices outages_;
  // The last line given to the log, so that a reason already written is not
  // written twice.
  std::string lastLogAccount_;
  std::string lastLogMessage_;
  NewMailCommand newMailCommand_;
  MailProgram mailProgram_;
  EventLoop::TimerId dndTimer_ = 0;
  std::string dndUntil_;  // the time it ends, as the locale writes it
  AccountSecrets secrets_;
  TrayMenu popUp_;
  ImapPush push_;
  // Accounts whose watcher told of news while a check or the editor was
  // running: checked once it is over.
  std::set<std::string> pendingPush_;
  std::optional<AccountOptionsFile> optionsCache_;
  FileStamp optionsStamp_;
  // Expires with the window, so a check it posted is never run after it.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
  std::unique_ptr<TrayIcon> tray_;
  EventLoop::TimerId checkTimer_ = 0;

  // The account editor. shownRecord_ is the shown record as the file held it
  // (editRecord_ is the working copy): what an "Update" changed is the
  // difference between the two.
  std::optional<AccountFile> editorFile_;
  AccountRecord shownRecord_;
  std::size_t cursor_ = 0;
  bool addingAccount_ = false;
  // The form as last shown or saved; the form differs from it when the user
  // typed something that no "Update" has saved.
  std::vector<std::string> savedFields_;
  // The editor only shows the accounts: the file cannot be written.
  bool editorReadOnly_ = false;
  // The protocol the form showed before the user changed ProtocolBox.
  MailProtocol formProtocol_ = MailProtocol::pop3;
  // The sign-in under way, the form it is for and the seen-message file
  // name a new account gets; the buttons as they were before it began.
  std::unique_ptr<SignIn> signIn_;
  AccountForm signInForm_;
  std::string signInUidl_;
  std::map<Control, bool> enabledBeforeSignIn_;
  std::string waitingProvider_;
  // The form as last shown (its login is kept when the view has no login
  // controls).
  AccountForm shownForm_;
  std::optional<bool> keyringReachable_;

  // Per account (by name): new mails not looked at yet, and why the last
  // check failed (empty after a check that worked).
  struct AccountTrayState {
    std::int64_t pendingMails = 0;
    std::int64_t pendingBytes = 0;
    std::string failure;         // in a few words
    std::string reason;          // as the check gave it
    std::int64_t lastCheck = 0;  // seconds since 1970
  };
  std::map<std::string, AccountTrayState> trayStates_;
  // The tab a click on the last balloon opens; none: the window only.
  std::optional<MainTab> balloonTab_;
  bool noTrayTold_ = false;

  std::unique_ptr<FileLock> folderLock_;
  std::unique_ptr<ProgramBus> bus_;
  // The accounts file, watched for changes by others while the program runs.
  std::unique_ptr<FileWatch> accountsWatch_;
  // The system's power and network events (ownSystemEvents_ unless a test
  // gave its own).
  std::unique_ptr<SystemEvents> ownSystemEvents_;
  SystemEvents* systemEvents_ = nullptr;
  std::vector<std::pair<std::size_t, ConnectivityListener>> connectivityListeners_;
  std::size_t nextListenerId_ = 1;
  // New-mail balloons held while the round after a resume runs, with the
  // news of their checks.
  struct HeldBalloon {
    std::string account;
    std::string title;
    std::string text;
    std::int64_t newCount = 0;
  };
  bool holdingBalloons_ = false;
  std::vector<HeldBalloon> heldBalloons_;
  bool started_ = false;
  bool settingsFailureShown_ = false;
  // The option boxes' values as last read from the store (ConnErr, Balloon,
  // AllMail, Log).
  std::array<bool, 4> storedBoxes_{};
  bool accountsFailureShown_ = false;
  // A tick is running (its checks wait inside it); a restart of the check
  // timer asked for meanwhile waits until it has ended.
  bool tickRunning_ = false;
  bool timerRestartPending_ = false;
  bool tickSoon_ = false;
  bool exiting_ = false;
  bool exited_ = false;
};

}  // namespace corvel
