// A browser logon names its gateway in a request that any web page can make the browser send. A
// gateway the user has logged on to before (the one in the client's settings or one of the logon
// history) goes ahead; any other is put to the user, showing the gateway, before anything
// connects or the running client is asked to log off.
#pragma once
#include <string>

#include "platform/settings_store.h"
#include "vorn/ui_services.h"

namespace vorn {

// Whether `address` (case-insensitive) with `port` (decimal text) is the settings' gateway
// ("ServerAddr", "ServerPortNum", 443 when absent) or a gateway of "history.ini" in the install
// folder.
bool KnownGateway(platform::SettingsStore& store, const std::string& address, const std::string& port);

// True to go on with the browser logon: the gateway is known, or the user said yes.
bool ConfirmWebLogonGateway(platform::SettingsStore& store, Prompter& prompter, const std::string& caption,
                            bool chineseUi, const std::string& address, const std::string& port);

}  // namespace vorn
