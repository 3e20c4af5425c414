#include "platform/Pacing.h"

namespace quenlow {

Pacing& pacing() {
    static Pacing table;
    return table;
}

}  // namespace quenlow
