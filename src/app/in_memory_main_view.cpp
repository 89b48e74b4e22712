#include "app/in_memory_main_view.h"

#include <algorithm>

namespace corvel {

namespace {

std::size_t Index(Control control) { return static_cast<std::size_t>(control); }

}  // namespace

InMemoryMainView::InMemoryMainView() {
  // The form as designed: the settings boxes usable, the editor closed with
  // only its open button usable, the port box showing "110" and the interval
  // box 300.
  enabled_.fill(false);
  for (Control box :
       {Control::StartupChkBx, Control::ConnErrChkBx, Control::LogChkBx, Control::AllMailChkBx,
        Control::BalloonChkBx, Control::OpenButton, Control::lblNOTE, Control::lblAbout}) {
    enabled_[Index(box)] = true;
  }
  texts_[Index(Control::OpenButton)] = "Open accts.";
  texts_[Index(Control::btnNew)] = "New";
  texts_[Index(Control::btnDelete)] = "Delete";
  texts_[Index(Control::btnPrev)] = "Previous";
  texts_[Index(Control::btnClearAuth)] = "Clear AUTH";
  texts_[Index(Control::btnNext)] = "Next";
  texts_[Index(Control::btnFirst)] = "First";
  texts_[Index(Control::btnUpdate)] = "Update";
  texts_[Index(Control::btnLast)] = "Last";
  texts_[Index(Control::PortEdit)] = "110";
  texts_[Index(Control::SecsEdit)] = "300";
  texts_[Index(Control::SecurityBox)] = "Auto (TLS on port 995 or 993)";
  texts_[Index(Control::ProtocolBox)] = "POP3";
  texts_[Index(Control::FoldersEdit)] = "INBOX";
  texts_[Index(Control::Label1)] = "Interval in seconds:";
  texts_[Index(Control::LoginBox)] = "Password";
  texts_[Index(Control::btnSignIn)] = "Sign in";
  // The rows of the other logins show only when one is chosen.
  shown_.fill(true);
  for (Control row : kHiddenLoginRows) shown_[Index(row)] = false;
}

void InMemoryMainView::SetHeight(int height) { bounds_.height = std::max(height, kMinHeight); }

void InMemoryMainView::SetWidth(int width) { bounds_.width = std::max(width, kMinWidth); }

bool InMemoryMainView::Checked(Control box) const { return checked_[Index(box)]; }

void InMemoryMainView::SetChecked(Control box, bool checked) { checked_[Index(box)] = checked; }

std::string InMemoryMainView::Text(Control control) const { return texts_[Index(control)]; }

void InMemoryMainView::SetText(Control control, std::string_view text) {
  texts_[Index(control)] = text;
}

bool InMemoryMainView::ControlEnabled(Control control) const { return enabled_[Index(control)]; }

void InMemoryMainView::SetControlEnabled(Control control, bool enabled) {
  enabled_[Index(control)] = enabled;
}

void InMemoryMainView::SetControlVisible(Control control, bool visible) {
  shown_[Index(control)] = visible;
}

bool InMemoryMainView::ControlVisible(Control control) const { return shown_[Index(control)]; }

void InMemoryMainView::SetPlaceholder(Control control, std::string_view text) {
  placeholders_[Index(control)] = text;
}

const std::string& InMemoryMainView::Placeholder(Control control) const {
  return placeholders_[Index(control)];
}

int InMemoryMainView::ColumnWidth(int column) const {
  if (column < 0 || column >= static_cast<int>(columnWidths_.size())) return 0;
  return columnWidths_[static_cast<std::size_t>(column)];
}

void InMemoryMainView::SetColumnWidth(int column, int width) {
  if (column < 0 || column >= static_cast<int>(columnWidths_.size())) return;
  columnWidths_[static_cast<std::size_t>(column)] = width;
}

void InMemoryMainView::AppendProtocolTrace(std::string_view line) {
  if (traceLimit_ == 0) return;
  if (trace_.size() >= traceLimit_) trace_.pop_front();
  trace_.emplace_back(line);
}

void InMemoryMainView::ShowInformation(std::string_view text) {
  informations_.emplace_back(text);
  if (OnInformation) OnInformation(text);
}

bool InMemoryMainView::ConfirmYesNo(std::string_view text) {
  confirmations_.emplace_back(text);
  return confirmAnswer_;
}

void InMemoryMainView::ShowError(std::string_view text) {
  errors_.emplace_back(text);
  if (OnError) OnError(text);
}

}  // namespace corvel
