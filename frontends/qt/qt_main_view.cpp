#include "qt/qt_main_view.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QTabWidget>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <functional>
#include <limits>

#include "app/main_window.h"
#include "app/text/display_text.h"

namespace corvel::qt {

namespace {

constexpr std::size_t kTraceLines = 100;
constexpr int kMinInterval = 10;

QString Shown(std::string_view bytes) {
  QString text = QString::fromStdString(DisplayText(bytes));
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return text;
}

// A check box whose caption wraps (the window is only 400 pixels wide);
// clicking the caption clicks the box.
QWidget* WrappedCheckBox(QCheckBox* box, const QString& caption, QWidget* parent) {
  auto* row = new QWidget(parent);
  auto* layout = new QHBoxLayout(row);
  layout->setContentsMargins(0, 0, 0, 0);
  auto* label = new QLabel(caption, row);
  label->setWordWrap(true);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  label->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
  label->setProperty("clicks", QVariant::fromValue<QObject*>(box));
  layout->addWidget(box, 0, Qt::AlignTop);
  layout->addWidget(label, 1, Qt::AlignTop);
  return row;
}

// Clicks on a wrapped caption reach its box.
class CaptionClicks final : public QObject {
 public:
  using QObject::QObject;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::MouseButtonRelease) {
      if (auto* box = qobject_cast<QCheckBox*>(watched->property("clicks").value<QObject*>())) {
        if (box->isEnabled()) box->click();
        return true;
      }
    }
    return false;
  }
};

}  // namespace

// ---------------------------------------------------------------- interval box

QString IntervalSpinBox::Text() const { return lineEdit()->text(); }

void IntervalSpinBox::SetText(const QString& text) { lineEdit()->setText(text); }

QValidator::State IntervalSpinBox::validate(QString& input, int& /*pos*/) const {
  static const QRegularExpression kDigitsAndSigns(QStringLiteral("^[-+0-9]*$"));
  return kDigitsAndSigns.match(input).hasMatch() ? QValidator::Acceptable : QValidator::Invalid;
}

void IntervalSpinBox::stepBy(int steps) {
  bool ok = false;
  const qint64 value = Text().toLongLong(&ok);
  const qint64 stepped = std::clamp<qint64>((ok ? value : kMinInterval) + steps, kMinInterval,
                                            std::numeric_limits<std::int32_t>::max());
  SetText(QString::number(stepped));
}

QAbstractSpinBox::StepEnabled IntervalSpinBox::stepEnabled() const {
  return isEnabled() ? (StepUpEnabled | StepDownEnabled) : StepNone;
}

// ---------------------------------------------------------------- the window

QtMainView::QtMainView() {
  setMinimumSize(kMinWidth, kMinHeight);
  resize(kMinWidth, kMinHeight);
  // System menu and minimise button, no maximise button.
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                 Qt::CustomizeWindowHint);
  Build();
}

// The main window is made after the view and goes before it; the handlers it
// holds go with it.
QtMainView::~QtMainView() = default;

