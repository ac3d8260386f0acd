#pragma once
/// Umbrella header: the whole public interface of the library.

#include "kiv/KIVPush.hpp"
#include "kiv/Log.hpp"
#include "kiv/eddystone/DispatchTimer.hpp"
#include "kiv/platform/AsioRuntime.hpp"
#include "kiv/platform/ManualRuntime.hpp"
#include "kiv/platform/RecordingURLOpener.hpp"
#include "kiv/platform/Runtime.hpp"
#include "kiv/platform/XdgURLOpener.hpp"
#include "kiv/version.hpp"
