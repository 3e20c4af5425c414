#pragma once
// Message boxes. With QUENLOW_MESSAGEBOX_STDERR=1 in the environment the text
// goes to standard error instead ("QUENLOW_MESSAGEBOX [caption] text") and
// nothing blocks, so unattended runs can observe it.

#include <string>

class QWidget;

namespace quenlow {

void messageBox(QWidget* owner, const std::string& text, const std::string& caption);

}  // namespace quenlow
