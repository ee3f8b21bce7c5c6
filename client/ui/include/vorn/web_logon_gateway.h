// A browser logon names its gateway in a request that any web page can make the browser send. A
// gateway the user has logged on to before (the one in the client's settings or one of the logon
// history) goes ahead; any other is put to the user, showing the gateway, before anything
// connects or the running client is asked to log off. So is any browser logon that would end a
// session that is online (any page can name the gateway in use), showing both gateways.
#pragma once
#include <string>

#include "platform/settings_store.h"
#include "vorn/ui_services.h"

namespace vorn {

// Whether `address` (case-insensitive) with `port` (decimal text) is the settings' gateway
// ("ServerAddr", "ServerPortNum", 443 when absent) or a gateway of "history.ini" in the install
// folder.
bool KnownGateway(platform::SettingsStore& store, const std::string& address, const std::string& port);

// The gateway ("host:port") of the session the client is logged on with ("SessionId" not 0,
// "ServerAddr", "ServerPortNum"), empty when it is not.
std::string GatewayInUse(platform::SettingsStore& store);

// True to go on with the browser logon: the gateway is known and no session would end
// (`gatewayInUse` empty), or the user said yes.
bool ConfirmWebLogonGateway(platform::SettingsStore& store, Prompter& prompter, const std::string& caption,
                            bool chineseUi, const std::string& address, const std::string& port,
                            const std::string& gatewayInUse = std::string());

}  // namespace vorn
