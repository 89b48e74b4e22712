// The desktop front-end without a screen (QT_QPA_PLATFORM=offscreen): the
// Qt event loop, the view showing MainWindow's state, the user's actions
// reaching its handlers, and the tray shell's clicks and menu.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTextDocument>
#include <QTimer>
#include <QTreeWidget>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "app/main_window.h"
#include "app/settings/memory_settings_store.h"
#include "qt/logind_sleep_watch.h"
#include "qt/qt_event_loop.h"
#include "qt/qt_main_view.h"
#include "qt/qt_tray_shell.h"
#include "qt_application.h"
#include "support/wait_for.h"
#include "support/working_folder.h"

// Qt's own libraries keep a few allocations until the process ends.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libQt6\nleak:libfontconfig\nleak:libdbus\nleak:libglib\n";
}

namespace corvel::test {
namespace {

QString ShownText(QWidget* widget) {
  if (auto* label = qobject_cast<QLabel*>(widget)) return label->text();
  if (auto* button = qobject_cast<QPushButton*>(widget)) return button->text();
  return qobject_cast<QLineEdit*>(widget)->text();
}

// Answers the next message box the program shows, and records its text (as
// the box shows it).
void AnswerNextBox(QMessageBox::StandardButton answer, QString* text) {
  QTimer::singleShot(0, [answer, text] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr) return AnswerNextBox(answer, text);
    *text = box->textFormat() == Qt::PlainText ? box->text() : QString("rich: ") + box->text();
    box->button(answer)->click();
  });
}

// The text a tooltip or a label in Qt::AutoText shows for `text`.
QString AsShown(const QString& text) {
  QTextDocument document;
  if (Qt::mightBeRichText(text)) {
    document.setHtml(text);
  } else {
    document.setPlainText(text);
  }
  return document.toPlainText();
}

TEST(QtEventLoop, PostsKeepTheirOrderAcrossNestingAndTimersAreNotReentered) {
  App();
  qt::QtEventLoop loop;
  std::vector<int> order;
  loop.Post([&] {
    order.push_back(1);
    loop.ProcessEvents(0);  // a blocking call pumping from inside a task
    order.push_back(3);
  });
  loop.Post([&] { order.push_back(2); });
  std::thread([&] { loop.Post([&] { order.push_back(4); }); }).join();
  ASSERT_TRUE(WaitFor(loop, [&] { return order.size() == 4; }));
  // The nested call ran what was queued, in order, before the task went on.
  EXPECT_EQ(order, (std::vector<int>{1, 2, 4, 3}));

  int entered = 0;
  int inside = 0;
  EventLoop::TimerId id = 0;
  id = loop.StartTimer(1, [&] {
    ++entered;
    ++inside;
    EXPECT_EQ(inside, 1);
    // Pumping inside the handler lets the period pass again.
    WaitFor(
        loop, [] { return false; }, 20);
    --inside;
    if (entered == 2) loop.StopTimer(id);
  });
  ASSERT_TRUE(WaitFor(loop, [&] { return entered == 2; }));

  // Nothing to do: the wait ends at its ceiling and says so.
  EXPECT_FALSE(loop.ProcessEvents(10));
}

TEST(QtEventLoop, ReportsAReadySocketUntilItIsReadOrUnwatched) {
  App();
  qt::QtEventLoop loop;
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  unsigned seen = 0;
  int calls = 0;
  loop.WatchSocket(fds[0], EventLoop::kIoReadable, [&](unsigned ready) {
    seen = ready;
    ++calls;
    char byte;
    if (::read(fds[0], &byte, 1) == 1 && byte == 'q') loop.UnwatchSocket(fds[0]);
  });
  ASSERT_EQ(::write(fds[1], "ab", 2), 2);
  ASSERT_TRUE(WaitFor(loop, [&] { return calls == 2; }));
  EXPECT_EQ(seen & EventLoop::kIoReadable, EventLoop::kIoReadable);
  ASSERT_EQ(::write(fds[1], "q", 1), 1);
  ASSERT_TRUE(WaitFor(loop, [&] { return calls == 3; }));
  ::close(fds[1]);  // hang-up after the unwatch: no further call
  loop.ProcessEvents(20);
  EXPECT_EQ(calls, 3);
  ::close(fds[0]);
}

