#include "core/settings.h"

ConfigSettings Config;
std::vector<std::string> StreamingServerPaths;
