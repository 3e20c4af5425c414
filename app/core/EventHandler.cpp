#include "app/core/EventHandler.h"

#include <climits>
#include <memory>

#include "platform/Messages.h"

namespace quenlow {

int leadingNumber(const std::string& text) {
    long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        value = value * 10 + (c - '0');
        if (value > INT_MAX) return INT_MAX;
    }
    return static_cast<int>(value);
}

void EventHandler::onClick(const std::vector<ClickedElement>& chain) {
    if (!view) return;
    for (const ClickedElement& element : chain) {
        const std::string& id = element.id;
        if (!actionButtonPrefix.empty() && id.rfind(actionButtonPrefix, 0) == 0) {
            int number = leadingNumber(id.substr(actionButtonPrefix.size()));
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
