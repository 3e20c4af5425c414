// The save reads a running controller's shared fields.

#include <atomic>
#include <cerrno>
#include <pugixml.hpp>
#include <thread>

#include "state/OrderState.h"
#include "support/DownloadFixture.h"
#include "support/FaultyFileSystem.h"

namespace quenlow::test {
namespace {

using Controller = DownloadFixture;

// Saves on this thread while a part task's failing opening clears the output
// folder and the controller stores launch folders from unpack reports. Every
// save must see whole values; the thread sanitizer sees any unguarded access.
TEST_F(Controller, SaveReadsFoldersWhileWorkersChangeThem) {
    FaultyFileSystem fs;
    fs.openFault = {EACCES};  // every opening fails: error 0, folder cleared
    setFileSystem(&fs);
    pacing().abortSettle = 0ms;
    const int rounds = 200;
    const std::string launchA = "Setup";
    const std::string launchB = "A launch folder long enough to live on the heap";

    OrderState order;  // declared after fs: joins the controller before fs goes
    order.orderId = "77";
    makeFile("race.bin", {"/never"});
    file->prelocated = true;  // the unpack reports delete nothing
    File& f = *file;
    order.files.push_back(std::move(file));
    f.parts[0]->length = 10;  // every layout step then tries to open the file
    f.startController();
    for (int i = 0; i < rounds; ++i)
        f.post(textMessage(UM_TASK_MESSAGE, DownloadTaskState_Unpacked, i % 2 ? launchB : launchA));
    std::atomic<bool> openerDone{false};
    std::thread opener([&] {
        for (int i = 0; i < rounds; ++i) {
            {
                Poco::FastMutex::ScopedLock lock(f.countersLock);
                f.outputFolder = outDir;
            }
            // Each round is a new run: an aborted one never opens the file again.
            f.parts[0]->state.store(PartState_Start);
            f.layoutStep();
        }
        openerDone = true;
    });

    // The last save comes after both writers are done and sees their final values.
    for (bool last = false; !last;) {
        last = openerDone.load() &&
               view.count(UM_FILE_STATUS, Status_Unpacked) == static_cast<size_t>(rounds);
        pugi::xml_document doc;
        doc.load_string(order.saveStateText().c_str());
        pugi::xml_node saved = doc.select_node("/Orders/Order/Files/File").node();
        std::string folder = saved.attribute("OutputFolder").value();
        std::string launch = saved.attribute("TarnLaunchFolder").value();
        EXPECT_TRUE(saved && (folder.empty() || folder == outDir)) << folder;
        EXPECT_TRUE(launch.empty() || launch == launchA || launch == launchB) << launch;
        if (last) {
            EXPECT_EQ(folder, "");
            EXPECT_EQ(launch, launchB);
        }
    }
    opener.join();
    EXPECT_EQ(view.count(UM_FILE_ERROR), static_cast<size_t>(rounds));
}

}  // namespace
}  // namespace quenlow::test
