#include "secure/IdentityFolder.h"

#include <stdlib.h>

#include "platform/HomeFolder.h"

std::string IdentityFolder() {
    const char* config = getenv("XDG_CONFIG_HOME");
    const std::string base =
        config != nullptr && config[0] == '/' ? config : HomeDirectory() + "/.config";
    return base + "/zingwell";
}
