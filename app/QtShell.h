#pragma once
// Opening a path with the default verb: an executable regular file is started
// as a detached process in its folder; anything else (a folder, a document)
// goes to the desktop's default handler.

#include "state/OrderState.h"

namespace quenlow {

class QtShell : public Shell {
  public:
    void open(const std::string& target, const std::string& workingDir) override;
};

}  // namespace quenlow