void QtMainView::Build() {
  tabs_ = new QTabWidget(this);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(4, 4, 4, 4);
  layout->addWidget(tabs_);

  tabs_->addTab(BuildAccountsTab(), QStringLiteral("Accounts"));
  tabs_->addTab(BuildSettingsTab(), QStringLiteral("Settings"));

  mailList_ = new QTreeWidget(tabs_);
  mailList_->setColumnCount(kMailColumnCount);
  mailList_->setHeaderLabels({QStringLiteral("Account"), QStringLiteral("From"),
                              QStringLiteral("Subject"), QStringLiteral("Date"),
                              QStringLiteral("Bytes"), QStringLiteral("UIDL")});
  mailList_->setRootIsDecorated(false);
  mailList_->setUniformRowHeights(true);
  mailList_->setAllColumnsShowFocus(true);
  mailList_->header()->setStretchLastSection(false);
  // A column the user drags keeps that width (less the room the window
  // gives it), and is stored so.
  connect(mailList_->header(), &QHeaderView::sectionResized, this,
          [this](int column, int /*oldSize*/, int newSize) {
            if (fitting_ || column < 0 || column >= static_cast<int>(kMailColumnCount)) return;
            storedWidths_[static_cast<std::size_t>(column)] =
                std::max(newSize - extraWidths_[static_cast<std::size_t>(column)], 1);
          });
  mailList_->viewport()->installEventFilter(this);
  // A double click on a row opens the mail program (when one is set).
  connect(mailList_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
    if (window_ != nullptr) {
      window_->MailRowDblClick(static_cast<std::size_t>(mailList_->indexOfTopLevelItem(item)));
    }
  });
  FitColumns();
  tabs_->addTab(mailList_, QStringLiteral("New mail"));

  logMemo_ = new QPlainTextEdit(tabs_);
  logMemo_->setReadOnly(true);
  logMemo_->setLineWrapMode(QPlainTextEdit::NoWrap);
  tabs_->addTab(logMemo_, QStringLiteral("Log"));

  auto* about = new QLabel(tabs_);
  about->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  about->setWordWrap(true);
  widgets_[Index(Control::lblAbout)] = about;
  tabs_->addTab(about, QStringLiteral("About"));
}

void QtMainView::FitColumns() {
  // The stored widths, and the room a wider window gives shared by From and
  // Subject in the ratio of their widths.
  constexpr std::size_t kFrom = 1;
  constexpr std::size_t kSubject = 2;
  int stored = 0;
  for (int width : storedWidths_) stored += width;
  const int room = std::max(mailList_->viewport()->width() - stored, 0);
  const int shared = std::max(storedWidths_[kFrom] + storedWidths_[kSubject], 1);
  extraWidths_.fill(0);
  extraWidths_[kFrom] = room * storedWidths_[kFrom] / shared;
  extraWidths_[kSubject] = room - extraWidths_[kFrom];
  fitting_ = true;
  for (std::size_t column = 0; column < kMailColumnCount; ++column) {
    mailList_->header()->resizeSection(static_cast<int>(column),
                                       storedWidths_[column] + extraWidths_[column]);
  }
  fitting_ = false;
}

bool QtMainView::eventFilter(QObject* watched, QEvent* event) {
  if (mailList_ != nullptr && watched == mailList_->viewport() && event->type() == QEvent::Resize) {
    FitColumns();
  }
  return QWidget::eventFilter(watched, event);
}

