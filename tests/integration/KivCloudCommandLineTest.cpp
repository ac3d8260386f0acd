// The kiv-cloud program's start: credentials from files, and the starts it refuses with one line.
#include <gtest/gtest.h>
#include <httplib.h>

#include <csignal>
#include <filesystem>

#include "TestImages.hpp"

#if defined(KIV_CLOUD_PATH) && defined(KIV_AGENT_PATH)
#include "AgentProcess.hpp"
#include "CloudFixture.hpp"

namespace kiv::test {
namespace {

std::string secretFile(const TempDir& dir, const std::string& name, const std::string& text, unsigned mode) {
    const auto path = dir.file(name, text);
    std::filesystem::permissions(path, static_cast<std::filesystem::perms>(mode));
    return path;
}

TEST(KivCloudCommandLine, ServesTheClientsAndAdminTokenOfItsFiles) {
    const TempDir dir;
    const auto clients = secretFile(dir, "clients", "# id:secret\n\n  gateway:g-secret  \r\nother:o:secret\n", 0640);
    const auto admin = secretFile(dir, "admin", " admin-secret \n", 0600);
    Agent cloud("--port 0 --client-file " + clients + " --admin-token-file " + admin, std::nullopt, KIV_CLOUD_PATH);
    ASSERT_TRUE(cloud.waitForOutput("\n")) << cloud.output();
    const auto port = std::stoi(cloud.output().substr(cloud.output().rfind(':') + 1));
    httplib::Client client("127.0.0.1", port);
    for (const char* form : {"CLIENTID=gateway&SECRET=g-secret", "CLIENTID=other&SECRET=o%3Asecret"}) {
        const auto answer = client.Post("/KIVClient", form, "application/x-www-form-urlencoded");
        EXPECT_TRUE(answer && answer->status == 200) << form;
    }
    const auto summary = client.Get("/summary", {{"Authorization", "Bearer admin-secret"}});
    EXPECT_TRUE(summary && summary->status == 200);
    cloud.signal(SIGTERM);
    EXPECT_EQ(cloud.wait(), 0);
}

TEST(KivCloudCommandLine, RefusesUnsafeOrMissingCredentialsWithOneLineThatShowsNoSecret) {
    const TempDir dir;
    const auto malformed = secretFile(dir, "bad", "ok:fine\nno-colon-secret\n", 0600);
    const auto open = secretFile(dir, "open", "a:b\n", 0644);
    const auto groupWritable = secretFile(dir, "group", "admin-secret\n", 0660);
    const auto busy = startCloud();
    const auto taken = std::to_string(busy->port());
    const std::string chmod = "; run chmod 600 ";
    const std::string orGroup = " (or chmod 640 to let its group read it)\n";
    const struct {
        std::string arguments;
        int status;  // 0: serves until stopped
        std::string output;
    } cases[] = {
        {"--no-credentials", 0, "listening on 127.0.0.1:"},
        {"", 2,
         "kiv-cloud: no client and no admin token, so no request could authenticate: add --client-file FILE "
         "(ID:SECRET lines) or --admin-token-file FILE, or --no-credentials to start anyway\n"},
        {"--client-file " + malformed, 2, "kiv-cloud: --client-file " + malformed + ":2: expected ID:SECRET\n"},
        {"--client-file " + open, 2,
         "kiv-cloud: --client-file " + open + ": open to others (mode 0644)" + chmod + open + orGroup},
        {"--admin-token-file " + groupWritable, 2,
         "kiv-cloud: --admin-token-file " + groupWritable + ": writable by its group (mode 0660)" + chmod +
             groupWritable + orGroup},
        {"--admin-token-file /dev/zero", 2, "kiv-cloud: --admin-token-file /dev/zero: not a regular file\n"},
        {"--client x:y --port " + taken, 1,
         "kiv-cloud: cannot listen on 127.0.0.1:" + taken + ": Address already in use\n"},
    };
    for (const auto& c : cases) {
        const auto port = c.arguments.find("--port") == std::string::npos ? "--port 0 " : "";
        Agent cloud(port + c.arguments, std::nullopt, KIV_CLOUD_PATH);
        if (!cloud.waitForOutput("\n")) cloud.signal(SIGKILL);
        if (c.status == 0) cloud.signal(SIGTERM);
        EXPECT_EQ(cloud.wait(), c.status) << c.arguments;
        EXPECT_EQ(cloud.output().substr(0, c.output.size()), c.output) << c.arguments;
        EXPECT_EQ(cloud.output().find("secret"), std::string::npos) << "never shows a secret: " << cloud.output();
    }
}

}  // namespace
}  // namespace kiv::test

#endif
