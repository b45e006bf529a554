#pragma once
// The mall's host resolved once per run. libcurl starts a resolver thread for every transfer
// that finds no cached address, so a thousand sends to one host would start a thousand
// threads; instead every transfer, and every connection of the engine's own, is handed the
// addresses found here.

#include <curl/curl.h>

#include <string>
#include <vector>

namespace vellicor::mall {

class ResolvedHost {
  public:
    ResolvedHost() = default;
    ResolvedHost(const ResolvedHost&) = delete;
    ResolvedHost& operator=(const ResolvedHost&) = delete;
    ~ResolvedHost();

    // Nothing is resolved through a proxy or for a literal address; a name that does not
    // resolve is left to each transfer, which then fails with curl's own resolver error.
    void resolve(const std::string& url, bool viaProxy);
    void apply(CURL* easy) const;
    // The numeric addresses found, in the resolver's order ("::1" without brackets).
    const std::vector<std::string>& addresses() const { return addresses_; }

  private:
    curl_slist* list_ = nullptr;
    std::vector<std::string> addresses_;
};

}  // namespace vellicor::mall