QWidget* QtMainView::BuildAccountsTab() {
  auto* page = new QWidget(tabs_);
  auto* layout = new QVBoxLayout(page);
  layout->setContentsMargins(4, 4, 4, 4);

  // The fields scroll when a login with many of them does not fit the
  // window; the buttons and the note stay in sight below them.
  auto* scroll = new QScrollArea(page);
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  auto* fields = new QWidget(scroll);
  auto* fieldsLayout = new QVBoxLayout(fields);
  fieldsLayout->setContentsMargins(0, 0, 0, 0);
  fieldsLayout->setSpacing(3);
  scroll->setWidget(fields);
  layout->addWidget(scroll, 1);

  // One row per field: its caption in a column as wide as the widest, the
  // field beside it. A row the program hides takes no room.
  const char* const kCaptions[] = {
      "Account name:", "Protocol:", "Server:",         "Port:",
      "User:",         "Login:",    "Pass:",           "Authorization URL:",
      "Token URL:",    "Scope:",    "Client ID:",      "Client secret:",
      "Command:",      "Security:", "Folders (IMAP):", "Interval in seconds:"};
  int captionWidth = 0;
  for (const char* caption : kCaptions) {
    captionWidth =
        std::max(captionWidth, fontMetrics().horizontalAdvance(QString::fromUtf8(caption)));
  }
  captionWidth += 8;
  auto addRow = [&](Control control, QWidget* caption, QWidget* field) {
    auto* row = new QWidget(fields);
    auto* rowLayout = new QHBoxLayout(row);
    rowLayout->setContentsMargins(0, 0, 0, 0);
    if (caption != nullptr) {
      caption->setFixedWidth(captionWidth);
      rowLayout->addWidget(caption);
    }
    rowLayout->addWidget(field, 1);
    fieldsLayout->addWidget(row);
    rows_[Index(control)] = row;
    return row;
  };
  auto caption = [&](const char* text) { return new QLabel(QString::fromUtf8(text), fields); };
  auto addEdit = [&](Control control, const char* label) {
    auto* edit = new QLineEdit(fields);
    widgets_[Index(control)] = edit;
    addRow(control, caption(label), edit);
    return edit;
  };
  auto addChoices = [&](Control control, const char* label, const auto& choices) {
    auto* box = new QComboBox(fields);
    for (std::string_view choice : choices) {
      box->addItem(QString::fromUtf8(choice.data(), static_cast<qsizetype>(choice.size())));
    }
    widgets_[Index(control)] = box;
    addRow(control, caption(label), box);
    return box;
  };
  auto addBox = [&](Control control, const char* text) {
    auto* box = new QCheckBox(QString::fromUtf8(text), fields);
    widgets_[Index(control)] = box;
    addRow(control, nullptr, box);
    return box;
  };

  addBox(Control::EnableAccChkBx, "Enable this account");
  addEdit(Control::AccountNameEdit, "Account name:");
  protocolBox_ = addChoices(Control::ProtocolBox, "Protocol:", kProtocolChoices);
  addEdit(Control::ServerEdit, "Server:");
  addEdit(Control::PortEdit, "Port:")->setText(QStringLiteral("110"));
  addEdit(Control::UserEdit, "User:");
  loginBox_ = addChoices(Control::LoginBox, "Login:", kLoginChoices);
  addEdit(Control::PassEdit, "Pass:")->setEchoMode(QLineEdit::Password);
  addBox(Control::KeyringChkBx, "Keep the password in the system keyring");
  addEdit(Control::AuthUrlEdit, "Authorization URL:");
  addEdit(Control::TokenUrlEdit, "Token URL:");
  addEdit(Control::ScopeEdit, "Scope:");
  addEdit(Control::ClientIdEdit, "Client ID:");
  addEdit(Control::ClientSecretEdit, "Client secret:")->setEchoMode(QLineEdit::Password);
  addEdit(Control::TokenCommandEdit, "Command:");
  // The sign-in: its button, and below it what it is doing or came to (an
  // address to open by hand can be copied from there).
  auto* signIn = new QPushButton(QStringLiteral("Sign in"), fields);
  signIn->setAutoDefault(false);
  widgets_[Index(Control::btnSignIn)] = signIn;
  auto* signInButtons = new QWidget(fields);
  auto* signInButtonsLayout = new QHBoxLayout(signInButtons);
  signInButtonsLayout->setContentsMargins(0, 0, 0, 0);
  signInButtonsLayout->addWidget(signIn);
  signInButtonsLayout->addStretch(1);
  addRow(Control::btnSignIn, new QWidget(fields), signInButtons);
  signInState_ = new QPlainTextEdit(fields);
  signInState_->setReadOnly(true);
  signInState_->setFrameShape(QFrame::NoFrame);
  signInState_->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  signInState_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  signInState_->viewport()->setAutoFillBackground(false);
  signInState_->setFixedHeight(signInState_->fontMetrics().lineSpacing() * 4 + 8);
  signInState_->setFocusPolicy(Qt::ClickFocus);
  widgets_[Index(Control::lblSignIn)] = signInState_;
  addRow(Control::lblSignIn, nullptr, signInState_);
  securityBox_ = addChoices(Control::SecurityBox, "Security:", kSecurityChoices);
  addEdit(Control::FoldersEdit, "Folders (IMAP):")->setText(QStringLiteral("INBOX"));
  auto* intervalLabel = new QLabel(QStringLiteral("Interval in seconds:"), fields);
  widgets_[Index(Control::Label1)] = intervalLabel;
  secsEdit_ = new IntervalSpinBox(fields);
  secsEdit_->SetText(QStringLiteral("300"));
  widgets_[Index(Control::SecsEdit)] = secsEdit_;
  addRow(Control::SecsEdit, intervalLabel, secsEdit_);
  addBox(Control::LeaveMailChkBx, "I leave my mail on the server");
  addBox(Control::QuietChkBx, "Quiet: no balloons for this account");
  fieldsLayout->addStretch(1);
  fieldsScroll_ = scroll;

  // Three rows of three buttons.
  auto* buttons = new QGridLayout();
  const std::pair<Control, const char*> kButtons[9] = {{Control::OpenButton, "Open accts."},
                                                       {Control::btnNew, "New"},
                                                       {Control::btnDelete, "Delete"},
                                                       {Control::btnPrev, "Previous"},
                                                       {Control::btnClearAuth, "Clear AUTH"},
                                                       {Control::btnNext, "Next"},
                                                       {Control::btnFirst, "First"},
                                                       {Control::btnUpdate, "Update"},
                                                       {Control::btnLast, "Last"}};
  for (int i = 0; i < 9; ++i) {
    auto* button = new QPushButton(QString::fromUtf8(kButtons[i].second), page);
    button->setAutoDefault(false);
    widgets_[Index(kButtons[i].first)] = button;
    buttons->addWidget(button, i / 3, i % 3);
  }
  layout->addLayout(buttons);

  auto* note = new QLabel(page);
  note->setAlignment(Qt::AlignCenter);
  note->setWordWrap(true);
  widgets_[Index(Control::lblNOTE)] = note;
  layout->addWidget(note);

  // The editor is closed at start: every field and button but "Open accts."
  // is disabled; of the logins' fields only the password's show.
  for (Control control : kEditorFieldsAndButtons) {
    widgets_[Index(control)]->setEnabled(false);
  }
  for (Control control : kHiddenLoginRows) SetControlVisible(control, false);
  return page;
}

