#include "app/core/EventHandler.h"

#include <algorithm>
#include <climits>
#include <memory>
#include <string_view>

#include "platform/Messages.h"
#include "platform/Text.h"

namespace quenlow {

namespace {

// The button number written right after the prefix; a blank, a sign or no
// digit there is no number (0), and an absurd one saturates at INT_MAX.
int actionButtonNumber(std::string_view afterPrefix) {
    if (afterPrefix.empty() || afterPrefix[0] < '0' || afterPrefix[0] > '9') return 0;
    return static_cast<int>(std::min<uint64_t>(parseUnsigned(afterPrefix), INT_MAX));
}

}  // namespace

void EventHandler::onClick(const std::vector<ClickedElement>& chain) {
    if (!view) return;
    for (const ClickedElement& element : chain) {
        const std::string& id = element.id;
        if (!actionButtonPrefix.empty() && id.rfind(actionButtonPrefix, 0) == 0) {
            const int number =
                actionButtonNumber(std::string_view(id).substr(actionButtonPrefix.size()));
            view->postViewMessage(
                Message(UM_PAGE_EVENT, Event_ActionButton, static_cast<intptr_t>(number) - 1));
            return;
        }
        size_t at = id.find(folderSelectionName);
        if (!folderSelectionName.empty() && at != std::string::npos && at > 0) {
            view->postViewMessage(
                textMessage(UM_PAGE_EVENT, Event_FolderButton, element.outerHtml));
            return;
        }
        at = id.find(upgradeLinkName);
        if (at != std::string::npos && at > 0) {
            // The page still follows the link; the walk goes on.
            view->postViewMessage(Message(UM_PAGE_EVENT, Event_UpgradeLink, 0));
        }
    }
}

}  // namespace quenlow
