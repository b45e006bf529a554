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

}  // namespace
}  // namespace vellicor::bench