QWidget* QtMainView::BuildSettingsTab() {
  auto* page = new QWidget(tabs_);
  auto* layout = new QVBoxLayout(page);
  auto* clicks = new CaptionClicks(page);
  const std::pair<Control, const char*> kBoxes[5] = {
      // The stored value keeps its name; on Linux it is the session's
      // autostart entry.
      {Control::StartupChkBx, "Start at login"},
      {Control::ConnErrChkBx, "Tell me once when I can't connect"},
      {Control::LogChkBx, "Log stuff that's going on"},
      {Control::AllMailChkBx,
       "Show me all the new mail and not just an overview in the \"New mail\" tab"},
      {Control::BalloonChkBx, "Pop up balloon box when you've got mail"}};
  for (const auto& [control, caption] : kBoxes) {
    auto* box = new QCheckBox(page);
    widgets_[Index(control)] = box;
    const QString text = QString::fromUtf8(caption);
    if (box->fontMetrics().horizontalAdvance(text) < kMinWidth - 80) {
      box->setText(text);
      layout->addWidget(box);
      continue;
    }
    // Too long for the narrowest window: the caption wraps.
    box->setAccessibleName(text);
    QWidget* row = WrappedCheckBox(box, text, page);
    row->findChild<QLabel*>()->installEventFilter(clicks);
    layout->addWidget(row);
  }
  layout->addStretch(1);
  return page;
}

