#pragma once
// The view's window as the engine sees it: workers post window messages here.
// The Qt view delivers them on the user-interface thread in posting order;
// tests use RecordingViewTarget (tests/support).

#include "platform/MessageQueue.h"

namespace quenlow {

class ViewTarget {
  public:
    virtual ~ViewTarget() = default;
    // Never blocks; ownership of the payload passes to the view.
    virtual void postViewMessage(Message msg) = 0;
};

}  // namespace quenlow
