#pragma once
// Message boxes. With QUENLOW_MESSAGEBOX_STDERR=1 in the environment the text
// goes to standard error instead ("QUENLOW_MESSAGEBOX [caption] text") and
// nothing blocks, so unattended runs can observe it.

#include <string>

class QWidget;

namespace quenlow {

// Opens the box, window-modal, and returns at once. Every box shown while the
// application runs goes through here.
void openMessageBox(QWidget* owner, const std::string& text, const std::string& caption);
// For a start-up failure, before the application's event loop starts (its
// only caller): shows the box and returns once the user closed it.
void startupMessageBox(const std::string& text, const std::string& caption);

}  // namespace quenlow