void QtMainView::Attach(MainWindow& window) {
  window_ = &window;
  window.LogMemo().OnLineAppended = [this](const std::string& line) {
    // A line break or an escape a server sent would forge lines of the log.
    logMemo_->appendPlainText(QString::fromStdString(WithoutControls(DisplayText(line))));
  };
  window.LogMemo().OnFirstLineRemoved = [this] {
    QTextCursor cursor(logMemo_->document());
    cursor.movePosition(QTextCursor::Start);
    cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
  };
  window.MailList().OnChanged = [this](NewMailList::Change change, std::size_t index) {
    switch (change) {
      case NewMailList::Change::Cleared:
        mailList_->clear();
        break;
      case NewMailList::Change::Appended: {
        QStringList columns;
        for (const std::string& column : DisplayColumns(window_->MailList().Rows()[index])) {
          columns << QString::fromStdString(column);
        }
        auto* item = new QTreeWidgetItem(columns);
        // The columns are narrow; the whole text shows on hovering. A tooltip
        // that looks like HTML is shown as HTML: a subject is made rich text
        // that shows exactly the subject's characters.
        for (int column = 0; column < columns.size(); ++column) {
          item->setToolTip(column, Qt::convertFromPlainText(columns[column], Qt::WhiteSpaceNormal));
        }
        item->setTextAlignment(4, Qt::AlignRight | Qt::AlignVCenter);
        mailList_->addTopLevelItem(item);
        break;
      }
      case NewMailList::Change::Deleted:
        delete mailList_->takeTopLevelItem(static_cast<int>(index));
        break;
    }
  };

  for (Control box : {Control::StartupChkBx, Control::ConnErrChkBx, Control::LogChkBx,
                      Control::AllMailChkBx, Control::BalloonChkBx}) {
    connect(static_cast<QCheckBox*>(Widget(box)), &QCheckBox::clicked, this,
            [this, box] { window_->CheckBoxClicked(box); });
  }
  MainWindow* w = window_;
  const std::pair<Control, std::function<void()>> kHandlers[9] = {
      {Control::OpenButton, [w] { w->OpenButtonClick(); }},
      {Control::btnNew, [w] { w->btnNewClick(); }},
      {Control::btnDelete, [w] { w->btnDeleteClick(); }},
      {Control::btnPrev, [w] { w->btnPrevClick(); }},
      {Control::btnClearAuth, [w] { w->btnClearAuthClick(); }},
      {Control::btnNext, [w] { w->btnNextClick(); }},
      {Control::btnFirst, [w] { w->btnFirstClick(); }},
      {Control::btnUpdate, [w] { w->btnUpdateClick(); }},
      {Control::btnLast, [w] { w->btnLastClick(); }}};
  for (const auto& entry : kHandlers) {
    connect(static_cast<QPushButton*>(Widget(entry.first)), &QPushButton::clicked, this,
            entry.second);
  }
  connect(secsEdit_, &QAbstractSpinBox::editingFinished, this, [this] { window_->SecsEditExit(); });
  // Only the user's choice: the program's own SetText changes no port.
  connect(protocolBox_, &QComboBox::activated, this, [this] { window_->ProtocolBoxChange(); });
  connect(loginBox_, &QComboBox::activated, this, [this] { window_->LoginBoxChange(); });
  connect(static_cast<QPushButton*>(Widget(Control::btnSignIn)), &QPushButton::clicked, this,
          [this] { window_->btnSignInClick(); });

  // In the editor, Enter is "Update" (or "Add acct.") where that is enabled,
  // and Escape closes the editor.
  QWidget* editor = tabs_->widget(static_cast<int>(MainTab::Accounts));
  for (const QKeySequence& keys : {QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)}) {
    auto* enter = new QShortcut(keys, editor, nullptr, nullptr, Qt::WidgetWithChildrenShortcut);
    connect(enter, &QShortcut::activated, this, [this] {
      auto* update = static_cast<QPushButton*>(Widget(Control::btnUpdate));
      if (!update->isEnabled()) return;
      // The interval is kept within its range first, as leaving the box does.
      if (secsEdit_->hasFocus()) window_->SecsEditExit();
      update->click();
    });
  }
  auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), editor, nullptr, nullptr,
                               Qt::WidgetWithChildrenShortcut);
  connect(escape, &QShortcut::activated, this, [this] {
    if (window_->EditorOpen()) static_cast<QPushButton*>(Widget(Control::OpenButton))->click();
  });
}

