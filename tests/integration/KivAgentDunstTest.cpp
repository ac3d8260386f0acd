// kiv-agent push --show against a real notification server: dunst on a private display and bus.
#include <gtest/gtest.h>

#ifdef KIV_AGENT_PATH
#include <fstream>

#include "AgentProcess.hpp"
#include "DunstDesktop.hpp"
#include "LoopbackServer.hpp"
#include "TestImages.hpp"

namespace {

// A whole 1x1 PNG: dunst decodes what it shows, where our checks look at the signature only.
const std::string kPng(
    "\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x01\0\0\0\x01\x08\x02\0\0\0\x90wS\xde\0\0\0\x0cIDATx\x9c"
    "c\xf8\xcf\xc0\0\0\x03\x01\x01\0\xc9\xfe\x92\xef\0\0\0\0IEND\xae\x42`\x82",
    69);

TEST(KivAgentOnDunst, ShowsTheTextAndDownloadedImageAndATapOpensTheClickURL) {
    if (!kiv::test::DunstDesktop::installed()) GTEST_SKIP() << "Debian's xvfb and dunst packages are not installed";
    kiv::test::DunstDesktop desktop;
    ASSERT_EQ(desktop.problem(), "");
    kiv::test::LoopbackServer images;
    images.server().Get("/banner.png",
                        [](const httplib::Request&, httplib::Response& res) { res.set_content(kPng, "image/png"); });
    images.start();
    const kiv::test::TempDir dir;
    auto payload = nlohmann::json::parse(std::ifstream(KIV_EXAMPLES_DIR "/push/basic.json"));
    payload["kiv-data"]["attachment-image-url"] = images.url("/banner.png");
    const auto file = dir.file("basic.json", payload.dump());

    kiv::test::Agent agent("push --show --wait 20 --tmpdir " + dir.path().string() + " " + file, desktop.busAddress());
    const std::string presented = R"({"event":"presented","id":)";
    ASSERT_TRUE(agent.waitForOutput(presented)) << agent.output();
    const auto output = agent.output();
    const auto id = std::stoul(output.substr(output.find(presented) + presented.size()));
    ASSERT_TRUE(desktop.tap(static_cast<std::uint32_t>(id))) << output << desktop.history();
    EXPECT_EQ(agent.wait(), 0) << agent.output();
    const std::string tapped = R"({"action":"default","event":"tapped","handled":true,)"
                               R"("opened":"https://example.com/offers/today"})";
    EXPECT_NE(agent.output().find("\n" + tapped + "\n"), std::string::npos) << agent.output();

    const auto shown = desktop.history();
    ASSERT_EQ(shown.size(), 1u) << shown;
    EXPECT_EQ(shown[0]["summary"], "Welcome");
    EXPECT_EQ(shown[0]["body"], "KIV store\nTen percent off today");
    EXPECT_EQ(shown[0].value("icon_path", "").rfind(dir.path().string() + "/", 0), 0u) << shown[0];
    EXPECT_EQ(desktop.logs().find("No icon found"), std::string::npos) << "dunst could not read the image";
}

}  // namespace
#endif
