// Runs the kiv-agent program and checks its output and exit status.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "FakeDBusService.hpp"
#include "TestImages.hpp"

#ifdef KIV_AGENT_PATH
#include "AgentProcess.hpp"

using kiv::test::Agent;
using kiv::test::run;

TEST(KivAgent, DecodeExitStatusTellsDecodedUnknownAndBadInputApart) {
    const struct {
        const char* hex;
        int status;
        const char* expected;  // contained in the output
    } cases[] = {
        {"00EC00112233445566778899AABBCCDDEEFF", 0,
         R"({"frameType":"uid","txPower":-20,"beaconID":"00112233445566778899aabbccddeeff","description":"Eddystone )"
         R"(BeaconID beacon: 00112233445566778899aabbccddeeff, txPower: -20, RSSI: 127"})"},
        {"20000bb8", 0, R"({"frameType":"tlm","telemetry":"20000bb8"})"},
        {"4000", 1, R"({"frameType":"unknown"})"},
        {"4C000215E2C56DB5DFFB48D2B060D0F5A71096E00001FF02C5", 0,
         R"({"frameType":"iBeacon","uuid":"E2C56DB5-DFFB-48D2-B060-D0F5A71096E0","major":1,"minor":65282,"measuredPower":-59})"},
        {"0215e2c56db5dffb48d2b060d0f5a71096e0000100027f", 0, R"("major":1,"minor":2,"measuredPower":127})"},
        {"xyz1", 2, "not hexadecimal"},
    };
    for (const auto& c : cases) {
        const auto r = run(std::string("decode ") + c.hex);
        EXPECT_EQ(r.status, c.status) << c.hex << ": " << r.output;
        EXPECT_NE(r.output.find(c.expected), std::string::npos) << c.hex << ": " << r.output;
    }
}

TEST(KivAgent, ScanPlaysAScenarioInVirtualTime) {
    const kiv::test::TempDir dir;
    const auto scenario = dir.file("scenario.jsonl", R"({"t": 0, "device": "d1", "rssi": -60, "serviceData": {"FEAA": "2000aa"}}
{"t": 0.5, "device": "d1", "rssi": -60, "serviceData": {"0000feaa-0000-1000-8000-00805f9b34fb": "30ec0102030405060708"}}

{"t": 2, "device": "d1", "rssi": -61, "serviceData": {"feaa": "30ec0102030405060708"}}
{"t": 3, "state": "poweredOff"}
{"t": 4, "device": "d1", "rssi": -61, "serviceData": {"feaa": "30ec0102030405060708"}}
)");
    const auto r = run("scan --simulate " + scenario);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output,
              R"({"t":0.5,"event":"found","beaconID":"0102030405060708","description":"Eddystone EID: 0102030405060708, RSSI: -60","telemetry":"2000aa"}
{"t":2.0,"event":"updated","beaconID":"0102030405060708","description":"Eddystone EID: 0102030405060708, RSSI: -61"}
{"t":17.0,"event":"lost","beaconID":"0102030405060708","description":"Eddystone EID: 0102030405060708, RSSI: -60","telemetry":"2000aa"}
)");
}

