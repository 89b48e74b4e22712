// The account editor's login: the choice of how an account logs in (a
// password, kept in the file or in the keyring; Corvel's own sign-in at
// Microsoft, Google or another OAuth2 provider; a token command), the fields
// of each choice, and the sign-in, which waits for the browser on a worker
// while the window and the checks go on.
#include <cctype>

#include "accounts/account_options.h"
#include "app/auth/account_login.h"
#include "app/main_window.h"

namespace corvel {
namespace {

constexpr std::string_view kSignInCaption = "Sign in";
constexpr std::string_view kSignInAgainCaption = "Sign in again";
constexpr std::string_view kCancelCaption = "Cancel";
constexpr std::string_view kKeptInKeyring = "Kept in the system keyring";

// The rules' texts begin in lower case, to follow "corvel: "; a box's text
// begins a sentence.
std::string Sentence(std::string text) {
  if (!text.empty()) text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  return text;
}

// The fields that show for each login.
bool RowShown(Control row, LoginChoice choice) {
  switch (row) {
    case Control::PassEdit:
    case Control::KeyringChkBx:
      return choice == LoginChoice::password;
    case Control::ClientIdEdit:
    case Control::ClientSecretEdit:
    case Control::btnSignIn:
    case Control::lblSignIn:
      return SignsIn(choice);
    case Control::AuthUrlEdit:
    case Control::TokenUrlEdit:
    case Control::ScopeEdit:
      return choice == LoginChoice::otherOAuth;
    case Control::TokenCommandEdit:
      return choice == LoginChoice::tokenCommand;
    default:
      return true;
  }
}

constexpr Control kLoginRows[] = {
    Control::PassEdit,  Control::KeyringChkBx, Control::AuthUrlEdit,      Control::TokenUrlEdit,
    Control::ScopeEdit, Control::ClientIdEdit, Control::ClientSecretEdit, Control::TokenCommandEdit,
    Control::btnSignIn, Control::lblSignIn};

// Every control of the editor a sign-in keeps the user's hands off.
constexpr Control kEditorControls[] = {
    Control::OpenButton,       Control::btnNew,          Control::btnDelete,
    Control::btnPrev,          Control::btnClearAuth,    Control::btnNext,
    Control::btnFirst,         Control::btnUpdate,       Control::btnLast,
    Control::EnableAccChkBx,   Control::AccountNameEdit, Control::ServerEdit,
    Control::PortEdit,         Control::UserEdit,        Control::PassEdit,
    Control::SecsEdit,         Control::LeaveMailChkBx,  Control::SecurityBox,
    Control::ProtocolBox,      Control::FoldersEdit,     Control::LoginBox,
    Control::KeyringChkBx,     Control::ClientIdEdit,    Control::ClientSecretEdit,
    Control::AuthUrlEdit,      Control::TokenUrlEdit,    Control::ScopeEdit,
    Control::TokenCommandEdit, Control::QuietChkBx};

}  // namespace

bool MainWindow::KeyringReachable() {
  if (options_.keyring) return true;
  if (!keyringReachable_) keyringReachable_ = SystemKeyringReachable();
  return *keyringReachable_;
}

void MainWindow::ReadLogin(AccountForm& form) const {
  // A view without the login's controls (or with them disabled) changes
  // nothing of the account's login.
  if (!view_.ControlEnabled(Control::LoginBox)) {
    const AccountForm shown = shownForm_;
    form.login = shown.login;
    form.keepInKeyring = shown.keepInKeyring;
    form.clientId = shown.clientId;
    form.authorizeUrl = shown.authorizeUrl;
    form.tokenUrl = shown.tokenUrl;
    form.scope = shown.scope;
    form.tokenCommand = shown.tokenCommand;
  } else {
    form.login = LoginChoiceOf(view_.Text(Control::LoginBox));
    form.keepInKeyring = view_.Checked(Control::KeyringChkBx);
    form.clientId = view_.Text(Control::ClientIdEdit);
    form.clientSecret = view_.Text(Control::ClientSecretEdit);
    form.authorizeUrl = view_.Text(Control::AuthUrlEdit);
    form.tokenUrl = view_.Text(Control::TokenUrlEdit);
    form.scope = view_.Text(Control::ScopeEdit);
    form.tokenCommand = view_.Text(Control::TokenCommandEdit);
  }
  if (form.login != LoginChoice::password) {
    // An OAuth2 account keeps no password; the field's rule reads the marker.
    form.password = std::string(kOAuthMarker);
  } else if (form.password.empty() && !addingAccount_ &&
             shownRecord_.Login() == LoginKind::loginPassword &&
             shownRecord_.SecretIn() == SecretPlace::secretKeyring) {
    // Nothing typed over the password the keyring keeps: it stays.
    form.password = std::string(kKeyringMarker);
  }
}

void MainWindow::ShowLogin(const AccountForm& form) {
  shownForm_ = form;
  view_.SetText(Control::LoginBox, LoginChoiceCaption(form.login));
  // A marker is no password to show: the field stays empty and says where
  // the secret is.
  const bool kept = form.password == kKeyringMarker || form.password == kOAuthMarker;
  view_.SetText(Control::PassEdit, kept ? std::string_view() : std::string_view(form.password));
  view_.SetPlaceholder(Control::PassEdit,
                       form.password == kKeyringMarker ? kKeptInKeyring : std::string_view());
  view_.SetChecked(Control::KeyringChkBx, form.keepInKeyring);
  view_.SetText(Control::ClientIdEdit, form.clientId);
  view_.SetText(Control::ClientSecretEdit, "");
  view_.SetText(Control::AuthUrlEdit, form.authorizeUrl);
  view_.SetText(Control::TokenUrlEdit, form.tokenUrl);
  view_.SetText(Control::ScopeEdit, form.scope);
  view_.SetText(Control::TokenCommandEdit, form.tokenCommand);
  view_.SetChecked(Control::QuietChkBx, form.quiet);
  std::optional<OAuthSettings> stored;
  if (!addingAccount_ && shownRecord_.Login() == LoginKind::loginOAuthBuiltIn) {
    OAuthSettingsFile file(OAuthSettingsFileFor(options_.accountsFile));
    file.Load();
    stored = file.Find(shownRecord_.PlainUidlFileName());
  }
  view_.SetPlaceholder(Control::ClientSecretEdit,
                       stored && stored->clientSecret == kKeyringMarker
                           ? kKeptInKeyring
                           : std::string_view("Only if the provider gave one"));
  view_.SetPlaceholder(Control::ClientIdEdit, "The ID of your app at the provider");
  view_.SetPlaceholder(Control::TokenCommandEdit, "A program that prints an access token");
  ShowLoginRows(form.login);
}

void MainWindow::ShowLoginRows(LoginChoice choice) {
  for (Control row : kLoginRows) view_.SetControlVisible(row, RowShown(row, choice));
  ShowSignInState();
}

void MainWindow::ShowSignInState() {
  const LoginChoice choice = LoginChoiceOf(view_.Text(Control::LoginBox));
  if (!SignsIn(choice) || SigningIn()) return;
  std::optional<OAuthSettings> stored;
  if (editorFile_ && !addingAccount_ && cursor_ < editorFile_->RecordCount() &&
      shownRecord_.Login() == LoginKind::loginOAuthBuiltIn) {
    OAuthSettingsFile file(OAuthSettingsFileFor(options_.accountsFile));
    try {
      file.Load();
      stored = file.Find(shownRecord_.PlainUidlFileName());
    } catch (const std::exception&) {
    }
  }
  if (!stored || ChoiceOfProvider(stored->provider) != choice) {
    // Corvel ships no client of its own at any provider.
    view_.SetText(Control::lblSignIn,
                  "Not signed in yet. Register Corvel at the provider as a desktop app "
                  "(redirect address http://127.0.0.1) and fill in its client ID.");
    view_.SetText(Control::btnSignIn, kSignInCaption);
    return;
  }
  const std::string provider = ProviderDisplayName(*stored);
  const auto state = trayStates_.find(shownRecord_.PlainAccountName());
  const bool lost = state != trayStates_.end() && AuthorizationLost(state->second.reason);
  view_.SetText(Control::lblSignIn, lost ? "The sign-in with " + provider +
                                               " has expired or was revoked: sign in again."
                                         : "Signed in with " + provider + ".");
  view_.SetText(Control::btnSignIn, kSignInAgainCaption);
}

void MainWindow::LoginBoxChange() {
  Guarded([this] {
    const LoginChoice choice = LoginChoiceOf(view_.Text(Control::LoginBox));
    // A new password account is kept in the keyring when there is one.
    if (choice == LoginChoice::password && shownForm_.login != LoginChoice::password &&
        view_.Text(Control::PassEdit).empty()) {
      view_.SetChecked(Control::KeyringChkBx, KeyringReachable());
    }
    shownForm_.login = choice;
    ShowLoginRows(choice);
  });
}

std::optional<std::string> MainWindow::LoginRefusal(const AccountForm& form, bool signedIn) const {
  if (form.login == LoginChoice::tokenCommand) {
    if (form.tokenCommand.empty()) return "No token command specified!";
    if (auto refused = TokenCommandRefusal(form.tokenCommand)) return Sentence(*refused) + "!";
    return std::nullopt;
  }
  if (!SignsIn(form.login)) return std::nullopt;
  std::string why;
  const auto settings = SignInSettings(form, why);
  if (!settings) return Sentence(why) + "!";
  if (signedIn) return std::nullopt;
  // Writing the account without a sign-in keeps the one it has: only when
  // it is signed in that way already.
  if (!addingAccount_ && shownRecord_.Login() == LoginKind::loginOAuthBuiltIn) {
    OAuthSettingsFile file(OAuthSettingsFileFor(options_.accountsFile));
    file.Load();
    const auto stored = file.Find(shownRecord_.PlainUidlFileName());
    if (stored && SameSignIn(*stored, *settings)) return std::nullopt;
  }
  return "Click \"Sign in\" to sign in with " + ProviderDisplayName(*settings) +
         ": the account is written once the provider has let Corvel in.";
}

void MainWindow::ApplyLogin(const AccountForm& form, const AccountRecord& before,
                            AccountRecord& record, bool signedIn) {
  const auto setLogin = [&record](LoginKind kind) {
    if (record.Login() == kind) return;
    // Another kind of login means the method found for the old one is of no
    // use.
    record.SetLogin(kind);
    record.AuthMethod.Clear();
  };
  if (form.login == LoginChoice::password) {
    setLogin(LoginKind::loginPassword);
    const std::optional<std::string> typed =
        form.password == kKeyringMarker ? std::nullopt : std::optional<std::string>(form.password);
    PlacePassword(secrets_.Keyring(), before, record, typed, form.keepInKeyring);
    return;
  }
  OAuthSettingsFile file(OAuthSettingsFileFor(options_.accountsFile));
  file.Load();
  OAuthSettings entry = file.Find(record.PlainUidlFileName()).value_or(OAuthSettings{});
  if (form.login == LoginChoice::tokenCommand) {
    entry.command = form.tokenCommand;
    setLogin(LoginKind::loginOAuthCommand);
  } else {
    if (signedIn) {
      std::string why;
      OAuthSettings settings = SignInSettings(form, why).value_or(OAuthSettings{});
      settings.command = entry.command;
      settings.clientSecret = form.clientSecret.empty() ? "" : std::string(kKeyringMarker);
      entry = settings;
    }
    setLogin(LoginKind::loginOAuthBuiltIn);
  }
  file.Set(record.PlainUidlFileName(), entry);
  file.Save();
  record.SetPlainPassword(kOAuthMarker);
  record.SetSecretIn(SecretPlace::secretFile);
}

void MainWindow::SetEditorBusy(bool busy) {
  if (busy) {
    enabledBeforeSignIn_.clear();
    for (Control control : kEditorControls) {
      enabledBeforeSignIn_[control] = view_.ControlEnabled(control);
      view_.SetControlEnabled(control, false);
    }
    return;
  }
  for (const auto& [control, enabled] : enabledBeforeSignIn_) {
    view_.SetControlEnabled(control, enabled);
  }
  enabledBeforeSignIn_.clear();
}

void MainWindow::btnSignInClick() {
  Guarded([this] {
    if (!editorFile_) return;
    if (SigningIn()) {
      signIn_->Cancel();
      SetEditorBusy(false);
      ShowSignInState();
      view_.SetText(Control::lblSignIn, "The sign-in was cancelled.");
      return;
    }
    AccountForm form = ReadForm();
    if (!SignsIn(form.login)) return;
    if (auto message = FormRefusal(form, true)) {
      view_.ShowInformation(*message);
      return;
    }
    const bool appending = addingAccount_ || cursor_ >= editorFile_->RecordCount();
    // What the file would refuse afterwards is refused before the browser's
    // round (and again when the account is written).
    if (NameTaken(*editorFile_, form.name,
                  appending ? std::nullopt : std::optional<std::size_t>(cursor_))) {
      view_.ShowInformation(kDuplicateNameMessage);
      return;
    }
    if (appending && editorFile_->RecordCount() >= kMaxAccounts) {
      view_.ShowInformation(kTooManyAccountsMessage);
      return;
    }
    std::string why;
    SignInRequest request;
    request.settings = *SignInSettings(form, why);
    request.timeoutMs = options_.signInTimeoutMs;
    request.openBrowser = options_.openBrowser;
    request.account = appending ? AccountRecord{} : shownRecord_;
    FormToRecord(form, request.account);
    signInUidl_.clear();
    if (appending || request.account.UidlFileName.Empty()) {
      signInUidl_ = MakeUidlFileName(form.name, TickCount());
      request.account.SetPlainUidlFileName(signInUidl_);
    }
    request.clientSecret = form.clientSecret;
    if (form.clientSecret.empty() && !appending &&
        shownRecord_.Login() == LoginKind::loginOAuthBuiltIn) {
      // The client secret kept for the account is sent again.
      OAuthSettingsFile file(OAuthSettingsFileFor(options_.accountsFile));
      file.Load();
      const auto stored = file.Find(shownRecord_.PlainUidlFileName());
      if (stored && stored->clientSecret == kKeyringMarker) {
        request.storedClientSecretOf = shownRecord_;
        form.clientSecret = std::string(kKeyringMarker);
      }
    }
    const std::string provider = ProviderDisplayName(request.settings);
    if (!signIn_) {
      signIn_ = std::make_unique<SignIn>(loop_, secrets_.Keyring());
      signIn_->OnWaiting = [this](const std::string& url, const std::string& whyNotOpened) {
        view_.SetText(Control::lblSignIn,
                      whyNotOpened.empty()
                          ? "Sign in at " + waitingProvider_ +
                                " in the browser; Corvel waits for it to come back."
                          : "No browser could be opened (" + whyNotOpened +
                                "). Open this address to sign in at " + waitingProvider_ + ":\n" +
                                url);
      };
      signIn_->OnDone = [this](const SignInOutcome& outcome) { SignInFinished(outcome); };
    }
    signInForm_ = form;
    waitingProvider_ = provider;
    SetEditorBusy(true);
    view_.SetControlEnabled(Control::btnSignIn, true);
    view_.SetText(Control::btnSignIn, kCancelCaption);
    view_.SetText(Control::lblSignIn, "Opening the browser at " + provider + "\u2026");
    signIn_->Start(std::move(request));
  });
}

void MainWindow::SignInFinished(const SignInOutcome& outcome) {
  Guarded([&] {
    SetEditorBusy(false);
    if (!outcome.ok) {
      ShowSignInState();
      view_.SetText(Control::lblSignIn, "Not signed in: " + outcome.reason);
      return;
    }
    SaveForm(signInForm_, true, signInUidl_);
  });
}

}  // namespace corvel
