// The account editor on the "Accounts" tab: opening and closing it, the
// record buttons and the form. While it is open the accounts file, not the
// table, is the live copy; closing it reloads the table.
#include <algorithm>
#include <optional>
#include <stdexcept>

#include "accounts/account_form.h"
#include "accounts/account_options.h"
#include "accounts/file_io.h"
#include "accounts/oauth_settings.h"
#include "app/auth/account_login.h"
#include "app/main_window.h"

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
constexpr std::string_view kDropChangesQuestion =
    "The changes to this account were not saved with \"Update\". Close the editor and drop "
    "them?";

// The editor's fields, enabled while it is open.
constexpr Control kFields[] = {
    Control::EnableAccChkBx,   Control::AccountNameEdit,  Control::ServerEdit,
    Control::PortEdit,         Control::UserEdit,         Control::PassEdit,
    Control::SecsEdit,         Control::LeaveMailChkBx,   Control::SecurityBox,
    Control::ProtocolBox,      Control::FoldersEdit,      Control::Label1,
    Control::LoginBox,         Control::KeyringChkBx,     Control::ClientIdEdit,
    Control::ClientSecretEdit, Control::AuthUrlEdit,      Control::TokenUrlEdit,
    Control::ScopeEdit,        Control::TokenCommandEdit, Control::btnSignIn,
    Control::QuietChkBx};

}  // namespace

bool MainWindow::EditorOpen() const { return view_.Text(Control::OpenButton) == kCloseCaption; }

std::size_t MainWindow::RecordCount() const { return editorFile_ ? editorFile_->RecordCount() : 0; }

void MainWindow::SetRecordButtons(bool on) {
  for (Control button : {Control::btnDelete, Control::btnClearAuth, Control::btnNew,
                         Control::btnFirst, Control::btnPrev, Control::btnNext, Control::btnLast}) {
    const bool changes = button == Control::btnDelete || button == Control::btnClearAuth ||
                         button == Control::btnNew;
    view_.SetControlEnabled(button, on && !(changes && editorReadOnly_));
  }
}

std::vector<std::string> MainWindow::FormFields() const {
  std::vector<std::string> fields;
  for (Control field : {Control::AccountNameEdit, Control::ServerEdit, Control::PortEdit,
                        Control::UserEdit, Control::PassEdit, Control::SecsEdit,
                        Control::SecurityBox, Control::ProtocolBox, Control::FoldersEdit}) {
    fields.push_back(view_.Text(field));
  }
  for (Control field :
       {Control::LoginBox, Control::ClientIdEdit, Control::ClientSecretEdit, Control::AuthUrlEdit,
        Control::TokenUrlEdit, Control::ScopeEdit, Control::TokenCommandEdit}) {
    fields.push_back(view_.Text(field));
  }
  for (Control box : {Control::EnableAccChkBx, Control::LeaveMailChkBx, Control::KeyringChkBx,
                      Control::QuietChkBx}) {
    fields.push_back(view_.Checked(box) ? "1" : "0");
  }
  return fields;
}

std::uint8_t SecurityModeOfChoice(std::string_view choice) {
  for (std::size_t mode = 0; mode < kSecurityChoices.size(); ++mode) {
    if (kSecurityChoices[mode] == choice) return static_cast<std::uint8_t>(mode);
  }
  return 0;
}

namespace {

MailProtocol ProtocolOfChoice(std::string_view choice) {
  return choice == kProtocolChoices[1] ? MailProtocol::imap : MailProtocol::pop3;
}

}  // namespace

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
  view_.SetText(Control::ProtocolBox, kProtocolChoices[0]);
  view_.SetText(Control::FoldersEdit, kDefaultFolder);
  view_.SetControlVisible(Control::FoldersEdit, false);
  formProtocol_ = MailProtocol::pop3;
  // A new account logs in with a password, kept in the keyring when there
  // is one.
  AccountForm login;
  login.keepInKeyring = forNew && KeyringReachable();
  ShowLogin(login);
  view_.SetText(Control::lblSignIn, "");
  savedFields_ = FormFields();
}

