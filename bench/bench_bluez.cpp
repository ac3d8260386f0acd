// CPU per advertisement in our process, from bluetoothd's D-Bus signal to the central's delegate,
// on a private bus. The emitter (this program started with --emit) plays bluetoothd in a process
// of its own; its CPU and the bus daemon's are reported separately.
//
//   build/rel/bench/bench_bluez --benchmark_min_time=2
#include <benchmark/benchmark.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sdbus-c++/sdbus-c++.h>
#include <sstream>
#include <string>
#include <vector>

#include "kiv/platform/runtime/linux/AsioRuntime.hpp"
#include "kiv/platform/bluetooth/linux/BluezCentralManager.hpp"

extern char** environ;

namespace {

using Properties = std::map<std::string, sdbus::Variant>;

// --- the emitter: a bluetoothd that only advertises -------------------------------------------

int emit(const std::string& address) {
    auto connection = sdbus::createSessionBusConnectionWithAddress(address);
    connection->requestName("org.bluez");
    connection->addObjectManager("/", sdbus::floating_slot);
    auto adapter = sdbus::createObject(*connection, "/org/bluez/hci0");
    adapter->registerMethod("SetDiscoveryFilter").onInterface("org.bluez.Adapter1").implementedAs([](const Properties&) {});
    adapter->registerMethod("StartDiscovery").onInterface("org.bluez.Adapter1").implementedAs([] {});
    adapter->registerMethod("StopDiscovery").onInterface("org.bluez.Adapter1").implementedAs([] {});
    adapter->registerProperty("Powered").onInterface("org.bluez.Adapter1").withGetter([] { return true; });
    adapter->registerProperty("Discovering").onInterface("org.bluez.Adapter1").withGetter([] { return false; });
    adapter->registerProperty("Roles").onInterface("org.bluez.Adapter1").withGetter([] {
        return std::vector<std::string>{"central"};
    });
    adapter->finishRegistration();
    std::vector<std::unique_ptr<sdbus::IObject>> devices;
    for (int i = 0; i < 16; ++i) {
        char path[64];
        std::snprintf(path, sizeof path, "/org/bluez/hci0/dev_C0_00_00_00_00_%02X", i);
        devices.push_back(sdbus::createObject(*connection, path));
    }
    const std::vector<std::uint8_t> uid{0x00, 0xEC, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0, 0};

    std::cout << "ready" << std::endl;
    std::string line;
    // Serve calls until a command arrives on stdin: "N" sends N advertisements, "quit" ends.
    for (;;) {
        while (connection->processPendingRequest()) {
        }
        const auto data = connection->getEventLoopPollData();
        pollfd fds[2] = {{data.fd, data.events, 0}, {0, POLLIN, 0}};
        ::poll(fds, 2, data.getPollTimeout());
        if (!(fds[1].revents & POLLIN)) continue;
        if (!std::getline(std::cin, line) || line == "quit") return 0;
        const long count = std::stol(line);
        for (long n = 0; n < count; ++n) {
            auto& device = *devices[n % devices.size()];
            auto signal = device.createSignal("org.freedesktop.DBus.Properties", "PropertiesChanged");
            const Properties changed{
                {"RSSI", sdbus::Variant(static_cast<std::int16_t>(-60 - n % 20))},
                {"ServiceData", sdbus::Variant(std::map<std::string, sdbus::Variant>{
                                    {"0000feaa-0000-1000-8000-00805f9b34fb", sdbus::Variant(uid)}})}};
            signal << std::string("org.bluez.Device1") << changed << std::vector<std::string>{};
            device.emitSignal(signal);
            if (n % 256 == 0) {
                while (connection->processPendingRequest()) {
                }
            }
        }
        timespec cpu{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
        std::cout << cpu.tv_sec * 1e6 + cpu.tv_nsec / 1e3 << std::endl;
    }
}

// --- the measuring side -----------------------------------------------------------------------

/// A child process with pipes to its standard input and output.
struct Child {
    pid_t pid = -1;
    FILE* in = nullptr;
    FILE* out = nullptr;

    static Child spawn(std::vector<std::string> args) {
        int toChild[2];
        int fromChild[2];
        if (::pipe(toChild) != 0 || ::pipe(fromChild) != 0) std::abort();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
        posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
        posix_spawn_file_actions_addclose(&actions, toChild[1]);
        posix_spawn_file_actions_addclose(&actions, fromChild[0]);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        Child child;
        if (posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) std::abort();
        posix_spawn_file_actions_destroy(&actions);
        ::close(toChild[0]);
        ::close(fromChild[1]);
        child.in = ::fdopen(toChild[1], "w");
        child.out = ::fdopen(fromChild[0], "r");
        return child;
    }
    std::string line() const {
        char buffer[512];
        return std::fgets(buffer, sizeof buffer, out) ? std::string(buffer) : std::string();
    }
    void stop() {
        std::fclose(in);
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
        std::fclose(out);
    }
};

/// utime + stime of a process, in microseconds.
double processCpuMicros(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string skip;
    for (int i = 0; i < 11; ++i) fields >> skip;  // fields 3..13
    double utime = 0;
    double stime = 0;
    fields >> utime >> stime;
    return (utime + stime) * 1e6 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

/// Counts deliveries. Thread: the central's queue; waited on by the benchmark.
class Counter final : public kiv::platform::CentralManagerDelegate {
public:
    void centralManagerDidUpdateState(kiv::platform::CentralManager& central) override {
        if (central.state() == kiv::platform::ManagerState::poweredOn) {
            central.scanForPeripherals({kiv::platform::BluetoothUUID::eddystone()}, true);
        }
    }
    void centralManagerDidDiscoverPeripheral(kiv::platform::CentralManager&, const kiv::platform::Peripheral&,
                                             const kiv::platform::Advertisement& data, int) override {
        if (data.serviceData) count();
    }
    void count() {
        std::lock_guard lock(mutex_);
        ++count_;
        if (count_ >= target_) reached_.notify_all();
    }
    bool waitFor(long count) {
        std::unique_lock lock(mutex_);
        target_ = count;
        return reached_.wait_for(lock, std::chrono::seconds(60), [&] { return count_ >= target_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable reached_;
    long count_ = 0;
    long target_ = 0;
};

void BM_AdvertisementToDelegate(benchmark::State& state) {
    const long batch = state.range(0);
    const auto dir = std::filesystem::temp_directory_path() / ("kiv-bench-bus-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string address = "unix:path=" + (dir / "bus").string();
    auto daemon = Child::spawn({"/usr/bin/dbus-daemon", "--session", "--nofork", "--address=" + address, "--print-address=1"});
    daemon.line();
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
    auto emitter = Child::spawn({"/proc/self/exe", "--emit", address});
    emitter.line();

    auto runtime = kiv::platform::AsioRuntime::make();
    auto counter = std::make_shared<Counter>();
    std::shared_ptr<kiv::platform::CentralManager> central;
    std::unique_ptr<sdbus::IConnection> floor;
    sdbus::Slot match;
    if (state.range(1) == 0) {
        central = kiv::platform::BluezCentralManager::make(counter, runtime->makeSerialQueue("bench.central"), runtime);
        while (!central->isScanning()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } else {
        // The floor: a bare sd-bus client that only counts the signals on its loop thread.
        floor = sdbus::createSystemBusConnection();
        match = floor->addMatch("type='signal',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged'",
                                [&](sdbus::Message&) { counter->count(); });
        floor->enterEventLoopAsync();
    }

    long delivered = 0;
    double daemonMicros = 0;
    double emitterMicros = 0;
    double emitterBefore = 0;
    rusage usageBefore{};
    ::getrusage(RUSAGE_SELF, &usageBefore);
    for (auto _ : state) {
        const double daemonBefore = processCpuMicros(daemon.pid);
        std::fprintf(emitter.in, "%ld\n", batch);
        std::fflush(emitter.in);
        delivered += batch;
        if (!counter->waitFor(delivered)) state.SkipWithError("advertisements went missing");
        const double emitterNow = std::stod(emitter.line());
        emitterMicros += emitterNow - emitterBefore;
        emitterBefore = emitterNow;
        daemonMicros += processCpuMicros(daemon.pid) - daemonBefore;
    }
    rusage usageAfter{};
    ::getrusage(RUSAGE_SELF, &usageAfter);
    state.SetItemsProcessed(delivered);
    state.counters["switches_per_adv"] =
        static_cast<double>(usageAfter.ru_nvcsw - usageBefore.ru_nvcsw + usageAfter.ru_nivcsw - usageBefore.ru_nivcsw) /
        static_cast<double>(delivered);
    state.counters["bus_daemon_us_per_adv"] = daemonMicros / static_cast<double>(delivered);
    state.counters["emitter_us_per_adv"] = emitterMicros / static_cast<double>(delivered);

    if (floor) floor->leaveEventLoop();
    match.reset();
    floor.reset();
    central.reset();
    std::fputs("quit\n", emitter.in);
    emitter.stop();
    daemon.stop();
    std::filesystem::remove_all(dir);
}
// Second argument: 0 the BlueZ central to its delegate, 1 a bare sd-bus client (the floor).
BENCHMARK(BM_AdvertisementToDelegate)->Args({20000, 0})->Args({20000, 1})->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--emit") return emit(argv[2]);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
