#pragma once
/// Umbrella header: the two facades, the platform they run on, and the value types of their
/// interfaces. Backends (kiv/platform/<role>/linux/), the fakes (kiv/sim/, target kiv::sim), the platform interfaces and
/// the HTTP request layer (kiv/http/) have headers of their own.

#include "kiv/ClientStatus.hpp"
#include "kiv/CloudHosts.hpp"
#include "kiv/KIVClient.hpp"
#include "kiv/KIVPush.hpp"
#include "kiv/Log.hpp"
#include "kiv/eddystone/BeaconID.hpp"
#include "kiv/eddystone/GBeaconInfo.hpp"
#include "kiv/eddystone/GBeaconScanner.hpp"
#include "kiv/eddystone/GBeaconScannerDelegate.hpp"
#include "kiv/ibeacon/IBeaconFrame.hpp"
#include "kiv/platform/notifications/NotificationContent.hpp"
#include "kiv/platform/notifications/NotificationRequest.hpp"
#include "kiv/platform/notifications/NotificationResponse.hpp"
#include "kiv/platform/Platform.hpp"
#include "kiv/support/Beacon.hpp"
#include "kiv/support/BeaconRegion.hpp"
#include "kiv/support/UUID.hpp"
#include "kiv/version.hpp"
