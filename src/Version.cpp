#include "kiv/version.hpp"

// Both come from the build's project(VERSION): the number is its major.minor, the text all of it,
// as packages, --version and man pages show it.
extern "C" {
const double KIVVersionNumber = KIV_VERSION_NUMBER;
const char KIVVersionString[] = KIV_VERSION_TEXT;
}
