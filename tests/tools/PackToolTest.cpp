#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/ScratchDir.h"

namespace {

namespace fs = std::filesystem;
using quenlow::test::ProgramRun;
using Args = std::vector<std::string>;

// Options written as one text, split at blanks.
Args words(const std::string& text) {
    Args out;
    std::istringstream in(text);
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

Args operator+(Args a, const Args& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class PackToolTest : public ::testing::Test {
  protected:
    quenlow::test::ScratchDir scratch{"packtool"};
    fs::path dir = scratch.path();
    static std::string slurp(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static void put(const fs::path& p, const std::string& text) {
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << text;
    }

    static ProgramRun run(const Args& arguments) {
        return quenlow::test::runProgram(Args{quenlow::test::builtProgram("quenlow-pack")} +
                                         arguments);
    }

    static std::string lastLine(const std::string& text) {
        std::string t = text;
        while (!t.empty() && t.back() == '\n') t.pop_back();
        return t.substr(t.find_last_of('\n') == std::string::npos ? 0 : t.find_last_of('\n') + 1);
    }
};

TEST_F(PackToolTest, PackThenUnpackEveryLayout) {
    const fs::path src = dir / "src";
    std::string big;
    while (big.size() < 400000) big += "payload " + std::to_string(big.size()) + "\n";
    put(src / "Setup/setup.bin", big);
    put(src / "Setup/docs/readme.txt", "hello");
    ::chmod((src / "Setup/docs/readme.txt").c_str(), 0444);
    timespec times[2] = {{1500000000, 0}, {1400000000, 0}};
    ::utimensat(AT_FDCWD, (src / "Setup/setup.bin").c_str(), times, 0);

    for (std::string options :
         {"", "--layout versioned --version 178 --key 19 --zlib-wrapped", "--layout sealed",
          "--layout sealed --version 180 --store-last", "--layout legacy"}) {
        const fs::path pkg = dir / "p.tarn", out = dir / "out";
        fs::remove_all(out);
        ProgramRun packed = run(Args{"pack", src.string(), pkg.string()} + words(options));
        ASSERT_EQ(packed.status, 0) << options << packed.err;
        const std::string parameter = lastLine(packed.out);
        ASSERT_NE(parameter.find("^^"), std::string::npos) << parameter;

        ProgramRun unpacked = run({"unpack", pkg.string(), out.string(), "--param", parameter});
        ASSERT_EQ(unpacked.status, 0) << options << unpacked.out << unpacked.err;
        // The legacy layout has no launch folder.
        EXPECT_EQ(lastLine(unpacked.out),
                  options == "--layout legacy" ? "launch-folder=" : "launch-folder=Setup")
            << options;
        EXPECT_NE(unpacked.out.find("percent=100"), std::string::npos) << options;
        if (options != "--layout legacy") {
            EXPECT_NE(unpacked.out.find("Unpacking File: " + pkg.string()), std::string::npos);
            EXPECT_NE(unpacked.out.find("crc-finished"), std::string::npos);
        }
        EXPECT_EQ(slurp(out / "Setup/setup.bin"), big);
        EXPECT_EQ(slurp(out / "Setup/docs/readme.txt"), "hello");
        struct stat st {};
        ASSERT_EQ(::stat((out / "Setup/setup.bin").c_str(), &st), 0);
        EXPECT_EQ(st.st_mtim.tv_sec, 1400000000) << options;
        ASSERT_EQ(::stat((out / "Setup/docs/readme.txt").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0222, 0u) << options;
    }
}

TEST_F(PackToolTest, FailuresEndWithTheFailingLogText) {
    put(dir / "src/a.txt", "some text");
    const fs::path pkg = dir / "p.tarn";
    ASSERT_EQ(run({"pack", (dir / "src").string(), pkg.string(), "--version", "178"}).status, 0);
    ProgramRun r = run({"unpack", pkg.string(), (dir / "out").string(), "--param", "5^^"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(lastLine(r.err), "CRC not valid2");
    EXPECT_NE(r.out.find("CRC Compare"), std::string::npos);

    r = run({"unpack", "--delete-on-crc-failure", pkg.string(), (dir / "out").string(), "--param",
             "5^^"});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(fs::exists(pkg));

    r = run({"unpack", (dir / "missing.tarn").string(), (dir / "out").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(fs::exists(dir / "missing.tarn"));
}

TEST_F(PackToolTest, BadArgumentsExitWithTwo) {
    put(dir / "src/a.txt", "x");
    const std::string src = (dir / "src").string(), pkg = (dir / "p").string();
    const Args packBoth = {"pack", src, pkg};
    for (const Args& args : std::vector<Args>{{},
                                              {"frobnicate"},
                                              {"unpack", pkg},
                                              {"pack", src},
                                              packBoth + Args{"--layout", "zip"},
                                              packBoth + Args{"--version", "1x8"},
                                              packBoth + words("--layout sealed --key short"),
                                              packBoth + Args{"--bogus"},
                                              {"pack", (dir / "nothing").string(), pkg},
                                              {"unpack", pkg, "out", "--param"}}) {
        ProgramRun r = run(args);
        const std::string shown = ::testing::PrintToString(args);
        EXPECT_EQ(r.status, 2) << shown;
        EXPECT_NE(r.err.find("usage:"), std::string::npos) << shown;
    }
    ProgramRun help = run({"pack", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("quenlow-pack unpack PACKAGE OUTPUT_FOLDER"), std::string::npos);
}

}  // namespace
