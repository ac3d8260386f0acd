#include "RegionStore.hpp"

#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "api/WireProtocol.hpp"
#include "support/JSONReader.hpp"

namespace kiv::cloud {

RegionStore::RegionStore() : document_(std::make_shared<const std::string>(R"({"data": []})")) {}

bool RegionStore::set(std::string_view document, std::string& error) {
    const auto read = JSONReader::read(document);
    if (!read) {
        error = "the region list is not valid JSON (or nested too deeply)";
        return false;
    }
    const auto& parsed = *read;
    const auto data = parsed.is_object() ? parsed.find(api::API::Server::RegionListAnswer::Data) : parsed.end();
    if (!parsed.is_object() || data == parsed.end() || !data->is_array()) {
        error = "the region list must be a JSON object whose \"data\" is an array";
        return false;
    }
    auto copy = std::make_shared<const std::string>(document);
    const std::lock_guard lock(mutex_);
    document_ = std::move(copy);
    return true;
}

bool RegionStore::load(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!set(text, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

std::shared_ptr<const std::string> RegionStore::document() const {
    const std::lock_guard lock(mutex_);
    return document_;
}

}  // namespace kiv::cloud
