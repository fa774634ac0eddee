#include "settings/InitSettings.h"

#include <unistd.h>

#include "settings/LiveSettings.h"
#include "settings/RegistryNumber.h"
#include "settings/RegistryText.h"
#include "settings/SettingsKeys.h"

namespace {

using Text = LiveSettingsStore::Text;

std::string ReadText(const char* name) {
    return RegistryText(SettingKey(name), "", true, RegRoot::CurrentUser).Get();
}

int32_t ReadNumber(const char* name, uint32_t defaultValue) {
    return static_cast<int32_t>(
        RegistryNumber(SettingKey(name), defaultValue, true, RegRoot::CurrentUser).Get());
}

// Building reads first, so a stored value is written back unchanged and only absent ones
// take the first-run value. Returns the value now in force (the first-run value even when
// the store cannot be written).
std::string SeedText(const char* name, const char* firstRunValue) {
    RegistryText value(SettingKey(name), firstRunValue, true, RegRoot::CurrentUser);
    value.Write();
    return value.Get();
}

int32_t SeedNumber(const char* name, uint32_t firstRunValue) {
    RegistryNumber value(SettingKey(name), firstRunValue, true, RegRoot::CurrentUser);
    value.Write();
    return static_cast<int32_t>(value.Get());
}

}  // namespace

std::string DefaultComputerName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        return "";
    }
    return name;
}

void LoadSettings() {
    SettingsValues values;
    values.ftpip = ReadText("ftpip");
    values.target = ReadText("target");
    values.serverport = ReadText("serverport");
    values.servaddr = ReadText("servaddr");
    values.clientport = ReadText("clientport");
    values.autoport = ReadText("autoport");
    values.user = ReadText("user");
    values.pass = ReadText("pass");
    values.useftp = ReadNumber("useftp", 0);
    values.server = ReadNumber("server", 0);
    values.manual = ReadNumber("manual", 1);
    values.auto_ = ReadNumber("auto", 0);
    // Newer than the rest: a store from an older version lacks them.
    values.computername =
        RegistryText(SettingKey("computername"), DefaultComputerName(), true, RegRoot::CurrentUser)
            .Get();
    values.advertisesecure = ReadNumber("advertisesecure", 1);
    values.strangers =
        RegistryText(SettingKey("strangers"), "ask", true, RegRoot::CurrentUser).Get();
    LiveSettings.Assign(values);
}

void InitSettings() {
    RegistryText servaddr(SettingKey("servaddr"), "", true, RegRoot::CurrentUser);
    if (!servaddr.Get().empty()) {
        LoadSettings();
        return;
    }
    servaddr.Set("255.255.255.255");
    // The first run works with these values at once: it listens on its port and sends to
    // an address, rather than running on empty texts until the next start.
    SettingsValues values;
    values.servaddr = "255.255.255.255";
    values.clientport = SeedText("clientport", "6677");
    values.autoport = SeedText("autoport", "6677");
    values.serverport = SeedText("serverport", "6677");
    values.ftpip = SeedText("ftpip", "255.255.255.255");
    values.target = SeedText("target", "/");
    values.user = SeedText("user", "username");
    values.pass = SeedText("pass", "secretpw");
    values.useftp = SeedNumber("useftp", 0);
    values.server = SeedNumber("server", 1);
    values.manual = SeedNumber("manual", 1);
    values.auto_ = SeedNumber("auto", 0);
    values.computername = SeedText("computername", DefaultComputerName().c_str());
    values.advertisesecure = SeedNumber("advertisesecure", 1);
    values.strangers = SeedText("strangers", "ask");
    LiveSettings.Assign(values);
}