// The application comes first: the widgets below need it.
struct WithApplication {
  WithApplication() { App(); }
};

class QtFrontEndTest : public ::testing::Test, private WithApplication {
 protected:
  QtFrontEndTest() {
    settings_.Preset(kProgramKey, "SubjectWidth", "140");
    settings_.Preset(kProgramKey, "Log", "True");
  }
  void Start() {
    window_ = std::make_unique<MainWindow>(loop_, view_, shell_, settings_, locale_);
    view_.Attach(*window_);
    shell_.SetMenu(window_->PopupMenu());
    window_->FormCreate();
    view_.show();
    WaitFor(loop_, [&] { return !window_->Flags().FirstPaint; });
  }
  QWidget* W(Control control) { return view_.Widget(control); }

  WorkingFolder folder_;
  qt::QtEventLoop loop_;
  qt::QtMainView view_;
  qt::QtTrayShell shell_{loop_};
  MemorySettingsStore settings_;
  FixedLocaleFormat locale_;
  std::unique_ptr<MainWindow> window_;
};

TEST_F(QtFrontEndTest, TheWindowShowsWhatTheProgramSet) {
  Start();
  EXPECT_EQ(view_.windowTitle(), "Corvel! v0.6");
  EXPECT_EQ(view_.minimumSize(), QSize(400, 517));
  EXPECT_FALSE(view_.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
  QStringList tabs;
  for (int i = 0; i < view_.Tabs()->count(); ++i) tabs << view_.Tabs()->tabText(i);
  EXPECT_EQ(tabs, QStringList({"Accounts", "Settings", "New mail", "Log", "About"}));
  EXPECT_TRUE(ShownText(W(Control::lblAbout)).contains("\nCorvel! v0.6\n"));
  EXPECT_EQ(view_.MailListView()->header()->sectionSize(2), 140);
  EXPECT_TRUE(static_cast<QCheckBox*>(W(Control::LogChkBx))->isChecked());
  EXPECT_TRUE(view_.LogMemo()->isReadOnly());
  EXPECT_EQ(view_.LogMemo()->lineWrapMode(), QPlainTextEdit::NoWrap);
  EXPECT_TRUE(view_.LogMemo()->toPlainText().endsWith("Corvel! v0.6 started..."));
  EXPECT_FALSE(W(Control::AccountNameEdit)->isEnabled());
  // Of the logins' rows only the password's show, with no room kept for the
  // others.
  EXPECT_TRUE(W(Control::PassEdit)->isVisibleTo(&view_));
  for (Control row : kHiddenLoginRows)
    EXPECT_FALSE(W(row)->isVisibleTo(&view_)) << static_cast<int>(row);

  // The log memo holds the model's lines, the cap included.
  for (int i = 0; i < 250; ++i) window_->WriteLog("Home", "line " + std::to_string(i));
  EXPECT_EQ(view_.LogMemo()->document()->blockCount(), 200);
  EXPECT_TRUE(view_.LogMemo()->toPlainText().endsWith("line 249"));

  // Rows show sender and subject decoded from what the server sent.
  window_->Checker().AddMailRow("Home", "=?UTF-8?Q?J=C3=B6rg?=", "x", "Mon", 42, "u1",
                                "=?UTF-8?Q?J=C3=B6rg?=", "=?ISO-8859-2?Q?=B3?=");
  QTreeWidgetItem* row = view_.MailListView()->topLevelItem(0);
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(row->text(1), QString::fromUtf8("J\xC3\xB6rg"));
  EXPECT_EQ(row->text(2), QString::fromUtf8("\xC5\x82"));
  EXPECT_EQ(row->text(4), "42");
  window_->Checker().PrepareMailList();
  EXPECT_EQ(view_.MailListView()->topLevelItemCount(), 0);
}

// What a server sent (a subject, an -ERR text) shows as its own characters,
// never as rich text, and never forges a line of the log.
TEST_F(QtFrontEndTest, ServerTextShowsAsPlainTextInTooltipsBoxesLabelsAndTheLog) {
  Start();
  const std::string subject = "<b>Win</b> <img src=\"http://x.example/t.png\"> &amp; more";
  window_->Checker().AddMailRow("Home", "Ann", subject, "Mon", 42, "u1", "Ann", subject);
  QTreeWidgetItem* row = view_.MailListView()->topLevelItem(0);
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(AsShown(row->toolTip(2)), QString::fromStdString(subject));

  QString boxText;
  AnswerNextBox(QMessageBox::Ok, &boxText);
  view_.ShowError("-ERR <i>locked</i>");
  EXPECT_EQ(boxText, "-ERR <i>locked</i>");
  view_.SetText(Control::lblNOTE, "<h1>Home</h1>");
  EXPECT_EQ(static_cast<QLabel*>(W(Control::lblNOTE))->textFormat(), Qt::PlainText);

  const int lines = view_.LogMemo()->document()->blockCount();
  window_->WriteLog("Home", "-ERR no\r\n[12:00:00] Home: 9 new mails!");
  EXPECT_EQ(view_.LogMemo()->document()->blockCount(), lines + 1);
}

TEST_F(QtFrontEndTest, ClicksReachTheHandlersAndDialogsAnswerThem) {
  Start();
  // A settings box writes its setting.
  static_cast<QCheckBox*>(W(Control::BalloonChkBx))->click();
  EXPECT_EQ(settings_.ReadString(kProgramKey, "Balloon", ""), "True");

  // The editor: open, add an account, refuse an incomplete one, delete.
  static_cast<QPushButton*>(W(Control::OpenButton))->click();
  EXPECT_EQ(ShownText(W(Control::OpenButton)), "Close accts.");
  EXPECT_TRUE(W(Control::AccountNameEdit)->isEnabled());
  EXPECT_FALSE(ShownText(W(Control::lblNOTE)).isEmpty());
  static_cast<QPushButton*>(W(Control::btnNew))->click();
  EXPECT_EQ(ShownText(W(Control::btnUpdate)), "Add acct.");
  QString boxText;
  AnswerNextBox(QMessageBox::Ok, &boxText);
  static_cast<QPushButton*>(W(Control::btnUpdate))->click();
  EXPECT_EQ(boxText, "No account name specified!");
  static_cast<QLineEdit*>(W(Control::AccountNameEdit))->setText(QString::fromUtf8("B\xC3\xBCro"));
  static_cast<QLineEdit*>(W(Control::ServerEdit))->setText("pop.example.org");
  static_cast<QLineEdit*>(W(Control::UserEdit))->setText("ann");
  static_cast<QLineEdit*>(W(Control::PassEdit))->setText("pw");
  // The user's choice of protocol brings its port.
  auto* protocol = static_cast<QComboBox*>(W(Control::ProtocolBox));
  protocol->setCurrentIndex(1);
  emit protocol->activated(1);
  EXPECT_EQ(ShownText(W(Control::PortEdit)), "143");
  static_cast<QPushButton*>(W(Control::btnUpdate))->click();
  EXPECT_EQ(ShownText(W(Control::btnUpdate)), "Update");
  static_cast<QPushButton*>(W(Control::OpenButton))->click();
  ASSERT_EQ(window_->Table().Count(), 1u);
  EXPECT_EQ(window_->Table()[0].PlainAccountName(), "B\xC3\xBCro");
  EXPECT_EQ(window_->Table()[0].Interval, 300);

  static_cast<QPushButton*>(W(Control::OpenButton))->click();
  AnswerNextBox(QMessageBox::Yes, &boxText);
  static_cast<QPushButton*>(W(Control::btnDelete))->click();
  EXPECT_EQ(boxText, "Delete this account?");
  static_cast<QPushButton*>(W(Control::OpenButton))->click();
  EXPECT_EQ(window_->Table().Count(), 0u);
}

TEST_F(QtFrontEndTest, LinuxCaptionsKeysOfTheEditorAndColumnsThatTakeTheRoom) {
  Start();
  EXPECT_EQ(static_cast<QCheckBox*>(W(Control::StartupChkBx))->text(), "Start at login");

  // Enter is "Add acct." / "Update"; Escape closes the editor.
  static_cast<QPushButton*>(W(Control::OpenButton))->click();
  static_cast<QPushButton*>(W(Control::btnNew))->click();
  for (auto [control, text] : {std::pair{Control::AccountNameEdit, "Home"},
                               {Control::ServerEdit, "pop.example.org"},
                               {Control::UserEdit, "ann"},
                               {Control::PassEdit, "pw"}}) {
    static_cast<QLineEdit*>(W(control))->setText(text);
  }
  W(Control::PassEdit)->setFocus();
  const auto press = [](Qt::Key key) { QTest::keyClick(QApplication::focusWidget(), key); };
  view_.activateWindow();
  ASSERT_TRUE(WaitFor(loop_, [&] { return QApplication::focusWidget() == W(Control::PassEdit); }));
  press(Qt::Key_Return);
  EXPECT_EQ(ShownText(W(Control::btnUpdate)), "Update");
  press(Qt::Key_Escape);
  EXPECT_EQ(ShownText(W(Control::OpenButton)), "Open accts.");
  ASSERT_EQ(window_->Table().Count(), 1u);
  EXPECT_EQ(window_->Table()[0].PlainAccountName(), "Home");

  // A wider window widens From and Subject; the stored widths stay.
  view_.SelectTab(MainTab::NewMail);
  view_.resize(800, 517);
  ASSERT_TRUE(WaitFor(loop_, [&] { return view_.MailListView()->viewport()->width() > 700; }));
  QHeaderView* header = view_.MailListView()->header();
  EXPECT_EQ(header->sectionSize(0), 70);
  EXPECT_GT(header->sectionSize(1), 100);
  EXPECT_GT(header->sectionSize(2), 240);
  int shown = 0;
  for (int column = 0; column < 6; ++column) shown += header->sectionSize(column);
  EXPECT_EQ(shown, view_.MailListView()->viewport()->width());
  EXPECT_EQ(view_.ColumnWidth(1), 60);
  EXPECT_EQ(view_.ColumnWidth(2), 140);
}

TEST_F(QtFrontEndTest, WithoutATrayClosingAsksAndNoKeepsTheWindowInTheTaskBar) {
  shell_.AssumeTray(false);
  Start();
  QString question;
  AnswerNextBox(QMessageBox::No, &question);
  view_.close();
  EXPECT_TRUE(question.startsWith("No notification area was found"));
  EXPECT_TRUE(view_.isVisible());
  EXPECT_FALSE(window_->Exited());
  AnswerNextBox(QMessageBox::Yes, &question);
  view_.close();
  EXPECT_TRUE(window_->Exited());
}

TEST_F(QtFrontEndTest, TheTrayHidesRestoresAndEndsTheProgram) {
  shell_.AssumeTray(true);
  Start();
  ASSERT_NE(shell_.Icon(), nullptr);
  view_.close();  // the close button: to the tray
  EXPECT_FALSE(view_.isVisible());
  EXPECT_TRUE(window_->Flags().WindowInTray);
  EXPECT_TRUE(shell_.Icon()->isVisible());
  EXPECT_EQ(shell_.Icon()->toolTip(), "Corvel! v0.6");
  EXPECT_EQ(shell_.Icon()->icon().availableSizes().size(), 5);

  // News while hidden: the icon animates; a click opens the "New mail" tab.
  window_->Checker().ReportNewMail("Home", 2, 300, DetectionKind::SeenList);
  EXPECT_TRUE(window_->Tray()->CycleIcons());
  emit shell_.Icon()->activated(QSystemTrayIcon::Trigger);
  ASSERT_TRUE(WaitFor(loop_, [&] { return view_.isVisible(); }));
  EXPECT_EQ(view_.Tabs()->currentIndex(), 2);
  EXPECT_FALSE(window_->Tray()->CycleIcons());

  // A double click restores; no single click follows it.
  view_.close();
  emit shell_.Icon()->activated(QSystemTrayIcon::Trigger);
  emit shell_.Icon()->activated(QSystemTrayIcon::DoubleClick);
  EXPECT_TRUE(view_.isVisible());
  EXPECT_FALSE(window_->Flags().WindowInTray);

  // The right click's menu: "Restore" (bold, default), "Do not disturb for
  // 1 hour" and "Exit".
  emit shell_.Icon()->activated(QSystemTrayIcon::Context);
  QMenu& menu = shell_.Menu();
  ASSERT_EQ(menu.actions().size(), 3);
  EXPECT_EQ(menu.actions()[0]->text(), "Restore");
  EXPECT_TRUE(menu.actions()[0]->font().bold());
  EXPECT_EQ(menu.defaultAction(), menu.actions()[0]);
  EXPECT_EQ(menu.actions()[1]->text(), "Do not disturb for 1 hour");
  menu.actions()[2]->trigger();
  ASSERT_TRUE(WaitFor(loop_, [&] { return loop_.Terminated(); }));
  EXPECT_TRUE(window_->Exited());
  EXPECT_FALSE(shell_.Icon()->isVisible());
  EXPECT_EQ(settings_.ReadString(kProgramKey, "SubjectWidth", ""), "140");
  EXPECT_EQ(settings_.ReadString(kProgramKey, "H", ""), std::to_string(view_.height()));
}

}  // namespace
}  // namespace corvel::test

