// The remembered login's file: a write that fails leaves nothing beside it, and with
// remembering off no file of an earlier start stays.
#include "web/kept_session.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "temp_folder.h"

namespace vellicor::web {
namespace {

namespace fs = std::filesystem;

class KeptSessionTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(dir_.empty()) << "no folder for the test"; }
    test::TempFolder folder_{"vellicor-session"};
    const std::string dir_ = folder_.path();
};

TEST_F(KeptSessionTest, AWriteIsWholeOrLeavesTheOldFileAndNothingBeside) {
    const std::string path = dir_ + "/data/session";
    ASSERT_TRUE(writeKeptSession(path, "skey=1\n"));
    EXPECT_EQ(test::readText(path), "skey=1\n");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat((dir_ + "/data").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    struct Case {
        const char* what;
        std::string path;
        void (*breakIt)(const std::string& path);
    };
    const Case cases[] = {
        // The rename fails: a folder stands where the file goes.
        {"a folder in the file's place", dir_ + "/folder/session",
         [](const std::string& p) { fs::create_directories(p + "/inside"); }},
        // The open fails: the folder is under a plain file.
        {"a folder that cannot be made", dir_ + "/plain/data/session",
         [](const std::string& p) {
             std::ofstream(fs::path(p).parent_path().parent_path().string()) << "x";
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.breakIt(c.path);
        EXPECT_FALSE(writeKeptSession(c.path, "skey=2\n"));
        EXPECT_FALSE(fs::exists(c.path + ".new"));
    }
    // What a write left beside the file, a link to a device among it, is not written through.
    const std::string linked = dir_ + "/linked/session";
    fs::create_directories(dir_ + "/linked");
    const std::string target = dir_ + "/linked/elsewhere";
    std::ofstream(target) << "untouched\n";
    fs::create_symlink(target, linked + ".new");
    EXPECT_TRUE(writeKeptSession(linked, "skey=3\n"));
    EXPECT_EQ(test::readText(linked), "skey=3\n");
    EXPECT_EQ(test::readText(target), "untouched\n");
}

TEST_F(KeptSessionTest, RememberingOffDeletesWhatAnEarlierStartKept) {
    ASSERT_TRUE(writeKeptSession(dir_ + "/session", "skey=1\n"));
    std::ofstream(dir_ + "/session.new") << "skey=0\n";
    EXPECT_EQ(keptSessionPath(dir_, true), dir_ + "/session");
    EXPECT_TRUE(fs::exists(dir_ + "/session"));

    EXPECT_EQ(keptSessionPath(dir_, false), "");
    EXPECT_FALSE(fs::exists(dir_ + "/session"));
    EXPECT_FALSE(fs::exists(dir_ + "/session.new"));
    EXPECT_EQ(keptSessionPath("", true), "");
}

}  // namespace
}  // namespace vellicor::web
