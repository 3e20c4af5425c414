// quenlow-fetch, the downloader without a window, run as a user would run it.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <pugixml.hpp>
#include <string>

#include "support/ChildProcess.h"
#include "support/ScratchDir.h"
#include "support/TestHttpServer.h"

namespace quenlow::test {
namespace {

namespace fs = std::filesystem;

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class FetchToolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server.addFile("/f.bin", content);
        std::ofstream(dir / "info.xml")
            << "<Files><File FileTypeID=\"3\" FileKey=\"1\" FileName=\"f.bin\">"
               "<FilePart FilePartKey=\"1\" FileID=\"A\" FileURL=\"" +
                   server.url("/f.bin") + "\"/></File></Files>";
    }

    // Runs quenlow-fetch from `folder` with the given arguments after the program.
    ProgramRun fetchFrom(const std::string& folder, const std::string& arguments) {
        return runProgram(
            {"/bin/sh", "-c",
             "cd '" + folder + "' && exec '" + builtProgram("quenlow-fetch") + "' " + arguments});
    }

    TestHttpServer server;
    const std::string content = generatedContent(3, 70000);
    ScratchDir scratch{"fetch"};
    const fs::path dir = scratch.path();
};

TEST_F(FetchToolTest, RelativePathsAreTakenFromTheCurrentFolder) {
    fs::create_directories(dir / "work");
    ProgramRun run = fetchFrom((dir / "work").string(), "../info.xml 42 state.xml out");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(slurp((dir / "work/out/f.bin").string()), content);
    pugi::xml_document saved;
    ASSERT_TRUE(saved.load_file((dir / "work/state.xml").c_str())) << run.err;
    EXPECT_STREQ(
        saved.select_node("/Orders/Order/Files/File").node().attribute("FileState").value(),
        "Complete");
    EXPECT_STREQ(
        saved.select_node("/Orders/Order/Files/File").node().attribute("OutputFolder").value(),
        (dir / "work/out").c_str());
}

TEST_F(FetchToolTest, ASaveThatFailsIsReportedAndFailsTheRun) {
    std::ofstream(dir / "blocker") << "a file where the state's folder should be";
    ProgramRun run = fetchFrom(dir.string(), "info.xml 42 blocker/state.xml out");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("cannot save the state to " + (dir / "blocker/state.xml").string()),
              std::string::npos)
        << run.err;
    EXPECT_EQ(slurp((dir / "out/f.bin").string()), content);  // the download itself went on
}

}  // namespace
}  // namespace quenlow::test
