#pragma once
// The two directions of the page contract: reading page elements, and calling
// the page's script functions with text arguments. The browser-specific part
// sits behind Page (the Qt view implements it over runJavaScript; tests use a
// fake page); PageBridge adds the rules the view relies on.
//
// Nothing here waits for the page. A read hands every value a step needs to
// one script and answers through a callback; script calls are sent as a
// batch and the next batch goes once the page has run the previous one.

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
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

// What reading an element found.
struct ElementValue {
    enum Kind { Missing, NoValue, Value };
    Kind kind = Missing;
    std::string text;  // only for Value
};

// One value a step reads from the page.
struct PageRead {
    enum Kind {
        Value,       // the element's "value"
        OuterHtml,   // the element's outer HTML (Missing when there is none)
        OrderLabel,  // inner text of the first span whose id contains "lblOrderNumber"
    };
    Kind kind = Value;
    std::string name;
    // When not negative, the element's name is name followed by the text that
    // read number suffixFrom of the same script found ("dlSelect" + product).
    int suffixFrom = -1;
};

// The answer to a read: one value per PageRead, or nullopt when the page gave
// none that can be used.
using PageAnswer = std::optional<std::vector<ElementValue>>;

struct ScriptCall {
    ScriptFunction fn;
    std::vector<std::string> args;
};

// The browser side of the bridge. Both calls return at once.
class Page {
  public:
    virtual ~Page() = default;
    // False while the browser holds no document yet.
    virtual bool hasDocument() = 0;
    // Runs every read in one script, in order, and answers with done; done may
    // never be called (a page that hangs, one that went away).
    virtual void readElements(const std::vector<PageRead>& reads,
                              std::function<void(PageAnswer)> done) = 0;
    // Runs the calls in order in the page (results and failures dropped) and
    // then calls done.
    virtual void callFunctions(const std::vector<ScriptCall>& calls,
                               std::function<void()> done) = 0;
};

// An element that exists but has no value: the operation that asked stops.
struct PageReadError : std::runtime_error {
    explicit PageReadError(const std::string& element)
        : std::runtime_error("element \"" + element + "\" has no value") {}
};

// The values of one answered read, taken with the page's rules.
class PageValues {
  public:
    PageValues(std::vector<PageRead> reads, std::vector<ElementValue> values)
        : reads_(std::move(reads)), values_(std::move(values)) {}
    // Empty text for a missing element; PageReadError for one without a value.
    std::string value(size_t i) const;
    // Outer HTML or label text; empty when there is none.
    std::string text(size_t i) const;

  private:
    std::vector<PageRead> reads_;
    std::vector<ElementValue> values_;
};

class PageBridge {
  public:
    explicit PageBridge(Page& page) : page_(page) {}

    // Takes hold of the page's script object once a document exists.
    void ResolveScriptFunctions();
    bool scriptObjectHeld() const { return scriptObjectHeld_; }
    // The page is going away: calls not yet sent are dropped and nothing is
    // called until the next page resolves its functions.
    void pageGone();

    // Does nothing until the script object is held; a function the page lacks
    // is still called and simply has no effect. While the page is behind, a
    // percent or folder text replaces the pending one for the same file, and
    // a status the same as the file's pending one is dropped (the page ends
    // with the latest values, and sees every status change).
    void CallScript(ScriptFunction fn, std::vector<std::string> args = {});
    size_t pendingCalls() const { return pending_.size(); }

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
    bool mergeInto(const ScriptCall& call);
    void sendPending();

    Page& page_;
    bool scriptObjectHeld_ = false;
    std::deque<ScriptCall> pending_;
    bool batchInFlight_ = false;
    // Tells a batch's answer whether it still belongs to the page shown.
    uint64_t pageEpoch_ = 0;
    // Answers that arrive after the bridge is gone find this expired.
    std::shared_ptr<PageBridge*> self_ = std::make_shared<PageBridge*>(this);
};

}  // namespace quenlow