TEST(KivAgent, ScanNamesEveryBadLineAndRunsNothing) {
    const kiv::test::TempDir dir;
    const auto scenario = dir.file("scenario.jsonl", R"({"t": 0, "device": "d1", "serviceData": {"feaa": "30ec0102030405060708"}}
{not json
{"t": -1, "state": "poweredOn"}
{"t": 1, "state": "sideways"}
{"t": 1, "rssi": -50}
{"t": 1, "device": "d", "serviceData": {"feaa": "0g"}}
{"t": 1, "device": "d", "serviceData": {"xyz": "00"}}
[1, 2]
{"t": 1, "device": "d", "rssi": 18446744073709551615}
{"t": 1, "ibeacon": {"uuid": "1F2E3D4C-5B6A-4978-8695-A4B3C2D1E0F9", "major": 18446744073709551615, "minor": 1}, "rssi": -60}
{"t": 1, "ibeacon": {"uuid": "1F2E3D4C-5B6A-4978-8695-A4B3C2D1E0F9", "major": 1, "minor": 1}, "rssi": 18446744073709551615}
)" + std::string(600, '[') + std::string(600, ']') + "\n");
    const auto r = run("scan --simulate " + scenario);
    EXPECT_EQ(r.status, 2);
    for (int line = 2; line <= 12; ++line)
        EXPECT_NE(r.output.find(" line " + std::to_string(line) + ": "), std::string::npos) << line << "\n" << r.output;
    EXPECT_EQ(r.output.find("line 1:"), std::string::npos);
    EXPECT_EQ(r.output.find("\"event\""), std::string::npos);
    EXPECT_EQ(run("scan --simulate /nonexistent/scenario.jsonl").status, 2);
}

TEST(KivAgent, RadioCommandsSayWhyTheyCannotScanAndScanWhenTheyCan) {
    for (const char* command : {"radio", "scan --duration 5", "run --client c:s --duration 5",
                                "range E2C56DB5-DFFB-48D2-B060-D0F5A71096E0 --duration 5"}) {
        const auto r = run(command);  // the tests' system bus does not exist
        EXPECT_EQ(r.status, 1) << command << ": " << r.output;
        EXPECT_NE(r.output.find("no system D-Bus"), std::string::npos) << command << ": " << r.output;
    }

    auto fake = kiv::test::FakeBluez::start();
    ASSERT_TRUE(fake);
    auto r = run("scan --duration 5");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("kiv-agent scan: no Bluetooth adapter; "), std::string::npos) << r.output;
    ASSERT_TRUE(fake->addAdapter());
    r = run("radio");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("ready: scanning can work on hci0"), std::string::npos) << r.output;

    Agent scan("scan --duration 2");
    ASSERT_TRUE(fake->waitForStatus({{"adapters", {{"hci0", {{"discovering", true}}}}}}));
    fake->advertise({{"device", "b1"}, {"rssi", -60}, {"serviceData", {{"feaa", "30ec0102030405060708"}}}});
    EXPECT_EQ(scan.wait(), 0) << scan.output();
    const auto output = scan.output();
    EXPECT_NE(output.find(R"("event":"state","state":"poweredOn"})"), std::string::npos) << output;
    EXPECT_NE(output.find(R"("event":"found","beaconID":"0102030405060708")"), std::string::npos) << output;
}

TEST(KivAgent, RangePrintsEachSecondAndEachTransition) {
    const std::string uuid = "E2C56DB5-DFFB-48D2-B060-D0F5A71096E0";
    const kiv::test::TempDir dir;
    const auto scenario = dir.file("scenario.jsonl", R"({"t": 0, "ibeacon": {"uuid": ")" + uuid + R"(", "major": 1, "minor": 2}, "rssi": -65}
{"t": 1.2, "ibeacon": {"uuid": ")" + uuid + R"(", "major": 1, "minor": 2}, "rssi": null}
)");
    const auto r = run("range " + uuid + ":1:2 " + uuid + ":7 --simulate " + scenario + " --duration 35");
    EXPECT_EQ(r.status, 0) << r.output;
    const std::string one = R"("region":")" + uuid + R"(+1+2")";
    const std::string beacon = R"({"uuid":")" + uuid + R"(","major":1,"minor":2,)";
    for (const auto& line : {R"({"t":0.0,"event":"enter",)" + one + "}\n",
                             R"({"t":1.0,"event":"range",)" + one + R"(,"beacons":[)" + beacon +
                                 R"("rssi":-65,"accuracy":2.0,"proximity":"near"}]})" + "\n",
                             R"({"t":4.0,"event":"range",)" + one + R"(,"beacons":[)" + beacon +
                                 R"("rssi":0,"accuracy":-1.0,"proximity":"unknown"}]})" + "\n",
                             R"({"t":5.0,"event":"range",)" + one + R"(,"beacons":[]})" + "\n",
                             R"({"t":31.0,"event":"exit",)" + one + "}\n"})
        EXPECT_NE(r.output.find(line), std::string::npos) << line << r.output;
    EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), 2 + 2 * 35) << "enter, exit, two reports a second";

    EXPECT_EQ(run("range " + uuid + ":65536").status, 2);
}

TEST(KivAgent, RunCarriesAdvertisementsFromBluetoothdToTheCloud) {
    auto fake = kiv::test::FakeBluez::start();
    ASSERT_TRUE(fake && fake->addAdapter());
    const kiv::test::TempDir dir;
    const auto regions = dir.file("regions.json", R"({"data": [{"UUID": "1F2E3D4C5B6A49788695A4B3C2D1E0F9"}]})");
    const auto scenario = dir.file("scenario.jsonl", R"({"t": 0, "ibeacon": {"uuid": "1F2E3D4C-5B6A-4978-8695-A4B3C2D1E0F9", "major": 1, "minor": 2}, "rssi": -62}
{"t": 0.2, "device": "eid", "rssi": -70, "serviceData": {"feaa": "30ec1a2b3c4d5e6f7081"}}
{"t": 1.2, "device": "eid", "rssi": -71, "serviceData": {"feaa": "30ec1a2b3c4d5e6f7081"}}
)");
    // Played once the agent's scan runs: bluetoothd drops packets while nobody discovers.
    fake->post({{"cmd", "wait"}, {"status", {{"adapters", {{"hci0", {{"discovering", true}}}}}}}, {"timeout", 20}});
    fake->post({{"cmd", "play"}, {"file", scenario}});
    const auto r = run("run --embedded-cloud " + regions + " --client demo:secret --duration 7");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("1F2E3D4C-5B6A-4978-8695-A4B3C2D1E0F9 1/2         ibeacon"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("BeaconID beacon: 1a2b3c4d5e6f7081                eddystone"), std::string::npos) << r.output;
}

