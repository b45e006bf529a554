#include "mall/resolved_host.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include "web/page_request.h"

namespace vellicor::mall {
namespace {

bool isLiteral(const std::string& host) {
    in6_addr buf{};
    return host.empty() || host.front() == '[' || inet_pton(AF_INET, host.c_str(), &buf) == 1 ||
           inet_pton(AF_INET6, host.c_str(), &buf) == 1;
}

std::string numeric(const addrinfo* a) {
    char text[INET6_ADDRSTRLEN] = {};
    if (a->ai_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
        inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
        return text;
    }
    if (a->ai_family == AF_INET6) {
        const auto* in = reinterpret_cast<const sockaddr_in6*>(a->ai_addr);
        inet_ntop(AF_INET6, &in->sin6_addr, text, sizeof text);
        return text;
    }
    return {};
}

}  // namespace

ResolvedHost::~ResolvedHost() {
    curl_slist_free_all(list_);
}

void ResolvedHost::resolve(const std::string& url, bool viaProxy) {
    auto address = web::splitAddress(url);
    if (!address || viaProxy || isLiteral(address->host)) {
        return;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(address->host.c_str(), nullptr, &hints, &found) != 0) {
        return;
    }
    std::string entry = address->host + ":" + std::to_string(address->port) + ":";
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        if (auto text = numeric(a); !text.empty()) {
            const bool v6 = a->ai_family == AF_INET6;
            entry += (addresses_.empty() ? "" : ",") + (v6 ? "[" + text + "]" : text);
            addresses_.push_back(std::move(text));
        }
    }
    freeaddrinfo(found);
    if (!addresses_.empty()) {
        list_ = curl_slist_append(nullptr, entry.c_str());
    }
}

void ResolvedHost::apply(CURL* easy) const {
    if (list_ != nullptr) {
        curl_easy_setopt(easy, CURLOPT_RESOLVE, list_);
    }
}

}  // namespace vellicor::mall
