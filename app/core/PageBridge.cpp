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
}  // namespace

const char* scriptFunctionName(ScriptFunction fn) { return kNames[static_cast<int>(fn)]; }

std::string PageBridge::ReadElementValue(const std::string& name) {
    ElementValue v = page_.elementValue(name);
    switch (v.kind) {
        case ElementValue::Missing:
            return {};
        case ElementValue::NoValue:
            throw PageReadError(name);
        case ElementValue::Value:
            break;
    }
    return v.text;
}

std::string PageBridge::ReadElementOuterHtml(const std::string& name) {
    return page_.elementOuterHtml(name);
}

std::string PageBridge::ReadOrderNumberLabel() { return page_.orderNumberLabel(); }

void PageBridge::ResolveScriptFunctions() {
    if (!page_.hasDocument()) return;
    scriptObjectHeld_ = true;
    std::vector<std::string> names(kNames.begin(), kNames.end());
    std::vector<bool> found = page_.definedFunctions(names);
    for (int i = 0; i < ScriptFunctionCount; ++i)
        defined_[i] = i < static_cast<int>(found.size()) && found[i];
}

void PageBridge::CallScript(ScriptFunction fn, const std::vector<std::string>& args) {
    if (!scriptObjectHeld_) return;
    page_.callFunction(scriptFunctionName(fn), args);
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
