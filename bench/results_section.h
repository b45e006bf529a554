#pragma once
// Rewriting one section of bench/RESULTS.md and leaving every other one as it was. Each
// benchmark owns its sections: the firing benchmark its "# " sections (with the "## "
// headings inside them), the simulator benchmarks their "## " sections under
// kSimulatorHeading.

#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

namespace vellicor::bench {

// The "# " section that holds the sections of the benchmarks run against the portal
// simulator ("## Arrival at the mall", "## Memory").
inline constexpr const char* kSimulatorHeading = "# Against the portal simulator";

namespace detail {

// Where the line `heading` starts (a whole line), or npos.
inline std::size_t headingAt(const std::string& text, const std::string& heading) {
    if (text.starts_with(heading + "\n")) {
        return 0;
    }
    const std::size_t at = text.find("\n" + heading + "\n");
    return at == std::string::npos ? at : at + 1;
}

// Where the first line at or after `from` that starts with one of the markers begins, or
// the text's end.
inline std::size_t nextHeading(const std::string& text, std::size_t from,
                               std::initializer_list<const char*> markers) {
    std::size_t best = text.size();
    for (const char* marker : markers) {
        const std::size_t at = text.find(std::string("\n") + marker, from);
        if (at != std::string::npos && at + 1 < best) {
            best = at + 1;
        }
    }
    return best;
}

// `section` in place of [from, to), one blank line kept before what follows.
inline std::string splice(const std::string& text, std::size_t from, std::size_t to,
                          const std::string& section) {
    if (to >= text.size()) {
        return text.substr(0, from) + section;
    }
    return text.substr(0, from) + section + "\n" + text.substr(to);
}

inline std::string appended(const std::string& text, const std::string& section) {
    return text + (text.empty() || text.ends_with("\n\n") ? "" : "\n") + section;
}

}  // namespace detail

// The text with its section under `heading` (a line "# ..." up to the next such line) replaced,
// or added at the end.
inline std::string replaceSection(const std::string& text, const std::string& heading,
                                  const std::string& section) {
    const std::size_t from = detail::headingAt(text, heading);
    if (from == std::string::npos) {
        return detail::appended(text, section);
    }
    const std::size_t next = detail::nextHeading(text, from + heading.size(), {"# "});
    return detail::splice(text, from, next, section);
}

// The text with its section under `heading` (a line "## ..." up to the next "## " or "# "
// line) replaced. A section not there yet goes at the end of the "# " section `parent`,
// which is added at the end when it is missing too.
inline std::string replaceSubsection(const std::string& text, const std::string& parent,
                                     const std::string& heading, const std::string& section) {
    const std::size_t from = detail::headingAt(text, heading);
    if (from != std::string::npos) {
        const std::size_t next = detail::nextHeading(text, from + heading.size(), {"# ", "## "});
        return detail::splice(text, from, next, section);
    }
    const std::size_t group = detail::headingAt(text, parent);
    if (group == std::string::npos) {
        return detail::appended(text, parent + "\n\n" + section);
    }
    const std::size_t end = detail::nextHeading(text, group + parent.size(), {"# "});
    std::string before = text.substr(0, end);
    const std::string after = text.substr(end);
    before = detail::appended(before, section);
    return after.empty() ? before : before + "\n" + after;
}

// What every section notes about the run: the one-minute load average and the date.
inline std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one;
    in >> one;
    return one.empty() ? "unknown" : one;
}

inline std::string today() {
    char buf[32];
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &tm);
    return buf;
}

// A section's opening lines: the heading, what ran (`about`, its lines ending in "  \n"), the
// date and the load average at start and end. What follows goes on the last line.
inline std::string sectionHeader(const std::string& heading, const std::string& about,
                                 const std::string& loadBefore, const std::string& loadAfter) {
    return heading + "\n\n" + about + "Date: " + today() + "  \nLoad average (1 min) at start " +
           loadBefore + ", at end " + loadAfter;
}

// The whole results file, empty when there is none yet. Read it whole before opening it for
// writing, which empties it.
inline std::string readResults(const char* path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace vellicor::bench