void MainWindow::ShowRecord() {
  editRecord_ = editorFile_->ReadRecord(cursor_);
  shownRecord_ = editRecord_;
  AccountForm form = RecordToForm(editRecord_);
  const AccountOptionsFile options =
      LoadAccountOptions(AccountOptionsFileFor(options_.accountsFile));
  const OptionSection* section = options.Find(editRecord_.PlainUidlFileName());
  ProtocolOptionsToForm(ProtocolOptionsOf(section), form);
  form.quiet = section != nullptr && section->Get(kQuietKey) == "on";
  OAuthSettingsFile oauth(OAuthSettingsFileFor(options_.accountsFile));
  oauth.Load();
  LoginToForm(editRecord_, oauth.Find(editRecord_.PlainUidlFileName()), form);
  ShowForm(form);
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
  view_.SetText(Control::ProtocolBox,
                kProtocolChoices[form.protocol == MailProtocol::imap ? 1 : 0]);
  view_.SetText(Control::FoldersEdit, form.folders);
  view_.SetControlVisible(Control::FoldersEdit, form.protocol == MailProtocol::imap);
  formProtocol_ = form.protocol;
  ShowLogin(form);
  savedFields_ = FormFields();
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
  form.protocol = ProtocolOfChoice(view_.Text(Control::ProtocolBox));
  form.folders = view_.Text(Control::FoldersEdit);
  form.quiet = view_.Checked(Control::QuietChkBx);
  ReadLogin(form);
  return form;
}

void MainWindow::OpenButtonClick() {
  Guarded([this] {
    if (EditorOpen()) {
      // What was typed and not saved with "Update" is not dropped unasked.
      if (!editorReadOnly_ && FormFields() != savedFields_ &&
          !view_.ConfirmYesNo(kDropChangesQuestion)) {
        return;
      }
      CloseEditor();
      return;
    }
    view_.SetText(Control::lblNOTE, kEditorNote);
    view_.SetText(Control::OpenButton, kCloseCaption);
    try {
      // What the checks found goes to the file first. When the file cannot
      // be written the editor shows the accounts all the same, read-only.
      std::string unwritable;
      try {
        SaveLoadedTable(false);
      } catch (const InOutException& e) {
        unwritable = e.what();
        ShowErrorOnce(accountsFailureShown_, unwritable);
      }
      editorReadOnly_ = !unwritable.empty();
      editorFile_.emplace(options_.accountsFile);
      if (editorReadOnly_) {
        // Read without its lock, which cannot be taken either.
        editorFile_->Load();
        view_.SetText(Control::lblNOTE, "The accounts file cannot be written (" + unwritable +
                                            "): the accounts are shown read-only.");
      } else {
        editorFile_->Open();
      }
    } catch (...) {
      // The editor did not open: the file is not held and checking goes on.
      editorFile_.reset();
      editorReadOnly_ = false;
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
    // The editor stops checking, pushed news included.
    UpdatePush();
    view_.SetControlEnabled(Control::btnFirst, false);
    view_.SetControlEnabled(Control::btnPrev, false);
    view_.SetControlEnabled(Control::btnNext, count >= 2);
    view_.SetControlEnabled(Control::btnLast, count >= 2);
    const bool writable = !editorReadOnly_;
    view_.SetControlEnabled(Control::btnNew, writable);
    view_.SetControlEnabled(Control::btnUpdate, writable);
    view_.SetControlEnabled(Control::btnDelete, writable && count >= 1);
    view_.SetControlEnabled(Control::btnClearAuth, writable && count >= 1);
    for (Control field : kFields) view_.SetControlEnabled(field, writable);
    // An empty file: the form is a new account's.
    if (count == 0) {
      view_.SetChecked(Control::KeyringChkBx, KeyringReachable());
      savedFields_ = FormFields();
    }
    view_.SetText(Control::btnUpdate, kUpdateCaption);
  });
}

void MainWindow::CloseEditor() {
  if (SigningIn()) {
    signIn_->Cancel();
    SetEditorBusy(false);
  }
  view_.SetText(Control::OpenButton, kOpenCaption);
  view_.SetText(Control::lblNOTE, "");
  editorFile_.reset();
  editorReadOnly_ = false;
  ClearEditorForm(false);
  for (Control field : kFields) view_.SetControlEnabled(field, false);
  for (Control button :
       {Control::btnFirst, Control::btnPrev, Control::btnNext, Control::btnLast, Control::btnNew,
        Control::btnUpdate, Control::btnDelete, Control::btnClearAuth}) {
    view_.SetControlEnabled(button, false);
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
    if (!editorFile_ || SigningIn()) return;
    SaveForm(ReadForm(), false);
  });
}

