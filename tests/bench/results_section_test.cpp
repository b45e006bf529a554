// Rewriting one section of the benchmark's results must leave every other section as it was.

#include <gtest/gtest.h>

#include <string>

#include "bench/precision/bench_common.h"

namespace vellicor::bench {
namespace {

const std::string kFiring = "# Firing benchmark\n\n| a |\n\n## Reading\n\n- old\n";
const std::string kH2Old = "# HTTP/2 over TLS\n\n| old |\n";
const std::string kH2New = "# HTTP/2 over TLS\n\n| new |\n";
const std::string kLater = "# Later\n\ntext\n";

TEST(ResultsSection, ReplacesOnlyItsOwnSection) {
    struct Case {
        const char* name;
        std::string before;
        std::string after;
    };
    const Case cases[] = {
        {"added to an empty file", "", kH2New},
        {"added after the others", kFiring, kFiring + "\n" + kH2New},
        {"replaced at the end", kFiring + "\n" + kH2Old, kFiring + "\n" + kH2New},
        {"replaced in the middle", kFiring + "\n" + kH2Old + "\n" + kLater,
         kFiring + "\n" + kH2New + "\n" + kLater},
        {"replaced at the start", kH2Old + "\n" + kFiring, kH2New + "\n" + kFiring},
        {"a second-level heading of the same words is not it",
         "# Firing benchmark\n\n## HTTP/2 over TLS\n",
         "# Firing benchmark\n\n## HTTP/2 over TLS\n\n" + kH2New},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(replaceSection(c.before, "# HTTP/2 over TLS", kH2New), c.after);
    }
}

// The simulator benchmarks' "## " sections sit under one "# " heading of their own, so that
// neither a rewrite of theirs nor one of the firing benchmark's "# " sections touches another.
TEST(ResultsSection, ReplacesOnlyItsOwnSubsection) {
    const std::string parent = "# Simulator";
    const std::string memory = "## Memory\n\n| m |\n";
    const std::string arrivalOld = "## Arrival\n\n| old |\n\n### Targets\n\n- old\n";
    const std::string arrivalNew = "## Arrival\n\n| new |\n\n### Targets\n\n- new\n";
    const std::string group = parent + "\n\n" + memory;
    struct Case {
        const char* name;
        std::string before;
        std::string after;
    };
    const Case cases[] = {
        {"added with its parent to an empty file", "", parent + "\n\n" + arrivalNew},
        {"added with its parent after the others", kFiring,
         kFiring + "\n" + parent + "\n\n" + arrivalNew},
        {"added at the end of its parent, before a later section",
         kFiring + "\n" + group + "\n" + kLater,
         kFiring + "\n" + group + "\n" + arrivalNew + "\n" + kLater},
        {"replaced before a sibling", parent + "\n\n" + arrivalOld + "\n" + memory,
         parent + "\n\n" + arrivalNew + "\n" + memory},
        {"replaced at the end of its parent, before a later section",
         kFiring + "\n" + group + "\n" + arrivalOld + "\n" + kLater,
         kFiring + "\n" + group + "\n" + arrivalNew + "\n" + kLater},
        {"replaced at the end of the file", group + "\n" + arrivalOld, group + "\n" + arrivalNew},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(replaceSubsection(c.before, parent, "## Arrival", arrivalNew), c.after);
    }
    // A rewrite of a "# " section stops at the next "# " heading, whatever "## " it holds.
    const std::string text = kH2Old + "\n" + group + "\n" + arrivalOld;
    EXPECT_EQ(replaceSection(text, "# HTTP/2 over TLS", kH2New),
              kH2New + "\n" + group + "\n" + arrivalOld);
}

}  // namespace
}  // namespace vellicor::bench