// A tap through a real notification server is KivAgentOnDunst's; here the close and the failures.
TEST(KivAgent, PushShowPresentsOnTheDesktopThenReportsTheClose) {
    const std::string show = "push --show --expire-after 2 " KIV_EXAMPLES_DIR "/push/basic.json";
    const auto r = run(show, "unix:path=/nonexistent/kiv-test-session-bus");
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("\nkiv-agent push: cannot show the notification: no session bus"), std::string::npos)
        << r.output;
    EXPECT_EQ(run("push --wait 3 x.json").status, 2) << "--wait needs --show";
    auto fake = kiv::test::FakeNotifications::start();
    ASSERT_TRUE(fake);
    Agent agent(show + " --wait 20");
    const auto calls = fake->calls(1);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0]["summary"], "Welcome");
    EXPECT_TRUE(fake->expectOk({{"cmd", "close"}, {"reason", 2}, {"id", calls[0]["id"]}}));
    EXPECT_EQ(agent.wait(), 0) << agent.output();
    EXPECT_NE(agent.output().find(R"({"event":"presented","id":)" + calls[0]["id"].dump() + "}\n" +
                                  R"({"event":"closed","reason":2})" + "\n"),
              std::string::npos)
        << agent.output();
}

TEST(KivAgent, HostileConfigurationSecretAndPayloadFilesAreRefusedAtOnceWithOneLine) {
    const kiv::test::TempDir dir;
    const auto times = [](const std::string& part, int n) {
        std::string text;
        for (int i = 0; i < n; ++i) text += part;
        return text;
    };
    const auto fifo = (dir.path() / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const auto open = dir.file("open", "s\n");
    std::filesystem::permissions(open, std::filesystem::perms::others_read, std::filesystem::perm_options::add);
    const auto groupWritable = dir.file("group", "s\n");
    std::filesystem::permissions(groupWritable, std::filesystem::perms::group_write,
                                 std::filesystem::perm_options::add);
    const auto key = dir.file("key.toml", "a" + times(".a", 50'000) + " = 1\n");
    const auto table = dir.file("table.toml", "[" + times("a.", 100'000) + "a]\n");
    const auto big = dir.file("big.toml", "#" + std::string(1 << 20, 'x'));
    const auto bigSecret = dir.file("big", std::string(4097, 's'));
    const auto deep = dir.file("deep.json", std::string(600, '[') + std::string(600, ']'));
    const std::string run = "kiv-agent run: ";
    const struct {
        std::string arguments;
        int status;
        std::string line;
    } cases[] = {
        {"run --config /dev/zero", 2, run + "/dev/zero: is not a regular file"},
        {"run --client c --secret-file /dev/zero", 2, run + "secret file /dev/zero: is not a regular file"},
        {"run --config " + fifo, 2, run + fifo + ": is not a regular file"},
        {"run --config " + big, 2, run + big + ": is larger than 1048576 bytes"},
        {"run --client c --secret-file " + bigSecret, 2, run + "secret file " + bigSecret + ": is larger than 4096 bytes"},
        {"run --config " + key, 2, run + key + ":1: nested more than 32 levels deep"},
        {"run --config " + table, 2, run + table + ":1: nested more than 32 levels deep"},
        {"run --client c --secret-file " + open, 2,
         run + "secret file " + open + " is open to others; run chmod 600 " + open +
             " (or chmod 640 to let its group read it)"},
        {"run --client c --secret-file " + groupWritable, 2,
         run + "secret file " + groupWritable + " is writable by its group; run chmod 600 " + groupWritable +
             " (or chmod 640 to let its group read it)"},
        {"push " + fifo, 1, "kiv-agent push: " + fifo + ": is not a regular file"},
        {"scan --simulate /dev/zero", 2, "kiv-agent scan: /dev/zero: is not a regular file"},
        {"push " + deep, 1, "kiv-agent push: the payload is nested more than 512 levels deep"},
    };
    for (const auto& c : cases) {
        Agent agent(c.arguments);
        if (!agent.waitForOutput("\n")) agent.signal(SIGKILL);  // a hang fails instead of holding the test
        EXPECT_EQ(agent.wait(), c.status) << c.arguments;
        EXPECT_EQ(agent.output(), c.line + "\n");
    }
}

#endif
