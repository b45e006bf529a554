// The list of accounts and its files: a login adds or refreshes by number, names stay unique,
// every account is remembered in a 0600 file of its own and read back, a file that is not an
// account's is skipped, and the single session an earlier version kept becomes the first
// account. Then the headless front end's accounts file, whose every fault names its line.
#include "web/accounts.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "temp_folder.h"
#include "web/accounts_file.h"
#include "web/kept_session.h"

namespace vellicor::web {
namespace {

namespace fs = std::filesystem;

TEST(AccountNumber, ReadFromTheUinCookie) {
    struct Case {
        std::string cookies;
        std::string number;
    };
    const Case cases[] = {
        {"uin=o10001; skey=@k", "10001"},
        {"skey=@k; uin=o0010002", "10002"},
        {" uin = o10003 ", "10003"},
        {"ptui_loginuin=10004; skey=@k", ""},  // not the uin cookie
        {"uin=oabc; skey=@k", ""},
        {"uin=o; skey=@k", ""},
        {"uin=o000", ""},
        {"", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(accountNumber(c.cookies), c.number) << c.cookies;
    }
    EXPECT_EQ(cookiesOfKeptLines("uin=o1; path=/; domain=.x\nskey=@k; HttpOnly\n\nbroken\n"),
              "uin=o1; skey=@k");
}

class AccountListTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(dir_.empty()) << "no folder for the test"; }
    std::string fileOf(const std::string& number) const {
        return accountsFolder(dir_) + "/" + number;
    }
    test::TempFolder folder_{"vellicor-accounts"};
    const std::string dir_ = folder_.path();
};

TEST_F(AccountListTest, LoginsAddOrRefreshByNumberAndNamesStayUnique) {
    AccountList list = AccountList::open(dir_, true).list;
    struct Step {
        std::string cookies;
        std::size_t index;
        std::size_t size;
    };
    const Step steps[] = {
        {"uin=o10001; skey=a", 0, 1},
        {"uin=o10002; skey=b", 1, 2},
        {"skey=c; uin=o10001", 0, 2},  // the same account logged in again
    };
    for (const Step& s : steps) {
        auto added = list.addOrRefresh(s.cookies);
        ASSERT_TRUE(added.ok()) << added.error().message;
        EXPECT_EQ(*added, s.index) << s.cookies;
        EXPECT_EQ(list.accounts().size(), s.size) << s.cookies;
    }
    EXPECT_EQ(list.find("10001")->cookies, "skey=c; uin=o10001");
    EXPECT_EQ(list.find("10001")->name, "10001");
    EXPECT_FALSE(list.addOrRefresh("skey=d").ok());
    EXPECT_FALSE(list.addOrRefresh("uin=o10009; skey=\r\nX: y").ok());

    struct Rename {
        std::string number;
        std::string name;
        bool ok;
    };
    const Rename renames[] = {
        {"10001", " 小号1 ", true},   {"10002", "小号1", false},  // another account's name
        {"10002", "  ", false},       {"10002", "a\tb", false},
        {"10002", "a\u009bb", false},  // C1: a terminal's control sequence
        {"10003", "小号3", false},     // no such account
        {"10001", "小号1", true},      // its own name again
    };
    for (const Rename& r : renames) {
        EXPECT_EQ(list.rename(r.number, r.name).ok(), r.ok) << r.number << " " << r.name;
    }
    EXPECT_EQ(list.find("10001")->name, "小号1");
    // A new account whose number another account has for its name gets a name of its own.
    ASSERT_TRUE(list.rename("10002", "10005").ok());
    ASSERT_TRUE(list.addOrRefresh("uin=o10005; skey=e").ok());
    EXPECT_EQ(list.find("10005")->name, "10005#2");
}

TEST_F(AccountListTest, EachAccountIsRememberedInItsOwnPrivateFileAndReadBack) {
    {
        AccountList list = AccountList::open(dir_, true).list;
        ASSERT_TRUE(list.addOrRefresh("uin=o10001; skey=a", "uin=o10001; path=/\n").ok());
        ASSERT_TRUE(list.addOrRefresh("uin=o10002; skey=b").ok());
        ASSERT_TRUE(list.rename("10002", "小号2").ok());
        ASSERT_TRUE(list.setProxy("10002", "127.0.0.1:3128").ok());
        EXPECT_FALSE(list.setProxy("10002", "u%zz@127.0.0.1:1").ok());
    }
    for (const std::string number : {"10001", "10002"}) {
        struct stat st {};
        ASSERT_EQ(::stat(fileOf(number).c_str(), &st), 0) << number;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << number;
    }
    const auto opened = AccountList::open(dir_, true);
    EXPECT_TRUE(opened.skipped.empty());
    ASSERT_EQ(opened.list.accounts().size(), 2u);
    const Account& second = opened.list.accounts()[1];
    EXPECT_EQ(second.name, "小号2");
    EXPECT_EQ(second.cookies, "uin=o10002; skey=b");
    EXPECT_EQ(second.proxy, "127.0.0.1:3128");
    EXPECT_EQ(opened.list.accounts()[0].kept, "uin=o10001; path=/\n");

    AccountList list = opened.list;
    auto removed = list.remove("10001");
    ASSERT_TRUE(removed.ok());
    EXPECT_EQ(removed->profileFolder, profileFolder(dir_, "10001"));
    EXPECT_FALSE(fs::exists(fileOf("10001")));
    EXPECT_TRUE(fs::exists(fileOf("10002")));
    EXPECT_FALSE(list.remove("10001").ok());
    EXPECT_EQ(AccountList::open(dir_, true).list.accounts().size(), 1u);

    // Remembering off: nothing of any login stays on disk.
    EXPECT_TRUE(AccountList::open(dir_, false).list.accounts().empty());
    EXPECT_FALSE(fs::exists(accountsFolder(dir_)));
    auto kept = AccountList::open(dir_, true).list;
    EXPECT_TRUE(kept.accounts().empty());
}

TEST_F(AccountListTest, FilesThatAreNoAccountsAreSkippedAndTheOthersRead) {
    AccountList list = AccountList::open(dir_, true).list;
    ASSERT_TRUE(list.addOrRefresh("uin=o10001; skey=a").ok());
    struct Case {
        const char* what;
        std::string number;
        std::string text;
    };
    const Case cases[] = {
        {"cut short", "10002", "name=x\ncookies=uin=o10002"},
        {"another account's cookies", "10003", "name=x\ncookies=uin=o10001\n\n"},
        {"no cookies", "10004", "name=x\nproxy=\n\n"},
        {"an unknown line", "10005", "name=x\ncookies=uin=o10005\nwho=me\n\n"},
        {"not UTF-8", "10006", "name=\xff\ncookies=uin=o10006\n\n"},
        {"empty", "10007", ""},
    };
    for (const Case& c : cases) {
        std::ofstream(fileOf(c.number), std::ios::binary) << c.text;
    }
    // Two accounts given one name by hand: the one read second shows its number.
    ASSERT_TRUE(list.rename("10001", "小号").ok());
    std::ofstream(fileOf("9")) << "name=小号\ncookies=uin=o9\n\n";
    std::ofstream(fileOf("10001") + ".new") << "name=y\ncookies=uin=o10001\n\n";
    fs::create_directories(fileOf("10008"));

    const auto opened = AccountList::open(dir_, true);
    ASSERT_EQ(opened.list.accounts().size(), 2u);
    EXPECT_EQ(opened.list.accounts()[0].name, "小号");  // by number, 9 before 10001
    EXPECT_EQ(opened.list.accounts()[1].name, "10001");
    ASSERT_EQ(opened.skipped.size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_NE(opened.skipped[i].find(cases[i].number), std::string::npos) << cases[i].what;
        EXPECT_TRUE(fs::exists(fileOf(cases[i].number))) << cases[i].what;
    }
}

TEST_F(AccountListTest, TheSingleKeptSessionBecomesTheFirstAccount) {
    struct Case {
        const char* what;
        std::string kept;
        std::size_t accounts;
        std::size_t skipped;
    };
    const Case cases[] = {
        {"a logged-in session", "uin=o10001; path=/; domain=.x\nskey=@k; HttpOnly\n", 1, 0},
        {"a session of no account", "skey=@k; path=/\n", 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(accountsFolder(dir_));
        ASSERT_TRUE(writeKeptSession(dir_ + "/session", c.kept));
        const auto opened = AccountList::open(dir_, true);
        EXPECT_EQ(opened.list.accounts().size(), c.accounts);
        EXPECT_EQ(opened.skipped.size(), c.skipped);
        EXPECT_FALSE(fs::exists(dir_ + "/session"));
        if (c.accounts == 1) {
            const Account& first = opened.list.accounts()[0];
            EXPECT_EQ(first.cookies, "uin=o10001; skey=@k");
            EXPECT_EQ(first.kept, c.kept);
            EXPECT_TRUE(fs::exists(fileOf("10001")));
        }
    }
}

TEST(AccountsFile, ReadsNamesCookiesAndProxies) {
    const auto accounts = parseAccountsFile(
        "\xEF\xBB\xBF# 我的帐号\n"
        "小号1\tuin=o10001; skey=a\r\n"
        "\n"
        "小号2\t uin=o10002; skey=b \t127.0.0.1:3128\n");
    ASSERT_TRUE(accounts.ok()) << accounts.error().message;
    ASSERT_EQ(accounts->size(), 2u);
    EXPECT_EQ((*accounts)[0].name, "小号1");
    EXPECT_EQ((*accounts)[0].cookies, "uin=o10001; skey=a");
    EXPECT_EQ((*accounts)[0].number, "10001");
    EXPECT_EQ((*accounts)[0].proxy, "");
    EXPECT_EQ((*accounts)[1].cookies, "uin=o10002; skey=b");
    EXPECT_EQ((*accounts)[1].proxy, "127.0.0.1:3128");
}

TEST(AccountsFile, EachFaultNamesItsLineAndNoCookie) {
    const std::string good = "a\tuin=o1; skey=SECRET1\n";
    struct Case {
        const char* what;
        std::string text;
        std::string says;  // "" for no line at all
    };
    const Case cases[] = {
        {"no tab", good + "b uin=o2; skey=SECRET2\n", "第 2 行"},
        {"too many fields", good + "b\tuin=o2; skey=SECRET2\t1.2.3.4:5\tx\n", "第 2 行"},
        {"no name", good + "\tuin=o2; skey=SECRET2\n", "第 2 行：缺少帐号名称"},
        {"no cookie", "# c\n\nb\t \n", "第 3 行：帐号 \"b\" 没有 cookie"},
        {"duplicate name", good + "\n\na\tuin=o2; skey=SECRET2\n",
         "第 4 行：帐号名称 \"a\" 与第 1 行重复"},
        {"one account twice", good + "b\tskey=SECRET2; uin=o01\n",
         "第 2 行：帐号 \"b\" 与第 1 行是同一个帐号"},
        {"a control byte", good + "b\tuin=o2; skey=SECRET2\x1b[2J\n", "第 2 行"},
        {"a C1 control in a name", good + "b\u009b2J\tuin=o2; skey=SECRET2\n", "第 2 行"},
        {"a bad proxy", good + "b\tuin=o2; skey=SECRET2\tu%zz@h:1\n",
         "第 2 行：帐号 \"b\" 的代理无效"},
        {"not UTF-8", good + good + "b\tuin=o2; skey=SECRET2\xff\n", "第 3 行：不是 UTF-8"},
        {"UTF-16",
         "\xFF\xFE"
         "a\0",
         "不是 UTF-8"},
        {"no accounts", "# nobody\n\n", "没有帐号"},
    };
    for (const Case& c : cases) {
        const auto parsed = parseAccountsFile(c.text);
        ASSERT_FALSE(parsed.ok()) << c.what;
        const std::string& message = parsed.error().message;
        EXPECT_NE(message.find(c.says), std::string::npos) << c.what << ": " << message;
        EXPECT_EQ(message.find("SECRET"), std::string::npos) << c.what << ": " << message;
    }
    EXPECT_FALSE(loadAccountsFile("/nonexistent/accounts.txt").ok());
}

}  // namespace
}  // namespace vellicor::web
