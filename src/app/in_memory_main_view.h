// InMemoryMainView: a MainView without a screen. It keeps the state a person
// would see (boxes, texts, captions, enabled states, the tab, the window shown
// or hidden, its bounds) and records the dialogs. The console front-end runs
// the program on it; the scenario tests drive the main window through it and
// assert what it shows.
#pragma once

#include <array>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "app/main_view.h"

namespace corvel {

class InMemoryMainView final : public MainView {
 public:
  InMemoryMainView();

  // ---- MainView.
  void SetApplicationTitle(std::string_view title) override { applicationTitle_ = title; }
  void SetCaption(std::string_view caption) override { caption_ = caption; }
  [[nodiscard]] WindowBounds Bounds() const override { return bounds_; }
  void SetHeight(int height) override;
  void SetWidth(int width) override;
  void SetTop(int top) override { bounds_.top = top; }
  void SetLeft(int left) override { bounds_.left = left; }
  [[nodiscard]] MainTab CurrentTab() const override { return tab_; }
  void SelectTab(MainTab tab) override { tab_ = tab; }
  void Minimize() override { minimized_ = true; }

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
  void HideMainWindow() override { visible_ = false; }
  void ShowMainWindow() override { visible_ = true; }
  void HideTaskbarButton() override { taskbarButton_ = false; }
  void ShowTaskbarButton() override { taskbarButton_ = true; }
  [[nodiscard]] bool TaskbarButtonVisible() const override { return taskbarButton_; }
  [[nodiscard]] bool IsMinimized() const override { return minimized_; }
  void MakeNormal() override { minimized_ = false; }
  void BringToForeground() override { ++foregroundCount_; }

  // ---- What a person would see.
  [[nodiscard]] const std::string& ApplicationTitle() const { return applicationTitle_; }
  [[nodiscard]] const std::string& Caption() const { return caption_; }
  [[nodiscard]] bool WindowVisible() const { return visible_; }
  [[nodiscard]] int ForegroundCount() const { return foregroundCount_; }
  [[nodiscard]] const std::deque<std::string>& ProtocolTrace() const { return trace_; }
  [[nodiscard]] const std::vector<std::string>& Informations() const { return informations_; }
  [[nodiscard]] const std::vector<std::string>& Confirmations() const { return confirmations_; }
  [[nodiscard]] const std::vector<std::string>& Errors() const { return errors_; }
  [[nodiscard]] const std::string& Placeholder(Control control) const;

  // ---- The user's side.
  // The answer the next confirmation boxes get (Yes by default).
  void SetConfirmAnswer(bool yes) { confirmAnswer_ = yes; }
  // The protocol trace keeps at most this many lines (0: none).
  void SetProtocolTraceLimit(std::size_t lines) { traceLimit_ = lines; }

  // Called as the dialogs are shown (the console prints them).
  std::function<void(std::string_view text)> OnInformation;
  std::function<void(std::string_view text)> OnError;

 private:
  std::string applicationTitle_;
  std::string caption_;
  WindowBounds bounds_;
  MainTab tab_ = MainTab::Accounts;
  bool visible_ = true;
  bool minimized_ = false;
  bool taskbarButton_ = true;
  int foregroundCount_ = 0;
  std::array<bool, kControlCount> checked_{};
  std::array<std::string, kControlCount> texts_{};
  std::array<bool, kControlCount> enabled_{};
  std::array<bool, kControlCount> shown_{};
  std::array<std::string, kControlCount> placeholders_{};
  std::array<int, 6> columnWidths_{70, 60, 100, 50, 50, 50};
  std::deque<std::string> trace_;
  std::size_t traceLimit_ = 1000;
  std::vector<std::string> informations_;
  std::vector<std::string> confirmations_;
  std::vector<std::string> errors_;
  bool confirmAnswer_ = true;
};

}  // namespace corvel
