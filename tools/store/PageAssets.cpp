// The store page's style sheet and script. The script defines the page's
// script functions as plain global functions: the application calls them by
// name with text arguments. Every call is also reported to the store
// (POST /control/calls) so a session can be checked from outside, and the
// page polls the store for queued clicks.

#include "tools/store/PageAssets.h"

namespace quenlow::store {

const char* const kPageCss = R"CSS(
* { box-sizing: border-box; }
body { margin: 0; font-family: "Segoe UI", "Noto Sans", "DejaVu Sans", Arial, sans-serif;
       background: #eef1f5; color: #1f2933; font-size: 14px; }
header { background: #1d3557; color: #fff; padding: 14px 28px; display: flex; align-items: center; }
header .brand { font-size: 20px; font-weight: 600; letter-spacing: .3px; }
header .brand span { color: #8ecae6; }
header nav { margin-left: auto; font-size: 13px; }
header nav a { color: #cfe3f2; text-decoration: none; margin-left: 18px; }
header nav a:hover { color: #fff; text-decoration: underline; }
main { max-width: 980px; margin: 24px auto; padding: 0 20px; }
h1 { font-size: 22px; font-weight: 600; margin: 0 0 4px; }
.sub { color: #52606d; margin-bottom: 18px; }
.card { background: #fff; border-radius: 8px; box-shadow: 0 1px 3px rgba(15, 23, 42, .12); }
.folderbar { display: flex; align-items: center; padding: 12px 18px; margin-bottom: 16px; gap: 10px; }
.folderbar .label { color: #52606d; }
.folderbar .path { font-family: "DejaVu Sans Mono", monospace; font-size: 13px; flex: 1;
                   overflow: hidden; text-overflow: ellipsis; white-space: nowrap; }
table.files { width: 100%; border-collapse: collapse; }
table.files th { text-align: left; font-weight: 600; font-size: 12px; text-transform: uppercase;
                 color: #7b8794; padding: 12px 18px; border-bottom: 1px solid #e4e7eb; }
table.files td { padding: 14px 18px; border-bottom: 1px solid #f0f2f5; vertical-align: middle; }
table.files tr:last-child td { border-bottom: none; }
.fname { font-weight: 600; word-break: break-all; }
.fmeta { color: #7b8794; font-size: 12px; margin-top: 3px; }
.ffolder { color: #7b8794; font-size: 12px; margin-top: 3px; font-family: "DejaVu Sans Mono", monospace;
           word-break: break-all; }
.size { white-space: nowrap; color: #3e4c59; }
.progress { width: 190px; }
.bar { height: 10px; background: #e4e7eb; border-radius: 5px; overflow: hidden; }
.fill { height: 100%; width: 0; background: linear-gradient(90deg, #2a9d8f, #52b69a); transition: width .25s; }
.row.error .fill { background: #e76f51; }
.row.busy .fill { background: linear-gradient(90deg, #f4a261, #e9c46a); }
.pct { font-size: 12px; color: #52606d; margin-top: 4px; }
.status { min-width: 170px; }
.status .text { font-weight: 500; }
.row.complete .status .text { color: #2a9d8f; }
.row.error .status .text { color: #c0392b; }
.status .detail { color: #9b2c2c; font-size: 12px; margin-top: 3px; word-break: break-all; }
button { font: inherit; cursor: pointer; border-radius: 6px; border: 1px solid transparent; padding: 7px 16px; }
button.action { background: #1d3557; color: #fff; min-width: 120px; white-space: nowrap; }
button.action:hover { background: #274b78; }
.row.complete button.action { background: #2a9d8f; }
.row.busy button.action { background: #9aa5b1; }
.row.error button.action { background: #c0392b; }
button.secondary { background: #fff; border-color: #cbd2d9; color: #1f2933; }
button.secondary:hover { background: #f5f7fa; }
.notice { display: none; margin-bottom: 16px; padding: 10px 16px; border-radius: 6px;
          background: #fdecea; color: #9b2c2c; }
.notice.shown { display: block; }
.empty { padding: 28px 18px; color: #52606d; }
.empty ul { margin: 10px 0 0; }
.empty a { color: #1d3557; }
footer { max-width: 980px; margin: 0 auto 30px; padding: 0 20px; color: #9aa5b1; font-size: 12px; }
#waitWidget { display: none; position: fixed; inset: 0; background: rgba(15, 23, 42, .25);
              align-items: center; justify-content: center; }
#waitWidget.shown { display: flex; }
#waitWidget .box { background: #fff; padding: 18px 26px; border-radius: 8px; display: flex; gap: 12px;
                   align-items: center; box-shadow: 0 4px 16px rgba(15, 23, 42, .2); }
.spinner { width: 20px; height: 20px; border: 3px solid #d9e2ec; border-top-color: #1d3557;
           border-radius: 50%; animation: spin 1s linear infinite; }
@keyframes spin { to { transform: rotate(360deg); } }
)CSS";

const char* const kPageScript = R"JS(
var quenlowWords = {
  "Download.Start": "Ready to download",
  "Download.Paused": "Paused",
  "Download.Resume": "Ready to resume",
  "Download.Downloading": "Downloading\u2026",
  "Download.CRCChecking": "Verifying the download\u2026",
  "FinishedCRCChecking": "Verified, unpacking\u2026",
  "Download.Unpacking": "Unpacking\u2026",
  "Download.FileReconfigurationMessage": "This file changed on the store since your last visit. It will be downloaded again from the start.",
  "Download.Error": "The download failed. Check your connection and click Retry.",
  "Download.DiskError": "The file could not be written to disk.",
  "Download.UnpackingError": "The package is damaged and could not be unpacked. Click Retry to download it again.",
  "Download.InsufficientDiskSpace": "There is not enough free disk space in the download folder.",
  "Download.UnableToCreateFile": "The file could not be created in the download folder."
};
var quenlowButtonWords = {
  "Download.Start": "Download",
  "Download.Resume": "Resume",
  "Download.Paused": "Resume",
  "Download.Downloading": "Pause",
  "Download.CRCChecking": "Please wait",
  "FinishedCRCChecking": "Please wait",
  "Download.Unpacking": "Please wait"
};
var quenlowErrorKeys = {
  "Download.Error": 1, "Download.DiskError": 1, "Download.UnpackingError": 1,
  "Download.InsufficientDiskSpace": 1, "Download.UnableToCreateFile": 1
};
var quenlowSeq = 0;

function quenlowWord(key) {
  return Object.prototype.hasOwnProperty.call(quenlowWords, key) ? quenlowWords[key] : String(key);
}

// Reports one script call to the store; the store orders calls by page and seq.
// With quenlowSyncCalls the report is a synchronous request: the page (and
// every script the application runs in it) waits until the store answered.
function quenlowRecord(fn, args) {
  quenlowSeq += 1;
  var body = JSON.stringify({page: quenlowPageId, seq: quenlowSeq, fn: fn,
                             args: Array.prototype.map.call(args, function (a) { return String(a); })});
  try {
    if (quenlowSyncCalls) {
      var x = new XMLHttpRequest();
      x.open("POST", "/control/calls", false);
      x.setRequestHeader("Content-Type", "application/json");
      x.send(body);
      return;
    }
    fetch("/control/calls", {method: "POST", body: body, keepalive: true,
                             headers: {"Content-Type": "application/json"}}).catch(function () {});
  } catch (e) { /* recording is best effort */ }
}

function quenlowRow(n) { return document.getElementById("row" + n); }
function quenlowPart(n, name) { return document.getElementById(name + n); }

function quenlowNotice(text) {
  var el = document.getElementById("notice");
  if (!el) return;
  el.textContent = text;
  el.className = text ? "notice shown" : "notice";
}

function quenlowSetMode(n, mode) {
  var row = quenlowRow(n);
  if (row) row.className = "row" + (mode ? " " + mode : "");
}

function quenlowSetButton(n, label) {
  var b = quenlowPart(n, quenlowButtonPrefix);
  if (!b) return;
  var span = b.firstElementChild || b;
  span.textContent = label;
}

function quenlowSetPercent(n, p) {
  var v = parseInt(p, 10);
  if (isNaN(v)) v = 0;
  var shown = Math.max(0, Math.min(100, v));
  var fill = quenlowPart(n, "fill");
  if (fill) fill.style.width = shown + "%";
  var pct = quenlowPart(n, "pct");
  if (pct) pct.textContent = v + " %";
}

function quenlowSetStatus(n, text, detail) {
  var t = quenlowPart(n, "statusText");
  if (t) t.textContent = text;
  var d = quenlowPart(n, "statusDetail");
  if (d) d.textContent = detail || "";
}

function quenlowCompleteLabel(n) {
  var row = quenlowRow(n);
  return row && row.getAttribute("data-install") ? "Launch" : "Open folder";
}

function quenlowShowComplete(n) {
  quenlowSetPercent(n, 100);
  quenlowSetStatus(n, "Complete", "");
  quenlowSetMode(n, "complete");
  quenlowSetButton(n, quenlowCompleteLabel(n));
}

function setProgress(n, percent) {
  quenlowRecord("setProgress", arguments);
  quenlowSetPercent(n, percent);
}

function setStatus(n, key) {
  quenlowRecord("setStatus", arguments);
  if (!quenlowRow(n)) { quenlowNotice("File " + n + ": " + quenlowWord(key)); return; }
  quenlowSetStatus(n, quenlowWord(key), "");
  var busy = key === "Download.CRCChecking" || key === "FinishedCRCChecking" || key === "Download.Unpacking";
  quenlowSetMode(n, busy ? "busy" : "");
  if (Object.prototype.hasOwnProperty.call(quenlowButtonWords, key)) quenlowSetButton(n, quenlowButtonWords[key]);
}

function setError() {
  quenlowRecord("setError", arguments);
  quenlowNotice("Something went wrong with this download.");
}

function setErrorUsingTextItemKey(n, key, message, detail) {
  quenlowRecord("setErrorUsingTextItemKey", arguments);
  var extra = [message, detail].filter(function (s) { return s; }).join(" \u2014 ");
  if (!quenlowRow(n)) { quenlowNotice(quenlowWord(key) + (extra ? " (" + extra + ")" : "")); return; }
  quenlowSetStatus(n, quenlowWord(key), extra);
  if (quenlowErrorKeys[key]) {
    quenlowSetMode(n, "error");
    quenlowSetButton(n, "Retry");
  }
}

function showWaitWidget() {
  quenlowRecord("showWaitWidget", arguments);
  var w = document.getElementById("waitWidget");
  if (w) w.className = "shown";
}

function hideWaitWidget() {
  quenlowRecord("hideWaitWidget", arguments);
  var w = document.getElementById("waitWidget");
  if (w) w.className = "";
}

function setHiddenProgressValue(n, percent, folder) {
  quenlowRecord("setHiddenProgressValue", arguments);
  var h = quenlowPart(n, "hfProgress");
  if (h) h.value = String(percent);
  quenlowSetPercent(n, percent);
  var f = quenlowPart(n, "folderText");
  if (f) f.textContent = folder ? "Saving to " + folder : "";
}

function completeDownload(n) {
  quenlowRecord("completeDownload", arguments);
  quenlowShowComplete(n);
}

function setCompleteDownloadState(n) {
  quenlowRecord("setCompleteDownloadState", arguments);
  quenlowShowComplete(n);
}

function setInitialFileProperties() {
  quenlowRecord("setInitialFileProperties", arguments);
}

function setFolderSelection(folder) {
  quenlowRecord("setFolderSelection", arguments);
  var el = document.getElementById("defaultFolderText");
  if (el) el.textContent = folder || "(not chosen yet)";
}

function setFileOutputFolderText(n, folder) {
  quenlowRecord("setFileOutputFolderText", arguments);
  var f = quenlowPart(n, "folderText");
  if (f) f.textContent = folder ? "Saving to " + folder : "";
}

function setButtonAction(n, key) {
  quenlowRecord("setButtonAction", arguments);
  quenlowSetButton(n, Object.prototype.hasOwnProperty.call(quenlowButtonWords, key) ? quenlowButtonWords[key]
                                                                                     : quenlowWord(key));
}

function fileLaunchComplete(n) {
  quenlowRecord("fileLaunchComplete", arguments);
  var row = quenlowRow(n);
  quenlowSetStatus(n, row && row.getAttribute("data-install") ? "Launched" : "Folder opened", "");
}

// Clicks queued through POST /control/click go through the real page.
function quenlowPollClicks() {
  fetch("/control/pending-clicks", {cache: "no-store"})
    .then(function (r) { return r.ok ? r.json() : []; })
    .then(function (ids) {
      ids.forEach(function (id) {
        var el = document.getElementById(id);
        if (el) el.click();
      });
    })
    .catch(function () {})
    .then(function () { setTimeout(quenlowPollClicks, 200); });
}
setTimeout(quenlowPollClicks, 200);
)JS";

}  // namespace quenlow::store
