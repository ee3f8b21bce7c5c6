// The addresses a logon answer gives the session: the virtual adapter's address and mask and the
// name and WINS servers. The connector's results, the adapter steps and the data path each take
// them as a base, so they travel as one value.
#pragma once
#include "platform/types.h"

namespace engine {

struct SessionAddresses {
    DWORD virtualIp = 0, mask = 0;
    DWORD dns1 = 0, dns2 = 0, wins1 = 0, wins2 = 0;
};

}  // namespace engine
