// kiv-agent radio: what a person installing a gateway needs to know about the Bluetooth radio.
#include <iostream>

#include "Command.hpp"
#include "kiv/platform/bluetooth/linux/BluezCentralManager.hpp"

namespace kiv::agent {
namespace {

const char* yesNo(bool value) { return value ? "yes" : "no"; }

int radio(const std::string& adapter) {
    const auto report = platform::BluezCentralManager::checkRadio(adapter);
    std::cout << "system bus:  " << yesNo(report.systemBus) << '\n';
    if (report.systemBus) std::cout << "bluetoothd:  " << yesNo(report.bluetoothd) << '\n';
    if (report.bluetoothd) {
        std::cout << "adapters:" << (report.adapters.empty() ? "    none" : "") << '\n';
        for (const auto& a : report.adapters) {
            std::cout << "  " << a.name << ' ' << a.address << (a.powered ? " powered" : " powered off")
                      << (a.discovering ? ", discovering" : "") << (a.central ? "" : ", no central role")
                      << (a.name == report.adapter ? "  <- used" : "") << '\n';
        }
    }
    if (!report.adapter.empty() && report.problem.empty()) std::cout << "may scan:    yes\n";
    if (report.problem.empty()) {
        std::cout << "ready: scanning can work on " << report.adapter << '\n';
        return 0;
    }
    std::cout << "problem:     " << report.problem << '\n' << "what to do:  " << report.advice << '\n';
    return 1;
}

}  // namespace

Command addRadioCommand(CLI::App& app) {
    auto adapter = std::make_shared<std::string>();
    auto* command =
        app.add_subcommand("radio", "Check the Bluetooth radio: system bus, bluetoothd, adapters, permission");
    command->add_option("--adapter", *adapter, "the adapter to check (default: the first powered one)");
    command->footer("Exit status: 0 when scanning can work, 1 otherwise (the last lines say why and what to do).");
    return {command, [adapter] { return radio(*adapter); }};
}

}  // namespace kiv::agent