// ---------------------------------------------------------------- MainView

void QtMainView::SetApplicationTitle(std::string_view title) { applicationTitle_ = Shown(title); }

void QtMainView::SetCaption(std::string_view caption) { setWindowTitle(Shown(caption)); }

WindowBounds QtMainView::Bounds() const { return {height(), width(), y(), x()}; }

void QtMainView::SetHeight(int height) { resize(width(), height); }
void QtMainView::SetWidth(int width) { resize(width, height()); }
void QtMainView::SetTop(int top) { move(x(), top); }
void QtMainView::SetLeft(int left) { move(left, y()); }

MainTab QtMainView::CurrentTab() const { return static_cast<MainTab>(tabs_->currentIndex()); }

void QtMainView::SelectTab(MainTab tab) { tabs_->setCurrentIndex(static_cast<int>(tab)); }

void QtMainView::Minimize() { showMinimized(); }

bool QtMainView::Checked(Control box) const {
  const auto* check = qobject_cast<const QCheckBox*>(Widget(box));
  return check != nullptr && check->isChecked();
}

void QtMainView::SetChecked(Control box, bool checked) {
  if (auto* check = qobject_cast<QCheckBox*>(Widget(box))) check->setChecked(checked);
}

std::string QtMainView::Text(Control control) const {
  QWidget* widget = Widget(control);
  QString shown;
  if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
    shown = edit->text();
  } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
    shown = button->text();
  } else if (auto* label = qobject_cast<QLabel*>(widget)) {
    shown = label->text();
  } else if (auto* combo = qobject_cast<QComboBox*>(widget)) {
    shown = combo->currentText();
  } else if (auto* memo = qobject_cast<QPlainTextEdit*>(widget)) {
    shown = memo->toPlainText();
  } else if (widget == secsEdit_) {
    shown = secsEdit_->Text();
  }
  const int i = Index(control);
  if (shown == setShown_[i]) return setBytes_[i];
  return shown.toStdString();
}

void QtMainView::SetText(Control control, std::string_view text) {
  QWidget* widget = Widget(control);
  const QString shown = Shown(text);
  if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
    edit->setText(shown);
  } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
    button->setText(shown);
  } else if (auto* label = qobject_cast<QLabel*>(widget)) {
    label->setTextFormat(Qt::PlainText);  // never rich text, whatever the text looks like
    label->setText(shown);
  } else if (auto* combo = qobject_cast<QComboBox*>(widget)) {
    combo->setCurrentIndex(std::max(0, combo->findText(shown)));
  } else if (auto* memo = qobject_cast<QPlainTextEdit*>(widget)) {
    memo->setPlainText(shown);
    // What the sign-in says is where the user looks.
    if (memo == signInState_ && fieldsScroll_ != nullptr && !shown.isEmpty()) {
      // Once the fields are laid out anew.
      QTimer::singleShot(0, this, [this] {
        QScrollBar* bar = fieldsScroll_->verticalScrollBar();
        const int bottom =
            signInState_->mapTo(fieldsScroll_->widget(), QPoint(0, signInState_->height())).y();
        const int shown = fieldsScroll_->viewport()->height();
        if (bottom > bar->value() + shown) bar->setValue(bottom - shown);
      });
    }
  } else if (widget == secsEdit_) {
    secsEdit_->SetText(shown);
  }
  setBytes_[Index(control)] = std::string(text);
  setShown_[Index(control)] = shown;
}

bool QtMainView::ControlEnabled(Control control) const {
  return Widget(control) != nullptr && Widget(control)->isEnabled();
}

void QtMainView::SetControlEnabled(Control control, bool enabled) {
  if (QWidget* widget = Widget(control)) widget->setEnabled(enabled);
}

