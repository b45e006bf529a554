#include "cli/options.h"

#include <algorithm>

namespace vellicor::cli {

Result<Options> Options::parse(const Args& args, std::initializer_list<std::string_view> names,
                               std::initializer_list<std::string_view> flags) {
    Options out;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (!word.starts_with("--")) {
            out.positional_.push_back(word);
            continue;
        }
        std::string name = word.substr(2);
        std::optional<std::string> value;
        if (const auto eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        if (std::find(flags.begin(), flags.end(), name) != flags.end()) {
            if (value) {
                return makeError(ErrorCode::BadInput, "option --" + name + " takes no value");
            }
            out.given_.emplace_back(std::move(name), std::string());
            continue;
        }
        if (std::find(names.begin(), names.end(), name) == names.end()) {
            return makeError(ErrorCode::BadInput, "unknown option --" + name);
        }
        if (!value) {
            if (i + 1 >= args.size()) {
                return makeError(ErrorCode::BadInput, "option --" + name + " needs a value");
            }
            value = args[++i];
        }
        out.given_.emplace_back(std::move(name), std::move(*value));
    }
    return out;
}

bool Options::has(std::string_view name) const {
    return value(name).has_value();
}

std::optional<std::string> Options::value(std::string_view name) const {
    for (auto it = given_.rbegin(); it != given_.rend(); ++it) {
        if (it->first == name) {
            return it->second;
        }
    }
    return std::nullopt;
}

std::vector<std::string> Options::values(std::string_view name) const {
    std::vector<std::string> out;
    for (const auto& [n, v] : given_) {
        if (n == name) {
            out.push_back(v);
        }
    }
    return out;
}

}  // namespace vellicor::cli
