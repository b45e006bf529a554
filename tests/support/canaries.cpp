#include "canaries.h"

#include <cctype>
#include <filesystem>
#include <regex>

#include "temp_folder.h"

namespace vellicor::test {
namespace {

std::string percentDecoded(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() &&
            std::isxdigit(static_cast<unsigned char>(s[i + 1])) != 0 &&
            std::isxdigit(static_cast<unsigned char>(s[i + 2])) != 0) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += s[i] == '+' ? ' ' : s[i];
        }
    }
    return out;
}

std::string base64Decoded(const std::string& s) {
    static const std::string kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (char c : s) {
        bits = (bits << 6) | static_cast<unsigned>(kAlphabet.find(c));
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xffU);
        }
    }
    return out;
}

}  // namespace

// A token may start mid-run (after a prefix such as "AUTH PLAIN " glued to it by a decoder's
// view), so each run is decoded from each of the four offsets.
std::string everyReading(const std::string& text) {
    std::string all = text + "\n" + percentDecoded(text);
    static const std::regex run("[A-Za-z0-9+/]{8,}");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), run);
         it != std::sregex_iterator(); ++it) {
        for (std::size_t shift = 0; shift < 4; ++shift) {
            all += "\n" + base64Decoded(it->str().substr(shift));
        }
    }
    return all;
}

std::vector<std::string> strayCanaries(const std::vector<Sink>& sinks,
                                       const std::vector<std::string>& canaries) {
    std::vector<std::string> found;
    for (const Sink& sink : sinks) {
        const std::string readings = everyReading(sink.text);
        for (const std::string& canary : canaries) {
            if (sink.allowed.count(canary) == 0 && readings.find(canary) != std::string::npos) {
                found.push_back(canary + " in " + sink.what + ":\n" + sink.text.substr(0, 4000));
            }
        }
    }
    return found;
}

std::vector<Sink> filesUnder(const std::string& folder) {
    std::vector<Sink> sinks;
    for (const auto& e : std::filesystem::recursive_directory_iterator(folder)) {
        if (e.is_regular_file()) {
            sinks.push_back({"the file " + e.path().string(), readText(e.path().string()), {}});
        }
    }
    return sinks;
}

RawServer::Script recordingProxy() {
    return [forward = forwardingProxy()](Connection& c, const std::string& request) {
        static const std::regex own("Proxy-Authorization:[^\r]*\r\n", std::regex::icase);
        forward(c, std::regex_replace(request, own, ""));
    };
}

}  // namespace vellicor::test
