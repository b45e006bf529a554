// The firing benchmark's HTTP/2 receiver: which receive time each request is given, and
// that reads are cut at TLS record ends.

#include <gtest/gtest.h>
#include <nghttp2/nghttp2.h>

#include <algorithm>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "bench/precision/h2_receiver.h"
#include "bench/precision/h2_session.h"

namespace vellicor::bench {
namespace {

const std::string kExchange = "/mall/index.php?op=exchangeing&id=1";

nghttp2_nv field(std::string_view name, std::string_view value) {
    return {reinterpret_cast<std::uint8_t*>(const_cast<char*>(name.data())),
            reinterpret_cast<std::uint8_t*>(const_cast<char*>(value.data())), name.size(),
            value.size(), NGHTTP2_NV_FLAG_NONE};
}

// A client session that frames requests and reads the replies' status and Date.
class Client {
  public:
    Client() {
        nghttp2_session_callbacks* cb = nullptr;
        nghttp2_session_callbacks_new(&cb);
        nghttp2_session_callbacks_set_on_header_callback(cb, &Client::onHeader);
        nghttp2_session_client_new(&session_, cb, this);
        nghttp2_session_callbacks_del(cb);
        nghttp2_submit_settings(session_, NGHTTP2_FLAG_NONE, nullptr, 0);
    }
    ~Client() { nghttp2_session_del(session_); }

    std::string frames() {
        std::string out;
        const std::uint8_t* data = nullptr;
        for (ssize_t n; (n = nghttp2_session_mem_send(session_, &data)) > 0;) {
            out.append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(n));
        }
        return out;
    }
    void get(const std::string& path, bool end, const std::string& cookie = "c=1") {
        const std::vector<nghttp2_nv> nv = {field(":method", "GET"), field(":scheme", "https"),
                                            field(":authority", "127.0.0.1:1"),
                                            field(":path", path), field("cookie", cookie)};
        last_ = nghttp2_submit_headers(session_, end ? NGHTTP2_FLAG_END_STREAM : 0, -1, nullptr,
                                       nv.data(), nv.size(), nullptr);
    }
    // An empty DATA frame ending the last stream.
    void end() {
        nghttp2_data_provider none{};
        none.read_callback = [](nghttp2_session*, std::int32_t, std::uint8_t*, std::size_t,
                                std::uint32_t* flags, nghttp2_data_source*, void*) -> ssize_t {
            *flags |= NGHTTP2_DATA_FLAG_EOF;
            return 0;
        };
        nghttp2_submit_data(session_, NGHTTP2_FLAG_END_STREAM, last_, &none);
    }
    void read(const std::string& bytes) {
        nghttp2_session_mem_recv(session_, reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                 bytes.size());
    }
    std::vector<std::string> statuses, dates;