std::optional<std::string> MainWindow::FormRefusal(const AccountForm& form, bool signedIn) const {
  if (auto message = MissingFieldMessage(form)) return std::string(*message);
  if (auto message = InvalidFieldMessage(form)) return message;
  return LoginRefusal(form, signedIn);
}

void MainWindow::SaveForm(const AccountForm& form, bool signedIn, const std::string& newUidl) {
  if (auto message = FormRefusal(form, signedIn)) {
    view_.ShowInformation(*message);
    return;
  }

  // A new account is written at the end: after "New", and also when the
  // form was filled in with no record shown (an empty file, or after the
  // last record was deleted).
  const bool appending = addingAccount_ || cursor_ >= editorFile_->RecordCount();
  const AccountRecord before = appending ? AccountRecord{} : shownRecord_;

  AccountRecord record = editRecord_;
  FormToRecord(form, record);
  if (appending) {
    // A new account: nothing of the record shown before carries over
    // beyond the form.
    record.SetLogin(LoginKind::loginPassword);
    record.SetSecretIn(SecretPlace::secretFile);
  }
  if (record.UidlFileName.Empty() || appending) {
    record.SetPlainUidlFileName(
        appending && !newUidl.empty() ? newUidl : MakeUidlFileName(form.name, TickCount()));
  }
  if (appending) {
    record.AuthMethod.Clear();
    record.Elapsed = 0;
  }

  // The change is made to the file as it is under its lock: another process
  // may have changed it since it was shown. The shown account is found by its
  // identity, and only the fields the user changed are written into it.
  const ProtocolOptions protocol = FormToProtocolOptions(form);
  std::optional<std::string_view> refusal;
  std::size_t written = 0;
  try {
    editorFile_->Edit([&](AccountFile& records) {
      const std::size_t count = records.RecordCount();
      std::optional<std::size_t> at;
      if (!appending) {
        at = records.Find(shownRecord_, cursor_);
        if (!at) {
          refusal = kAccountGoneMessage;
          return;
        }
      } else if (count >= kMaxAccounts) {
        refusal = kTooManyAccountsMessage;
        return;
      }
      // Names are compared as the user reads them, with every other record:
      // the shown record may keep its own name.
      if (NameTaken(records, form.name, at)) {
        refusal = kDuplicateNameMessage;
        return;
      }
      // The side files go first: should they fail, the record stays as it
      // was. Another protocol's login method means nothing to this one.
      const std::filesystem::path optionsFile = AccountOptionsFileFor(options_.accountsFile);
      if (protocol.protocol !=
          ProtocolOptionsOf(LoadAccountOptions(optionsFile).Find(record.PlainUidlFileName()))
              .protocol) {
        record.AuthMethod.Clear();
      }
      ApplyLogin(form, before, record, signedIn);
      EditAccountOptions(optionsFile, record.PlainUidlFileName(),
                         [&protocol, &form](OptionSection& section) {
                           StoreProtocolOptions(protocol, section);
                           if (form.quiet) {
                             section.Set(kQuietKey, "on");
                           } else {
                             section.Erase(kQuietKey);
                           }
                         });
      if (at) record = ApplyRecordChange(records.ReadRecord(*at), shownRecord_, record);
      written = at.value_or(count);
      records.WriteRecord(written, record);
    });
  } catch (const KeyringRefusal& e) {
    view_.ShowInformation("The keyring refused: " + std::string(e.what()) +
                          ". Nothing was written.");
    return;
  }
  if (refusal) {
    view_.ShowInformation(*refusal);
    return;
  }
  // What the account no longer uses leaves the keyring. A sign-in filed
  // its tokens under the account as it is now: older ones go.
  SecretStore& keyring = secrets_.Keyring();
  std::string left = ForgetOldKeyringEntry(keyring, before, record);
  if (!signedIn) {
    left += FollowAuthorization(keyring, before, record);
  } else if (before.Login() == LoginKind::loginOAuthBuiltIn &&
             KeyringKeyOf(before, kSecretKindRefreshToken) !=
                 KeyringKeyOf(record, kSecretKindRefreshToken)) {
    left += ForgetAuthorization(keyring, before);
  }
  if (!left.empty()) WriteLog(form.name, left);
  cursor_ = written;
  editRecord_ = record;
  shownRecord_ = record;
  formProtocol_ = protocol.protocol;
  addingAccount_ = false;
  SetRecordButtons(true);
  view_.SetText(Control::btnUpdate, kUpdateCaption);
  // The login as the account now has it: a password kept in the keyring is
  // no longer shown, a client secret never.
  AccountForm shown = form;
  shown.password = record.PlainPassword();
  shown.clientSecret.clear();
  ShowLogin(shown);
  savedFields_ = FormFields();
  BalloonNotify("Account updated", "Account " + form.name + " updated!", kBalloonInfo, 15);
}

