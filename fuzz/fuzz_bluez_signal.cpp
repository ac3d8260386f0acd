// Feeds bluetoothd's message parsers a reader that answers from the input: every type, every
// container signature and every value comes from the fuzzer, so the parsers meet any message
// a peer could send (and readers that fail at any point).
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "platform/bluetooth/linux/BluezSignals.hpp"

namespace {

using kiv::platform::bluez::DBusReader;

class FuzzReader final : public DBusReader {
public:
    explicit FuzzReader(std::span<const std::uint8_t> data) : data_(data) {}

    char peek(std::string& contents) override {
        static constexpr char kTypes[] = {'\0', 'a', '{', 'v', 's', 'o', 'b', 'n', 'q', 'y'};
        static constexpr const char* kSignatures[] = {"{sv}", "{sa{sv}}", "{oa{sa{sv}}}", "ay", "as", "s", "n",
                                                      "b",    "{qv}",     "a{sv}",        "a{qv}", "sv", "qv", "oa{sa{sv}}", "sa{sv}"};
        const auto type = kTypes[next() % sizeof kTypes];
        contents = kSignatures[next() % std::size(kSignatures)];
        return type;
    }
    bool enter(char, const char*) override { return next() % 8 != 0; }
    bool exit(char) override { return next() % 8 != 0; }
    bool readString(std::string_view& value) override {
        static constexpr const char* kStrings[] = {"org.bluez.Adapter1", "org.bluez.Device1", "RSSI", "ServiceData",
                                                   "ManufacturerData", "Powered", "Discovering", "Roles", "Address",
                                                   "0000feaa-0000-1000-8000-00805f9b34fb", "/org/bluez/hci0",
                                                   "/org/bluez/hci0/dev_C0_00_00_00_00_01", "org.bluez", "central", ""};
        text_ = kStrings[next() % std::size(kStrings)];
        value = text_;
        return next() % 8 != 0;
    }
    bool readBool(bool& value) override {
        value = next() & 1;
        return more();
    }
    bool readInt16(std::int16_t& value) override {
        value = static_cast<std::int16_t>(next() << 8 | next());
        return more();
    }
    bool readUInt16(std::uint16_t& value) override {
        value = static_cast<std::uint16_t>(next() << 8 | next());
        return more();
    }
    bool readBytes(kiv::platform::ByteVector& value) override {
        const std::size_t n = next() % 32;
        value.clear();
        for (std::size_t i = 0; i < n && more(); ++i) value.push_back(next());
        return more();
    }
    bool skipVariant() override { return next() % 8 != 0; }

private:
    // Once the input is spent every answer is "end": the parsers must finish.
    std::uint8_t next() { return at_ < data_.size() ? data_[at_++] : 0; }
    bool more() const { return at_ < data_.size(); }

    std::span<const std::uint8_t> data_;
    std::size_t at_ = 0;
    std::string text_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace bz = kiv::platform::bluez;
    if (size == 0) return 0;
    const std::span<const std::uint8_t> input(data + 1, size - 1);
    FuzzReader reader(input);
    switch (data[0] % 5) {
        case 0: {
            bz::ObjectUpdate update;
            (void)bz::parseInterfacesAdded(reader, update);
            break;
        }
        case 1: {
            bz::ObjectUpdate update;
            (void)bz::parsePropertiesChanged(reader, "/org/bluez/hci0/dev_C0_00_00_00_00_01", update);
            break;
        }
        case 2: {
            bz::ObjectRemoval removal;
            (void)bz::parseInterfacesRemoved(reader, removal);
            break;
        }
        case 3: {
            std::vector<bz::ObjectUpdate> objects;
            (void)bz::parseManagedObjects(reader, objects);
            break;
        }
        default: {
            const std::string_view path(reinterpret_cast<const char*>(input.data()), input.size());
            if (bz::adapterPathOf(path).size() > path.size()) __builtin_trap();
            break;
        }
    }
    return 0;
}
