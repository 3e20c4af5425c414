#pragma once
// The page click sink: the browser reports every click on the page as the
// chain of the clicked element and its ancestors; EventHandler recognises the
// action buttons, the folder selection and the upgrade link by their ids and
// posts UM_PAGE_EVENT to the view.

#include <string>
#include <vector>

#include "platform/ViewTarget.h"

namespace quenlow {

// One level of a clicked element's ancestor chain, innermost first.
struct ClickedElement {
    std::string id;         // empty when the element has none
    std::string outerHtml;  // sent only for elements that have an id
};

class EventHandler {
  public:
    static constexpr const char* DefaultActionButtonPrefix = "downloadAction";
    static constexpr const char* DefaultFolderSelectionName = "BrowserFolderSelection";
    static constexpr const char* UpgradeLinkName = "hlVESKDownloadUpgrade";

    explicit EventHandler(ViewTarget* view = nullptr) : view(view) {}

    std::string actionButtonPrefix = DefaultActionButtonPrefix;
    std::string folderSelectionName = DefaultFolderSelectionName;
    const std::string upgradeLinkName = UpgradeLinkName;
    ViewTarget* view = nullptr;  // not owned

    // The click method: walks the chain from the clicked element outwards.
    void onClick(const std::vector<ClickedElement>& chain);
};

}  // namespace quenlow
