// The README's PostgreSQL recipe, followed against the test's own server: a role named after the
// service's user, a database it owns (PostgreSQL 15 lets only the owner create tables in its
// public schema), and a URI with the socket directory as its host.
#include <gtest/gtest.h>
#include <httplib.h>

#include <cstdlib>

#include "CloudFixture.hpp"
#include "PostgresServer.hpp"

namespace kiv::test {
namespace {

TEST(KivCloudPostgresRecipe, TheServiceRoleStoresUploadsInTheDatabaseItOwns) {
    if (!PostgresServer::installed()) GTEST_SKIP() << "PostgreSQL is not installed";
    auto& postgres = PostgresServer::shared();
    ASSERT_TRUE(postgres.running()) << postgres.problem();
    const auto socket = postgres.socketDirectory().string();
    // As the postgres user there; here the cluster's superuser is "kiv" (trust stands in for peer).
    const auto as = " -h " + socket + " -U kiv ";
    ASSERT_EQ(std::system(((postgres.programs() / "createuser").string() + as + "kiv-cloud").c_str()), 0);
    ASSERT_EQ(std::system(((postgres.programs() / "createdb").string() + as + "-O kiv-cloud kiv").c_str()), 0);
    const auto server =
        startCloud([&](cloud::CloudOptions& o) { o.dbPath = "postgresql:///kiv?host=" + socket + "&user=kiv-cloud"; });
    ASSERT_TRUE(server && server->port() > 0);
    httplib::Client client("127.0.0.1", server->port());
    const auto answer = client.Post("/KIVClient", "CLIENTID=demo&SECRET=s3cret", "application/x-www-form-urlencoded");
    ASSERT_TRUE(answer && answer->status == 200);
    const auto token = nlohmann::json::parse(answer->body).value("token", "");
    const auto upload = client.Post("/ibeaconupdate", uploadBody(token, oneEid), "application/json");
    ASSERT_TRUE(upload);
    EXPECT_EQ(upload->status, 200) << upload->body;
    EXPECT_EQ(server->sightings().size(), 1u);
}

}  // namespace
}  // namespace kiv::test
