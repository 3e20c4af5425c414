#include "app/core/PageBridge.h"

#include <string>

namespace quenlow {

namespace {
constexpr std::array<const char*, ScriptFunctionCount> kNames = {
    "setProgress",
    "setStatus",
    "setError",
    "setErrorUsingTextItemKey",
    "showWaitWidget",
    "hideWaitWidget",
    "setHiddenProgressValue",
    "completeDownload",
    "setCompleteDownloadState",
    "setInitialFileProperties",
    "setFolderSelection",
    "setFileOutputFolderText",
    "setButtonAction",
    "fileLaunchComplete",
};

std::string num(int n) { return std::to_string(n); }

// Calls that only show a file's latest value: an older pending one is worth nothing.
bool showsLatestValue(ScriptFunction fn) {
    return fn == ScriptFunction::setProgress || fn == ScriptFunction::setStatus ||
           fn == ScriptFunction::setFileOutputFolderText;
}
}  // namespace

const char* scriptFunctionName(ScriptFunction fn) { return kNames[static_cast<int>(fn)]; }

std::string PageValues::value(size_t i) const {
    const ElementValue& v = values_.at(i);
    switch (v.kind) {
        case ElementValue::Missing:
            return {};
        case ElementValue::NoValue:
            throw PageReadError(reads_.at(i).name);
        case ElementValue::Value:
            break;
    }
    return v.text;
}

std::string PageValues::text(size_t i) const {
    const ElementValue& v = values_.at(i);
    return v.kind == ElementValue::Value ? v.text : std::string();
}

void PageBridge::ResolveScriptFunctions() {
    if (!page_.hasDocument()) return;
    scriptObjectHeld_ = true;
}

void PageBridge::pageGone() {
    scriptObjectHeld_ = false;
    pending_.clear();
    batchInFlight_ = false;
    ++pageEpoch_;
}

bool PageBridge::mergeInto(const ScriptCall& call) {
    if (!showsLatestValue(call.fn) || call.args.empty()) return false;
    // Only within the run of such calls at the end: an older one must not move
    // past an error or a completion that came after it.
    for (auto it = pending_.rbegin(); it != pending_.rend() && showsLatestValue(it->fn); ++it) {
        if (it->fn != call.fn || it->args.empty() || it->args[0] != call.args[0]) continue;
        // A status is a step the page shows (checking, unpacking, paused):
        // only the same status again adds nothing. A percent or a folder text
        // replaces the older one.
        if (call.fn == ScriptFunction::setStatus) return it->args == call.args;
        it->args = call.args;
        return true;
    }
    return false;
}

void PageBridge::CallScript(ScriptFunction fn, std::vector<std::string> args) {
    if (!scriptObjectHeld_) return;
    ScriptCall call{fn, std::move(args)};
    if (batchInFlight_ && mergeInto(call)) return;
    pending_.push_back(std::move(call));
    if (!batchInFlight_) sendPending();
}

void PageBridge::sendPending() {
    if (pending_.empty()) return;
    std::vector<ScriptCall> batch(std::make_move_iterator(pending_.begin()),
                                  std::make_move_iterator(pending_.end()));
    pending_.clear();
    batchInFlight_ = true;
    std::weak_ptr<PageBridge*> alive = self_;
    uint64_t epoch = pageEpoch_;
    page_.callFunctions(batch, [alive, epoch] {
        auto self = alive.lock();
        if (!self || (*self)->pageEpoch_ != epoch) return;
        (*self)->batchInFlight_ = false;
        (*self)->sendPending();
    });
}

void PageBridge::setProgress(int file, int percent) {
    CallScript(ScriptFunction::setProgress, {num(file), num(percent)});
}
void PageBridge::setStatus(int file, const std::string& key) {
    CallScript(ScriptFunction::setStatus, {num(file), key});
}
void PageBridge::setErrorUsingTextItemKey(int file, const std::string& key,
                                          const std::string& message, const std::string& detail) {
    CallScript(ScriptFunction::setErrorUsingTextItemKey, {num(file), key, message, detail});
}
void PageBridge::showWaitWidget() { CallScript(ScriptFunction::showWaitWidget); }
void PageBridge::hideWaitWidget() { CallScript(ScriptFunction::hideWaitWidget); }
void PageBridge::setHiddenProgressValue(int file, int percent, const std::string& outputFolder) {
    CallScript(ScriptFunction::setHiddenProgressValue, {num(file), num(percent), outputFolder});
}
void PageBridge::completeDownload(int file) {
    CallScript(ScriptFunction::completeDownload, {num(file)});
}
void PageBridge::setCompleteDownloadState(int file) {
    CallScript(ScriptFunction::setCompleteDownloadState, {num(file)});
}
void PageBridge::setFolderSelection(const std::string& folder) {
    CallScript(ScriptFunction::setFolderSelection, {folder});
}
void PageBridge::setFileOutputFolderText(int file, const std::string& outputFolder) {
    CallScript(ScriptFunction::setFileOutputFolderText, {num(file), outputFolder});
}
void PageBridge::setButtonAction(int file, const std::string& key) {
    CallScript(ScriptFunction::setButtonAction, {num(file), key});
}
void PageBridge::fileLaunchComplete(int file) {
    CallScript(ScriptFunction::fileLaunchComplete, {num(file)});
}
void PageBridge::setError() { CallScript(ScriptFunction::setError); }
void PageBridge::setInitialFileProperties() {
    CallScript(ScriptFunction::setInitialFileProperties);
}

}  // namespace quenlow
