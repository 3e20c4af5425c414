#include "tools/store/Pages.h"

#include "tools/store/PageAssets.h"

namespace quenlow::store {

namespace {

const char* const kNoContextPath = "/Webstore/Account/VeskNoContext.aspx";
const char* const kUpgradePath = "/Webstore/Account/VESKDownloadUpgrade.aspx";

std::string head(const std::string& title) {
    return "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" +
           escapeMarkup(title) + "</title>\n<style>" + kPageCss + "</style>\n</head>\n<body>\n";
}

std::string header(bool upgradeLink) {
    std::string h = "<header><div class=\"brand\">Quenlow <span>Store</span></div><nav>";
    h += std::string("<a href=\"") + kNoContextPath + "\">My orders</a>";
    if (upgradeLink) {
        h += std::string("<a id=\"ctl00_hlVESKDownloadUpgrade\" href=\"") + kUpgradePath +
             "\">Upgrade Quenlow</a>";
    }
    h += "</nav></header>\n";
    return h;
}

std::string hidden(const std::string& id, const std::string& value) {
    return "<input type=\"hidden\" id=\"" + escapeMarkup(id) + "\" name=\"" + escapeMarkup(id) +
           "\" value=\"" + escapeMarkup(value) + "\">";
}

std::string script(int64_t pageId, const std::string& buttonPrefix, bool syncCalls = false) {
    return "<script>\nvar quenlowPageId = " + std::to_string(pageId) +
           ";\nvar quenlowButtonPrefix = \"" + buttonPrefix +
           "\";\nvar quenlowSyncCalls = " + (syncCalls ? "true" : "false") + ";\n" + kPageScript +
           "</script>\n";
}

std::string waitWidget() {
    return "<div id=\"waitWidget\"><div class=\"box\"><div class=\"spinner\"></div>"
           "<div>Please wait\xE2\x80\xA6</div></div></div>\n";
}

std::string footer() {
    return "<footer>Quenlow demo store \xC2\xB7 files are served from this computer "
           "only.</footer>\n";
}

std::string folderBar(const std::string& folder, const std::string& selectionName) {
    return "<div class=\"card folderbar\"><span class=\"label\">Download folder:</span>"
           "<span class=\"path\" id=\"defaultFolderText\">" +
           escapeMarkup(folder.empty() ? "Your Downloads folder" : folder) +
           "</span><button type=\"button\" class=\"secondary\" id=\"ctl00_" + selectionName +
           "\">Change\xE2\x80\xA6</button></div>\n";
}

std::string describe(const ServedFile& f) {
    std::string kind = f.packageBytes ? "Package" : "File";
    std::string parts = std::to_string(f.parts.size()) + (f.parts.size() == 1 ? " part" : " parts");
    std::string text = kind + " \xC2\xB7 " + parts;
    if (!f.spec.installCommand.empty()) text += " \xC2\xB7 runs " + f.spec.installCommand;
    return text;
}

}  // namespace

std::string renderNoContextPage(int64_t pageId,
                                const std::vector<std::shared_ptr<const Order>>& orders) {
    std::string html = head("My orders - Quenlow Store");
    html += header(true);
    html += "<main>\n<div id=\"aspnetForm\">\n";
    html += hidden("hfOrderNumber", "") + hidden("hfFileInfo", "") +
            hidden("hfDownloadActionButtonName", "downloadAction") +
            hidden("hfFolderSelectionButtonName", "BrowserFolderSelection") + "\n";
    html +=
        "<h1>My orders</h1>\n<div class=\"sub\">Choose an order to download its files."
        "<span id=\"ctl00_lblOrderNumber\"></span></div>\n";
    html += "<div id=\"notice\" class=\"notice\"></div>\n";
    html += folderBar("", "BrowserFolderSelection");
    html += "<div class=\"card empty\">";
    if (orders.empty()) {
        html += "There are no orders on this store yet.";
    } else {
        html += "Your orders:<ul>";
        for (const auto& o : orders) {
            std::string label = o->spec.title.empty() ? "Order " + o->spec.orderId : o->spec.title;
            html += "<li><a href=\"/Webstore/Order.aspx?order=" + escapeMarkup(o->spec.orderId) +
                    "\">" + escapeMarkup(label) + "</a> (" + std::to_string(o->files.size()) +
                    (o->files.size() == 1 ? " file" : " files") + ")</li>";
        }
        html += "</ul>";
    }
    html += "</div>\n</div>\n</main>\n";
    html += footer() + waitWidget() + script(pageId, "downloadAction");
    html += "</body>\n</html>\n";
    return html;
}

std::string renderOrderPage(int64_t pageId, const Order& order, const std::string& baseUrl) {
    const OrderSpec& spec = order.spec;
    std::string html = head("Your downloads - Quenlow Store");
    html += header(spec.upgradeLink);
    html += "<main>\n<div id=\"aspnetForm\">\n";
    html += hidden("hfOrderNumber", spec.labelOnly ? "" : spec.orderId) + "\n";
    html += hidden("hfFileInfo", order.fileInfoXml(baseUrl)) + "\n";
    html += hidden("hfDownloadActionButtonName", spec.actionButtonPrefix) +
            hidden("hfFolderSelectionButtonName", spec.folderSelectionName) + "\n";
    std::string label = spec.labelOnly ? spec.labelText : spec.orderId;
    html += "<h1>Your downloads</h1>\n<div class=\"sub\">";
    if (!spec.title.empty()) html += escapeMarkup(spec.title) + " \xC2\xB7 ";
    html += "Order <span id=\"ctl00_lblOrderNumber\">" + escapeMarkup(label) + "</span> \xC2\xB7 " +
            std::to_string(order.files.size()) + (order.files.size() == 1 ? " file" : " files") +
            "</div>\n";
    html += "<div id=\"notice\" class=\"notice\"></div>\n";
    html += folderBar(spec.defaultOutputFolder, spec.folderSelectionName);
    html +=
        "<div class=\"card\"><table "
        "class=\"files\">\n<thead><tr><th>File</th><th>Size</th><th>Progress</th>"
        "<th>Status</th><th></th></tr></thead>\n<tbody>\n";
    int n = 0;
    for (const ServedFile& f : order.files) {
        std::string num = std::to_string(++n);
        std::string fileUrl = baseUrl +
                              f.folderPath(f.spec.mirror ? "mirror" : "files", spec.orderId) +
                              "/select.aspx";
        html += "<tr class=\"row\" id=\"row" + num + "\" data-install=\"" +
                escapeMarkup(f.spec.installCommand) + "\">";
        html += "<td><div class=\"fname\">" + escapeMarkup(f.spec.fileName) +
                "</div><div class=\"fmeta\">" + escapeMarkup(describe(f)) +
                "</div><div class=\"ffolder\" id=\"folderText" + num + "\"></div>";
        html += hidden("productIdx" + num, f.spec.productIdx);
        if (f.spec.dlSelect) html += hidden("dlSelect" + f.spec.productIdx, "1");
        html += hidden("fileUrl" + num, fileUrl) + hidden("edv" + num, f.unpackParameter) +
                hidden("oiopua" + num, f.spec.oiopua) + hidden("hfProgress" + num, "0");
        html += "</td>";
        html += "<td class=\"size\">" + formatSize(f.size) + "</td>";
        html += "<td class=\"progress\"><div class=\"bar\"><div class=\"fill\" id=\"fill" + num +
                "\"></div></div><div class=\"pct\" id=\"pct" + num + "\">0 %</div></td>";
        html += "<td class=\"status\"><div class=\"text\" id=\"statusText" + num +
                "\">Ready to download</div><div class=\"detail\" id=\"statusDetail" + num +
                "\"></div></td>";
        html += "<td><button type=\"button\" class=\"action\" id=\"" + spec.actionButtonPrefix +
                num + "\"><span>Download</span></button></td>";
        html += "</tr>\n";
    }
    if (order.files.empty())
        html += "<tr><td colspan=\"5\" class=\"empty\">This order has no files.</td></tr>\n";
    html += "</tbody></table></div>\n</div>\n</main>\n";
    html += footer() + waitWidget() + script(pageId, spec.actionButtonPrefix, spec.syncCalls);
    html += "</body>\n</html>\n";
    return html;
}

std::string renderUpgradePage() {
    std::string html = head("Upgrade Quenlow - Quenlow Store");
    html += header(false);
    html +=
        "<main><h1>Upgrade Quenlow</h1><div class=\"card empty\">This demo store has no newer "
        "version of "
        "Quenlow to offer. You are up to date.</div></main>\n";
    html += footer() + "</body>\n</html>\n";
    return html;
}

std::string renderNotFoundPage(const std::string& what) {
    std::string html = head("Not found - Quenlow Store");
    html += header(false);
    html += "<main><h1>Not found</h1><div class=\"card empty\">" + escapeMarkup(what) +
            " <a href=\"" + kNoContextPath + "\">Back to my orders</a></div></main>\n";
    html += footer() + "</body>\n</html>\n";
    return html;
}

}  // namespace quenlow::store
