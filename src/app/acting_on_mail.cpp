// Acting on new mail from where it is told: the tray menu, a notification's
// actions and the "New mail" list open the user's mail program or take the
// news as seen; "Do not disturb" keeps the program quiet for an hour; an
// account may keep quiet for good.
#include <ctime>

#include "accounts/account_options.h"
#include "app/main_window.h"

namespace corvel {

std::string MainWindow::MailProgramLine() const {
  try {
    return settings_.ReadString(kProgramKey, kMailProgramValueName, "");
  } catch (const std::exception&) {
    return {};  // a store that cannot be read has no mail program to offer
  }
}

void MainWindow::BuildPopupMenu() {
  popUp_.items.clear();
  popUp_.items.push_back(TrayMenuItem{"Restore", true, [this] { Restore1Click(); }});
  if (started_ && !MailProgramLine().empty()) {
    popUp_.items.push_back(TrayMenuItem{std::string(kOpenMailProgramCaption), false,
                                        [this] { OpenMailProgramClick(); }});
  }
  popUp_.items.push_back(TrayMenuItem{DoNotDisturb()
                                          ? "End \"Do not disturb\" (until " + dndUntil_ + ")"
                                          : std::string(kDoNotDisturbCaption),
                                      false, [this] { DoNotDisturbClick(); }});
  popUp_.items.push_back(TrayMenuItem{"Exit", false, [this] { Exit1Click(); }});
  shell_.MenuChanged(popUp_);
}

void MainWindow::OpenMailProgramClick() {
  Guarded([this] {
    const std::string line = MailProgramLine();
    if (line.empty()) {
      WriteLog("", "No mail program is set: corvel settings set MailProgram 'COMMAND'");
      return;
    }
    if (mailProgram_.Open(line)) NewsLookedAt();
  });
}

void MainWindow::MailRowDblClick(std::size_t row) {
  if (row >= mailList_.Count() || MailProgramLine().empty()) return;
  OpenMailProgramClick();
}

void MainWindow::MarkAsSeenClick() {
  Guarded([this] {
    if (flags_.NewMailPending) NewsLookedAt();
  });
}

void MainWindow::DoNotDisturbClick() {
  Guarded([this] {
    if (DoNotDisturb()) {
      EndDoNotDisturb();
      return;
    }
    std::tm until = options_.clock();
    until.tm_sec += static_cast<int>(options_.doNotDisturbMs / 1000);
    std::mktime(&until);
    dndUntil_ = localeFormat_.LongTime(until);
    dndTimer_ = loop_.StartTimer(options_.doNotDisturbMs, [this] { EndDoNotDisturb(); });
    // The animation stops; the icon says why nothing moves.
    SetMailAnimation(false);
    if (tray_) tray_->SetIcon(TrayPicture::kDoNotDisturb);
    WriteLog("", "Do not disturb until " + dndUntil_);
    BuildPopupMenu();
    UpdateTrayHint();
  });
}

void MainWindow::EndDoNotDisturb() {
  if (dndTimer_ == 0) return;
  loop_.StopTimer(dndTimer_);
  dndTimer_ = 0;
  WriteLog("", "Do not disturb has ended");
  // News that came meanwhile and are not looked at yet move the icon again.
  SetMailAnimation(flags_.NewMailPending && flags_.WindowInTray);
  BuildPopupMenu();
  UpdateTrayHint();
}

bool MainWindow::AccountQuiet(std::string_view account) const {
  for (std::size_t i = 0; i < table_.Count(); ++i) {
    if (table_[i].PlainAccountName() != account) continue;
    try {
      const AccountOptionsFile options =
          LoadAccountOptions(AccountOptionsFileFor(options_.accountsFile));
      const OptionSection* section = options.Find(table_[i].PlainUidlFileName());
      return section != nullptr && section->Get(kQuietKey) == "on";
    } catch (const std::exception&) {
      return false;  // an unreadable side file keeps no balloon back
    }
  }
  return false;
}

}  // namespace corvel
