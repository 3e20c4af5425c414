#pragma once
// The two directions of the page contract: reading page elements, and calling
// the page's script functions with text arguments. The browser-specific part
// sits behind Page (the Qt view implements it over runJavaScript; tests use a
// fake page); PageBridge adds the rules the view relies on.

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace quenlow {

// The page's script functions, in table order.
enum class ScriptFunction : int {
    setProgress,
    setStatus,
    setError,
    setErrorUsingTextItemKey,
    showWaitWidget,
    hideWaitWidget,
    setHiddenProgressValue,
    completeDownload,
    setCompleteDownloadState,
    setInitialFileProperties,
    setFolderSelection,
    setFileOutputFolderText,
    setButtonAction,
    fileLaunchComplete,
};
inline constexpr int ScriptFunctionCount = 14;
const char* scriptFunctionName(ScriptFunction fn);

// What reading an element's value found.
struct ElementValue {
    enum Kind { Missing, NoValue, Value };
    Kind kind = Missing;
    std::string text;  // only for Value
};

// The browser side of the bridge. Every call returns only when the page has
// answered, so a sequence of reads and calls runs in the order written.
class Page {
  public:
    virtual ~Page() = default;
    // False while the browser holds no document yet.
    virtual bool hasDocument() = 0;
    // The element whose id or name is name (the first one); its "value".
    virtual ElementValue elementValue(const std::string& name) = 0;
    // Outer HTML of that element; empty when there is none.
    virtual std::string elementOuterHtml(const std::string& name) = 0;
    // Inner text of the first span whose id contains "lblOrderNumber"; empty when none.
    virtual std::string orderNumberLabel() = 0;
    // Which of the named functions the page defines (same order as names).
    virtual std::vector<bool> definedFunctions(const std::vector<std::string>& names) = 0;
    // Calls the page function with text arguments; result and failures are dropped.
    virtual void callFunction(const std::string& name, const std::vector<std::string>& args) = 0;
};

// An element that exists but has no value: the operation that asked stops.
struct PageReadError : std::runtime_error {
    explicit PageReadError(const std::string& element)
        : std::runtime_error("element \"" + element + "\" has no value") {}
};

class PageBridge {
  public:
    explicit PageBridge(Page& page) : page_(page) {}

    // Empty text for a missing element; PageReadError for one without a value.
    std::string ReadElementValue(const std::string& name);
    std::string ReadElementOuterHtml(const std::string& name);
    std::string ReadOrderNumberLabel();

    // Takes hold of the page's script object (once a document exists) and
    // notes which of the 14 functions it defines.
    void ResolveScriptFunctions();
    bool scriptObjectHeld() const { return scriptObjectHeld_; }
    bool defines(ScriptFunction fn) const { return defined_[static_cast<int>(fn)]; }

    // Does nothing until the script object is held; a function the page lacks
    // is still called and simply has no effect.
    void CallScript(ScriptFunction fn, const std::vector<std::string>& args = {});

    void setProgress(int file, int percent);
    void setStatus(int file, const std::string& key);
    void setErrorUsingTextItemKey(int file, const std::string& key, const std::string& message,
                                  const std::string& detail);
    void showWaitWidget();
    void hideWaitWidget();
    void setHiddenProgressValue(int file, int percent, const std::string& outputFolder);
    void completeDownload(int file);
    void setCompleteDownloadState(int file);
    void setFolderSelection(const std::string& folder);
    void setFileOutputFolderText(int file, const std::string& outputFolder);
    void setButtonAction(int file, const std::string& key);
    void fileLaunchComplete(int file);
    // Resolved for completeness; the application never calls them.
    void setError();
    void setInitialFileProperties();

  private:
    Page& page_;
    bool scriptObjectHeld_ = false;
    std::array<bool, ScriptFunctionCount> defined_{};
};

}  // namespace quenlow
