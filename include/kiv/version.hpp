#pragma once
/// Version symbols of the library.

#include "kiv/export.hpp"

extern "C" {
/// The library's version number (major.minor of the build's project version).
KIV_EXPORT extern const double KIVVersionNumber;
/// The library's full version text, major.minor.patch (e.g. "1.0.0"), as its packages carry it.
KIV_EXPORT extern const char KIVVersionString[];
}
