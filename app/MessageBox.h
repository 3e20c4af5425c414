#pragma once
// Message boxes. With QUENLOW_MESSAGEBOX_STDERR=1 in the environment the text
// goes to standard error instead ("QUENLOW_MESSAGEBOX [caption] text") and
// nothing blocks, so unattended runs can observe it.

#include <string>

class QWidget;

namespace quenlow {

// Shows the box and returns once the user closed it (start-up only: it runs
// its own event loop).
void messageBox(QWidget* owner, const std::string& text, const std::string& caption);
// Opens the box, window-modal, and returns at once.
void openMessageBox(QWidget* owner, const std::string& text, const std::string& caption);

}  // namespace quenlow
