#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

namespace fs = std::filesystem;

struct ToolRun {
    int status;
    std::string out, err;
};

class PackToolTest : public ::testing::Test {
  protected:
    fs::path dir;

    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "quenlow-packtool-XXXXXX").string();
        dir = ::mkdtemp(tmpl.data());
    }
    void TearDown() override {
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(dir, ec);
             !ec && it != fs::recursive_directory_iterator(); ++it)
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(dir, ec);
    }

    static std::string tool() {
        const char* bin = std::getenv("QUENLOW_BIN_DIR");
        return std::string(bin ? bin : ".") + "/quenlow-pack";
    }
    static std::string slurp(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static void put(const fs::path& p, const std::string& text) {
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << text;
    }

    ToolRun run(const std::string& arguments) {
        const std::string cmd = tool() + " " + arguments + " >" + (dir / "stdout").string() +
                                " 2>" + (dir / "stderr").string();
        int raw = std::system(cmd.c_str());
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(dir / "stdout"),
                slurp(dir / "stderr")};
    }

    static std::string quote(const std::string& s) { return "'" + s + "'"; }
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
        ToolRun packed =
            run("pack " + quote(src.string()) + " " + quote(pkg.string()) + " " + options);
        ASSERT_EQ(packed.status, 0) << options << packed.err;
        const std::string parameter = lastLine(packed.out);
        ASSERT_NE(parameter.find("^^"), std::string::npos) << parameter;

        ToolRun unpacked = run("unpack " + quote(pkg.string()) + " " + quote(out.string()) +
                               " --param " + quote(parameter));
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
    ASSERT_EQ(
        run("pack " + quote((dir / "src").string()) + " " + quote(pkg.string()) + " --version 178")
            .status,
        0);
    ToolRun r = run("unpack " + quote(pkg.string()) + " " + quote((dir / "out").string()) +
                    " --param '5^^'");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(lastLine(r.err), "CRC not valid2");
    EXPECT_NE(r.out.find("CRC Compare"), std::string::npos);

    r = run("unpack --delete-on-crc-failure " + quote(pkg.string()) + " " +
            quote((dir / "out").string()) + " --param '5^^'");
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(fs::exists(pkg));

    r = run("unpack " + quote((dir / "missing.tarn").string()) + " " +
            quote((dir / "out").string()));
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(fs::exists(dir / "missing.tarn"));
}

TEST_F(PackToolTest, BadArgumentsExitWithTwo) {
    put(dir / "src/a.txt", "x");
    const std::string src = quote((dir / "src").string()), pkg = quote((dir / "p").string());
    for (std::string args :
         {std::string(""), std::string("frobnicate"), std::string("unpack ") + pkg, "pack " + src,
          "pack " + src + " " + pkg + " --layout zip", "pack " + src + " " + pkg + " --version 1x8",
          "pack " + src + " " + pkg + " --layout sealed --key short",
          "pack " + src + " " + pkg + " --bogus",
          "pack " + quote((dir / "nothing").string()) + " " + pkg,
          "unpack " + pkg + " out --param"}) {
        ToolRun r = run(args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_NE(r.err.find("usage:"), std::string::npos) << args;
    }
    ToolRun help = run("pack --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("quenlow-pack unpack PACKAGE OUTPUT_FOLDER"), std::string::npos);
}

}  // namespace