void QtMainView::SetControlVisible(Control control, bool visible) {
  QWidget* row = rows_[Index(control)] != nullptr ? rows_[Index(control)] : Widget(control);
  if (row == nullptr) return;
  row->setVisible(visible);
  hidden_[Index(control)] = !visible;
  // The scroll area gives the fields the room they need now.
  if (fieldsScroll_ != nullptr && fieldsScroll_->widget()->isAncestorOf(row)) {
    fieldsScroll_->widget()->layout()->activate();
    fieldsScroll_->widget()->updateGeometry();
  }
}

bool QtMainView::ControlVisible(Control control) const { return !hidden_[Index(control)]; }

void QtMainView::SetPlaceholder(Control control, std::string_view text) {
  if (auto* edit = qobject_cast<QLineEdit*>(Widget(control))) edit->setPlaceholderText(Shown(text));
}

int QtMainView::ColumnWidth(int column) const {
  if (column < 0 || column >= static_cast<int>(kMailColumnCount)) return 0;
  return storedWidths_[static_cast<std::size_t>(column)];
}

void QtMainView::SetColumnWidth(int column, int width) {
  if (column < 0 || column >= static_cast<int>(kMailColumnCount)) return;
  storedWidths_[static_cast<std::size_t>(column)] = std::max(width, 0);
  FitColumns();
}

void QtMainView::AppendProtocolTrace(std::string_view line) {
  trace_.emplace_back(line);
  if (trace_.size() > kTraceLines) trace_.pop_front();
}

// A message box whose text is plain text, whatever it looks like (a file
// name, an account name or a server's words may look like HTML).
int QtMainView::ShowBox(QMessageBox::Icon icon, std::string_view text,
                        QMessageBox::StandardButtons buttons) {
  QMessageBox box(icon, applicationTitle_, Shown(text), buttons, this);
  box.setTextFormat(Qt::PlainText);
  return box.exec();
}

void QtMainView::ShowInformation(std::string_view text) {
  (void)ShowBox(QMessageBox::Information, text, QMessageBox::Ok);
}

bool QtMainView::ConfirmYesNo(std::string_view text) {
  return ShowBox(QMessageBox::Question, text, QMessageBox::Yes | QMessageBox::No) ==
         QMessageBox::Yes;
}

void QtMainView::ShowError(std::string_view text) {
  (void)ShowBox(QMessageBox::Critical, text, QMessageBox::Ok);
}

// ---------------------------------------------------------------- TrayWindow

void QtMainView::HideMainWindow() { hide(); }

void QtMainView::ShowMainWindow() { show(); }

bool QtMainView::IsMinimized() const { return isMinimized(); }

void QtMainView::MakeNormal() {
  setWindowState(windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized));
}

void QtMainView::BringToForeground() {
  if (!isVisible()) return;
  raise();
  activateWindow();
}

// ---------------------------------------------------------------- window events

void QtMainView::closeEvent(QCloseEvent* event) {
  // Once "Exit" has run, the window closes with the program.
  if (window_ != nullptr && !window_->Exited() && !window_->FormClose()) event->ignore();
}

void QtMainView::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() != QEvent::WindowStateChange || window_ == nullptr || !isMinimized()) return;
  // The minimise button: the window goes to the tray instead, once the
  // window system has finished minimising it.
  QMetaObject::invokeMethod(
      this,
      [this] {
        if (isMinimized() && isVisible()) (void)window_->MinimizeClicked();
      },
      Qt::QueuedConnection);
}

bool QtMainView::event(QEvent* event) {
  if (event->type() == QEvent::Paint && !painted_ && window_ != nullptr) {
    painted_ = true;
    // "--MINIMIZE" hides the window: not from inside its own paint.
    QMetaObject::invokeMethod(
        this, [this] { window_->FormPaint(); }, Qt::QueuedConnection);
  }
  return QWidget::event(event);
}

}  // namespace corvel::qt
