#pragma once
// Style sheet and script shared by every store page.

namespace quenlow::store {

extern const char* const kPageCss;
// Expects two globals set before it: quenlowPageId (number) and
// quenlowButtonPrefix (the action buttons' id prefix).
extern const char* const kPageScript;

}  // namespace quenlow::store
