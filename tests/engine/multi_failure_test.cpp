// libcurl's multi interface failing under a run: the run ends with one line per worker that
// says why, instead of spinning or claiming answers.

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <atomic>

#include "doubles.h"
#include "mall/exchange_controller.h"
#include "portal/server.h"

extern "C" {
CURLM* __real_curl_multi_init();
CURLMcode __real_curl_multi_poll(CURLM*, curl_waitfd*, unsigned, int, int*);
}

namespace {

std::atomic<bool> initFails{false};
std::atomic<bool> pollFails{false};

}  // namespace

extern "C" {
CURLM* __wrap_curl_multi_init() {
    return initFails ? nullptr : __real_curl_multi_init();
}
CURLMcode __wrap_curl_multi_poll(CURLM* multi, curl_waitfd* fds, unsigned n, int ms, int* ret) {
    return pollFails ? CURLM_OUT_OF_MEMORY : __real_curl_multi_poll(multi, fds, n, ms, ret);
}
}

namespace vellicor::mall {
namespace {

TEST(MultiFailure, TheRunEndsWithOneLineEachSayingWhy) {
    struct Row {
        const char* name;
        bool init;
        bool poll;
        const char* says;
    };
    const Row rows[] = {
        {"no multi handle", true, false, "curl_multi_init"},
        {"waiting fails", false, true, "网络等待失败"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        portal::ServerOptions options;
        options.scenarioJson =
            R"({"sessions": {"10001": "k"}, "itemDefaults": {"price": 0}, "replyDelayMs": 500})";
        auto server = portal::Server::start(options);
        ASSERT_TRUE(server.ok());
        Config config = Config::defaults().withPortal((*server)->baseUrl());
        test::LogCapture log;
        initFails = row.init;
        pollFails = row.poll;
        ExchangeController controller(config, SystemClock::instance(), log.sink());
        const bool started = controller.start({"选择框1"}, "3", web::oneAccount("uin=o10001; skey=k"));
        controller.wait();
        initFails = false;
        pollFails = false;
        ASSERT_TRUE(started);
        EXPECT_EQ(log.count("  :"), 3) << log.text();
        EXPECT_EQ(log.count(row.says), 3) << log.text();
        EXPECT_EQ(log.count("该商品"), 0) << "no answer may be claimed";
    }
}

}  // namespace
}  // namespace vellicor::mall