  private:
    static int onHeader(nghttp2_session*, const nghttp2_frame*, const std::uint8_t* name,
                        std::size_t namelen, const std::uint8_t* value, std::size_t valuelen,
                        std::uint8_t, void* self) {
        auto& c = *static_cast<Client*>(self);
        const std::string n(reinterpret_cast<const char*>(name), namelen);
        const std::string v(reinterpret_cast<const char*>(value), valuelen);
        if (n == ":status") {
            c.statuses.push_back(v);
        } else if (n == "date") {
            c.dates.push_back(v);
        }
        return 0;
    }
    nghttp2_session* session_ = nullptr;
    std::int32_t last_ = 0;
};

struct Piece {
    std::string bytes;
    std::int64_t at;
};

struct Case {
    const char* name;
    std::function<std::vector<Piece>(Client&)> pieces;
    std::vector<std::int64_t> stamps;  // of the requests, in order
    std::vector<bool> exchange;
};

std::vector<Piece> split(const std::string& bytes, std::size_t at, std::int64_t first,
                         std::int64_t second) {
    return {{bytes.substr(0, at), first}, {bytes.substr(at), second}};
}

std::vector<Piece> join(std::vector<Piece> a, const std::vector<Piece>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::vector<Case>& cases() {
    static const std::vector<Case> list = {
        {"whole request in one record",
         [](Client& c) {
             c.get(kExchange, true);
             return std::vector<Piece>{{c.frames(), 100}};
         },
         {100},
         {true}},
        {"HEADERS completed by a later record",
         [](Client& c) {
             const std::string preface = c.frames();
             c.get(kExchange, true);
             const std::string headers = c.frames();
             return join({{preface, 100}}, split(headers, headers.size() - 3, 200, 300));
         },
         {300},
         {true}},
        {"END_STREAM held back to an empty DATA frame",
         [](Client& c) {
             c.get(kExchange, false);
             const std::string headers = c.frames();
             c.end();
             return std::vector<Piece>{{headers, 200}, {c.frames(), 300}};
         },
         {300},
         {true}},
        {"CONTINUATION completes the HEADERS",
         [](Client& c) {
             const std::string preface = c.frames();
             c.get(kExchange, true, std::string(20000, 'k'));
             const std::string headers = c.frames();
             // The HEADERS frame fills the default 16 KiB frame size; CONTINUATION follows.
             return join({{preface, 100}}, split(headers, 9 + 16384, 200, 300));
         },
         {300},
         {true}},
        {"two streams in one record, one not an exchange",
         [](Client& c) {
             c.get("/mall/index.php?op=record", true);
             c.get(kExchange, true);
             return std::vector<Piece>{{c.frames(), 400}};
         },
         {400, 400},
         {false, true}},
    };
    return list;
}

TEST(H2ReceiverSession, StampsEachRequestWithTheRecordThatCompletedIt) {
    for (const Case& t : cases()) {
        SCOPED_TRACE(t.name);
        Client client;
        auto server = H2ServerSession::create({128, "<p>body</p>"});
        ASSERT_NE(server, nullptr);
        std::vector<std::int64_t> stamps;
        std::vector<bool> exchange;
        for (const Piece& p : t.pieces(client)) {
            ASSERT_TRUE(server->receive(p.bytes, p.at));
            for (const H2Arrival& a : server->takeArrivals()) {
                stamps.push_back(a.at);
                exchange.push_back(a.exchange);
            }
        }
        EXPECT_EQ(stamps, t.stamps);
        EXPECT_EQ(exchange, t.exchange);
        EXPECT_EQ(server->protocolErrors(), 0);
        client.read(server->takeOutput());
        EXPECT_EQ(client.statuses, std::vector<std::string>(t.stamps.size(), "200"));
        EXPECT_EQ(client.dates.size(), t.stamps.size());
    }
}

TEST(H2ReceiverSession, HttpOneBytesAreAProtocolError) {
    auto server = H2ServerSession::create({128, ""});
    ASSERT_NE(server, nullptr);
    EXPECT_FALSE(server->receive("GET / HTTP/1.1\r\nHost: a\r\n\r\n", 1));
    EXPECT_EQ(server->protocolErrors(), 1);
    EXPECT_TRUE(server->takeArrivals().empty());
}

// Both receivers stamp an HTTP/1.1 request when its blank line is in, not its first bytes,
// and count only exchange requests as arrivals the benchmark measures.
TEST(Http1Framing, TakesOneWholeItemAtATime) {
    struct Framing {
        const char* what;
        std::string in;
        Http1Item item;
        std::string left;
    };
    const std::string head = "GET " + kExchange + " HTTP/1.1\r\nHost: m\r\n";
    const Framing cases[] = {
        {"nothing yet", "", Http1Item::Incomplete, ""},
        {"a floor byte", "XGET", Http1Item::FloorByte, "GET"},
        {"an exchange request and what follows", head + "\r\nGET", Http1Item::Exchange, "GET"},
        {"all but the last byte", head + "\r", Http1Item::Incomplete, head + "\r"},
        {"another request", "GET /mall/record.php HTTP/1.1\r\n\r\n", Http1Item::OtherRequest, ""},
        {"an exchange address as a query of another page",
         "GET /x?u=/mall/index.php?op=exchangeing HTTP/1.1\r\n\r\n", Http1Item::OtherRequest, ""},
    };
    for (const auto& c : cases) {
        std::string in = c.in;
        EXPECT_EQ(takeHttp1Item(in), c.item) << c.what;
        EXPECT_EQ(in, c.left) << c.what;
    }
}

std::string record(std::size_t body) {
    return std::string{'\x17', '\x03', '\x03', static_cast<char>(body >> 8),
                       static_cast<char>(body & 0xff)} +
           std::string(body, 'r');
}

// However few bytes the socket hands over at a time, no read runs past a record's end.
TEST(H2ReceiverRecordCut, ReadsEndWhereRecordsEnd) {
    const std::string stream = record(3) + record(0) + record(17000) + record(1);
    std::vector<std::size_t> ends;
    std::size_t end = 0;
    for (std::size_t size : {3u, 0u, 17000u, 1u}) {
        ends.push_back(end += 5 + size);
    }
    for (std::size_t socketGives : {1u, 2u, 7u, 4096u, 65536u}) {
        SCOPED_TRACE(socketGives);
        RecordCut cut;
        std::vector<std::size_t> readEnds;
        for (std::size_t at = 0; at < stream.size();) {
            const std::size_t n = std::min(cut.want(), socketGives);
            cut.took(stream.data() + at, n);
            readEnds.push_back(at += n);
        }
        for (std::size_t e : ends) {
            EXPECT_NE(std::find(readEnds.begin(), readEnds.end(), e), readEnds.end()) << e;
        }
    }
}

}  // namespace
}  // namespace vellicor::bench
