#include "platform/codec.h"

#include <errno.h>
#include <iconv.h>

#include <array>

namespace vellicor {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD
constexpr std::string_view kEuro = "\xE2\x82\xAC";         // U+20AC

// One iconv descriptor per thread and direction: opening one per call loads and unloads
// glibc's conversion module every time, which is slow and races with other threads doing
// the same.
class Converter {
  public:
    Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Converter() {
        if (valid()) {
            iconv_close(cd_);
        }
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // Forgets any shift state a previous, failed conversion left behind.
    void resetState() {
        if (valid()) {
            iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        }
    }

    // Converts as much of [in, in+left) as it can, appending to out. Returns the errno that
    // stopped it (0 when all input was used); in/left point past what was converted.
    int run(const char*& in, std::size_t& left, std::string& out) {
        std::array<char, 4096> block{};
        while (left > 0) {
            char* dst = block.data();
            std::size_t room = block.size();
            // iconv's prototype takes char** for historical reasons; it never writes input.
            char* src = const_cast<char*>(in);
            const std::size_t rc = iconv(cd_, &src, &left, &dst, &room);
            const int err = rc == static_cast<std::size_t>(-1) ? errno : 0;
            in = src;
            out.append(block.data(), block.size() - room);
            if (err != 0 && err != E2BIG) {
                return err;
            }
        }
        return 0;
    }

  private:
    iconv_t cd_;
};

// The first use pins both conversion modules for the life of the process, so that threads
// ending (and closing their descriptors) never unload a module another thread is using.
void pinModules() {
    // Held in a static, never closed: the leak checker sees them as reachable.
    static const iconv_t pins[] = {iconv_open("UTF-8", "GB18030"), iconv_open("GBK", "UTF-8")};
    (void)pins;
}

Converter& decoder() {
    pinModules();
    thread_local Converter conv("UTF-8", "GB18030");
    conv.resetState();
    return conv;
}

Converter& encoder() {
    pinModules();
    thread_local Converter conv("GBK", "UTF-8");
    conv.resetState();
    return conv;
}

}  // namespace

std::string gbkToUtf8(std::string_view gbk) {
    std::string out;
    out.reserve(gbk.size() + gbk.size() / 2);
    Converter& conv = decoder();
    if (!conv.valid()) {
        // Without the converter only ASCII can be trusted.
        for (unsigned char c : gbk) {
            out += c < 0x80 ? std::string_view(reinterpret_cast<const char*>(&c), 1) : kReplacement;
        }
        return out;
    }
    const char* in = gbk.data();
    std::size_t left = gbk.size();
    while (left > 0) {
        if (conv.run(in, left, out) == 0) {
            break;
        }
        // The byte at `in` starts no valid sequence (or a cut-off one): replace that byte
        // alone, so whatever follows it is decoded on its own. 0x80 is not in GB18030
        // proper, but the portal's code page writes the euro sign with it.
        out += static_cast<unsigned char>(*in) == 0x80 ? kEuro : kReplacement;
        ++in;
        --left;
    }
    return out;
}

Result<std::string> utf8ToGbk(std::string_view utf8) {
    Converter& conv = encoder();
    if (!conv.valid()) {
        return makeError(ErrorCode::Unavailable, "no GBK converter on this system");
    }
    std::string out;
    out.reserve(utf8.size());
    const char* in = utf8.data();
    std::size_t left = utf8.size();
    const int err = conv.run(in, left, out);
    if (err == 0) {
        return out;
    }
    const auto at = std::to_string(utf8.size() - left);
    if (err == EINVAL) {
        return makeError(ErrorCode::BadInput, "text ends inside a UTF-8 sequence");
    }
    // iconv reports invalid UTF-8 and a character without a GBK form alike.
    return makeError(
        ErrorCode::BadInput,
        "text holds invalid UTF-8 or a character GBK cannot write (at byte " + at + ")");
}

bool gbkContains(std::string_view gbk, std::string_view utf8Marker) {
    return gbkToUtf8(gbk).find(utf8Marker) != std::string::npos;
}

}  // namespace vellicor
