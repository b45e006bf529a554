#pragma once
// Option parsing shared by the subcommands: "--name value" or "--name=value", each name from
// the command's own list; anything else is refused with a message for the user.

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/commands.h"
#include "platform/result.h"

namespace vellicor::cli {

class Options {
  public:
    // Names without the leading dashes. Words that do not start with "--" are positional.
    // `flags` take no value; given, has() holds and value() is empty.
    static Result<Options> parse(const Args& args, std::initializer_list<std::string_view> names,
                                 std::initializer_list<std::string_view> flags = {});

    bool has(std::string_view name) const;
    // The last value given for the name.
    std::optional<std::string> value(std::string_view name) const;
    // Every value given for the name, in order (options that may repeat).
    std::vector<std::string> values(std::string_view name) const;
    const std::vector<std::string>& positional() const { return positional_; }

  private:
    std::vector<std::pair<std::string, std::string>> given_;
    std::vector<std::string> positional_;
};

}  // namespace vellicor::cli
