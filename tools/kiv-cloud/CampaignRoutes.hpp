#pragma once

#include <string>
#include <string_view>

#include "CampaignEngine.hpp"
#include "HttpMessage.hpp"
#include "Storage.hpp"

namespace kiv::cloud {

/// The campaign routes once the caller has checked the admin token (all but the tap link):
/// POST /campaigns, GET /campaigns, DELETE /campaigns/<id>, GET /campaigns/<id>/stats and
/// GET /devices; and GET /c/<id>, the tap link anyone may follow.
/// Thread: any; runs on the server's threads, several at once.
class CampaignRoutes {
public:
    CampaignRoutes(Storage& storage, CampaignEngine& engine) : storage_(&storage), engine_(&engine) {}

    void add(const std::string& body, HttpAnswer& res);
    void list(HttpAnswer& res);
    void remove(std::string_view id, HttpAnswer& res);
    void stats(std::string_view id, HttpAnswer& res);
    void devices(std::string_view rawQuery, HttpAnswer& res);
    void tap(std::string_view id, HttpAnswer& res);

private:
    Storage* storage_;
    CampaignEngine* engine_;
};

/// The id in "/campaigns/<id>" (suffix "") or "/campaigns/<id>/stats" (suffix "/stats"); empty
/// when the path has another shape.
std::string_view campaignIdIn(std::string_view path, std::string_view suffix);

}  // namespace kiv::cloud