namespace corvel::test {
namespace {

// logind's signal on a bus of the test's own.
TEST(LogindSleepWatch, AResumeToldByLogindReachesTheProgram) {
  (void)App();
  WorkingFolder folder;
  const std::string config = "<busconfig><type>system</type><listen>unix:path=" +
                             (std::filesystem::current_path() / "bus").string() +
                             "</listen><policy context=\"default\"><allow send_destination=\"*\" "
                             "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/>"
                             "</policy></busconfig>";
  { std::ofstream("bus.conf") << config; }
  const int daemon = std::system("dbus-daemon --config-file=bus.conf --fork --print-pid > bus.pid");
  if (daemon != 0) GTEST_SKIP() << "dbus-daemon could not start";
  const QString address =
      QStringLiteral("unix:path=") +
      QString::fromStdString((std::filesystem::current_path() / "bus").string());
  qt::QtEventLoop loop;
  ASSERT_TRUE(WaitFor(loop, [] { return std::filesystem::exists("bus"); }));
  int resumes = 0;
  qt::LogindSleepWatch watch([&resumes] { ++resumes; }, address);
  ASSERT_TRUE(watch.Listening());

  QDBusConnection logind = QDBusConnection::connectToBus(address, QStringLiteral("logind"));
  ASSERT_TRUE(logind.registerService(QStringLiteral("org.freedesktop.login1")));
  for (const bool starting : {true, false}) {
    QDBusMessage signal = QDBusMessage::createSignal(
        QStringLiteral("/org/freedesktop/login1"), QStringLiteral("org.freedesktop.login1.Manager"),
        QStringLiteral("PrepareForSleep"));
    signal << starting;
    ASSERT_TRUE(logind.send(signal));
  }
  EXPECT_TRUE(WaitFor(loop, [&resumes] { return resumes == 1; }));
  QDBusConnection::disconnectFromBus(QStringLiteral("logind"));
  QDBusConnection::disconnectFromBus(QStringLiteral("corvel-logind"));
  std::ifstream pid("bus.pid");
  int daemonPid = 0;
  if (pid >> daemonPid && daemonPid > 0) ::kill(daemonPid, SIGTERM);
}

}  // namespace
}  // namespace corvel::test
