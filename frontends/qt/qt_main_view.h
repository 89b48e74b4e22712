// QtMainView: the main window on screen with Qt Widgets — the five tabs, the
// account editor's controls, the settings boxes, the "New mail" list, the log
// memo and the About label — as the MainView the program reads and writes.
// The user's actions go to MainWindow's handlers; the behaviour stays there.
#pragma once

#include <QAbstractSpinBox>
#include <QMessageBox>
#include <QWidget>
#include <array>
#include <deque>
#include <string>

#include "app/main_view.h"
#include "checker/new_mail_list.h"

class QCheckBox;
class QComboBox;
class QScrollArea;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class QTreeWidget;

namespace corvel {
class MainWindow;
}

namespace corvel::qt {

// The interval box: a spin box whose text may be anything of digits and
// signs, even empty; the program keeps it within its range when it loses
// the focus.
class IntervalSpinBox final : public QAbstractSpinBox {
 public:
  using QAbstractSpinBox::QAbstractSpinBox;
  [[nodiscard]] QString Text() const;
  void SetText(const QString& text);

 protected:
  QValidator::State validate(QString& input, int& pos) const override;
  void stepBy(int steps) override;
  [[nodiscard]] StepEnabled stepEnabled() const override;
};

class QtMainView final : public QWidget, public MainView {
 public:
  QtMainView();
  ~QtMainView() override;

  // Connects the controls to the window's handlers and mirrors its log and
  // "New mail" list. Call once, after the MainWindow is made; the window must
  // be destroyed before the view.
  void Attach(MainWindow& window);

  // ---- MainView.
  void SetApplicationTitle(std::string_view title) override;
  void SetCaption(std::string_view caption) override;
  [[nodiscard]] WindowBounds Bounds() const override;
  void SetHeight(int height) override;
  void SetWidth(int width) override;
  void SetTop(int top) override;
  void SetLeft(int left) override;
  [[nodiscard]] MainTab CurrentTab() const override;
  void SelectTab(MainTab tab) override;
  void Minimize() override;
  [[nodiscard]] bool Checked(Control box) const override;
  void SetChecked(Control box, bool checked) override;
  [[nodiscard]] std::string Text(Control control) const override;
  void SetText(Control control, std::string_view text) override;
  [[nodiscard]] bool ControlEnabled(Control control) const override;
  void SetControlEnabled(Control control, bool enabled) override;
  void SetControlVisible(Control control, bool visible) override;
  [[nodiscard]] bool ControlVisible(Control control) const override;
  void SetPlaceholder(Control control, std::string_view text) override;
  [[nodiscard]] int ColumnWidth(int column) const override;
  void SetColumnWidth(int column, int width) override;
  void ClearProtocolTrace() override { trace_.clear(); }
  void AppendProtocolTrace(std::string_view line) override;
  void ShowInformation(std::string_view text) override;
  [[nodiscard]] bool ConfirmYesNo(std::string_view text) override;
  void ShowError(std::string_view text) override;

  // ---- TrayWindow.
  void HideMainWindow() override;
  void ShowMainWindow() override;
  void HideTaskbarButton() override { taskbarButton_ = false; }
  void ShowTaskbarButton() override { taskbarButton_ = true; }
  [[nodiscard]] bool TaskbarButtonVisible() const override { return taskbarButton_; }
  [[nodiscard]] bool IsMinimized() const override;
  void MakeNormal() override;
  void BringToForeground() override;

  // ---- For the tests: the widgets a person uses.
  [[nodiscard]] QWidget* Widget(Control control) const { return widgets_[Index(control)]; }
  [[nodiscard]] QTabWidget* Tabs() const { return tabs_; }
  [[nodiscard]] QTreeWidget* MailListView() const { return mailList_; }
  [[nodiscard]] QPlainTextEdit* LogMemo() const { return logMemo_; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool event(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  static int Index(Control control) { return static_cast<int>(control); }
  int ShowBox(QMessageBox::Icon icon, std::string_view text, QMessageBox::StandardButtons buttons);
  void Build();
  QWidget* BuildAccountsTab();
  QWidget* BuildSettingsTab();
  void MirrorMailList();
  // Lays the "New mail" columns out: the stored widths, and what the list
  // has beyond them for From and Subject.
  void FitColumns();

  MainWindow* window_ = nullptr;
  QString applicationTitle_;
  QTabWidget* tabs_ = nullptr;
  QTreeWidget* mailList_ = nullptr;
  QPlainTextEdit* logMemo_ = nullptr;
  IntervalSpinBox* secsEdit_ = nullptr;
  QComboBox* securityBox_ = nullptr;
  QComboBox* protocolBox_ = nullptr;
  QComboBox* loginBox_ = nullptr;
  QPlainTextEdit* signInState_ = nullptr;
  QScrollArea* fieldsScroll_ = nullptr;
  std::array<QWidget*, kControlCount> widgets_{};
  // The widget of a control's row in the form, where it is not the control
  // itself; and the controls the program hid.
  std::array<QWidget*, kControlCount> rows_{};
  std::array<bool, kControlCount> hidden_{};
  // The bytes last set into a text control and what they showed: a text the
  // user did not change reads back as the same bytes, even when they were
  // not UTF-8 (a name written by the Windows program).
  std::array<std::string, kControlCount> setBytes_{};
  std::array<QString, kControlCount> setShown_{};
  std::deque<std::string> trace_;
  std::array<int, kMailColumnCount> storedWidths_ = {70, 60, 100, 50, 50, 50};
  std::array<int, kMailColumnCount> extraWidths_{};
  bool fitting_ = false;
  bool taskbarButton_ = true;
  bool painted_ = false;
};

}  // namespace corvel::qt
