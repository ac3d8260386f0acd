#include "kiv/version.hpp"

// KIV_VERSION_NUMBER and KIV_VERSION_TEXT come from the build (project(VERSION), major.minor).
extern "C" {
const double KIVVersionNumber = KIV_VERSION_NUMBER;
const char KIVVersionString[] = KIV_VERSION_TEXT;
}