void MainWindow::btnDeleteClick() {
  Guarded([this] {
    if (!editorFile_) return;
    if (!view_.ConfirmYesNo(kDeleteQuestion)) return;
    if (cursor_ >= editorFile_->RecordCount()) return;
    // The shown account goes from the file as it is under its lock (found by
    // its identity); one another process deleted already is simply gone.
    std::optional<std::size_t> deletedAt;
    editorFile_->Edit([&](AccountFile& records) {
      deletedAt = records.Find(shownRecord_, cursor_);
      if (deletedAt) records.DeleteRecord(*deletedAt);
    });
    const std::size_t count = editorFile_->RecordCount();
    if (count > 0) {
      // The record that followed moved into its place; after the last one,
      // the new last one is shown.
      cursor_ = std::min(deletedAt.value_or(cursor_), count - 1);
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
  if (editorFile_) {
    editorFile_->Load();
    const std::size_t count = RecordCount();
    if (auto at = editorFile_->Find(shownRecord_, cursor_)) {
      cursor_ = *at;
    } else if (count > 0 && cursor_ >= count) {
      cursor_ = count - 1;
    }
  }
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

void MainWindow::ProtocolBoxChange() {
  Guarded([this] {
    AccountForm form = ReadForm();
    const MailProtocol chosen = form.protocol;
    form.protocol = formProtocol_;
    SwitchProtocol(form, chosen);
    view_.SetText(Control::PortEdit, form.port);
    view_.SetChecked(Control::LeaveMailChkBx, form.leaveMail);
    view_.SetText(Control::FoldersEdit, form.folders);
    view_.SetControlVisible(Control::FoldersEdit, chosen == MailProtocol::imap);
    formProtocol_ = chosen;
  });
}

void MainWindow::SecsEditExit() {
  Guarded([this] {
    view_.SetText(Control::SecsEdit, ClampIntervalText(view_.Text(Control::SecsEdit)));
  });
}

}  // namespace corvel
