#include "kiv/version.hpp"

extern "C" {
const double KIVVersionNumber = 1.0;
const char KIVVersionString[] = "1.0";
}
