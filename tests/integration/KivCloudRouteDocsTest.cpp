// Every route kiv-cloud answers is documented, and the route table classifies as it reads.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>

#include "CloudRoutes.hpp"

namespace kiv::cloud {
namespace {

constexpr std::pair<unsigned, const char*> methodNames[] = {
    {routeGet, "GET"}, {routePost, "POST"}, {routeDelete, "DELETE"}};

TEST(KivCloudRouteDocs, EveryRouteHasItsHeadingAndReachesItsEndpoint) {
    std::ifstream in(KIV_DOCS_DIR "/http-api.md");
    ASSERT_TRUE(in.is_open());
    std::set<std::string> headings;
    for (std::string line; std::getline(in, line);)
        if (line.starts_with("### ")) headings.insert(line.substr(4));
    for (const auto& route : routeTable()) {
        std::string path(route.pattern);
        if (const auto hole = path.find("{id}"); hole != std::string::npos) path.replace(hole, 4, "a1");
        for (const auto& [bit, method] : methodNames) {
            if ((route.methods & bit) == 0) continue;
            const auto heading = std::string(method) + " " + std::string(route.pattern);
            EXPECT_TRUE(headings.contains(heading)) << "docs/http-api.md lacks ### " << heading;
            // No earlier route shadows this one; HEAD takes the GET routes.
            EXPECT_EQ(classify(method, path), route.endpoint) << heading;
            if (bit == routeGet) {
                EXPECT_EQ(classify("HEAD", path), route.endpoint) << heading;
            }
        }
    }
}

}  // namespace
}  // namespace kiv::cloud
