// The virtual adapter's name servers through the service's netsh command.
#include <cstdio>

#include "adapter_text.h"
#include "dailylog/shared_daily_log.h"
#include "engine/adapter_setup.h"

namespace engine {

int TwAdapterSetup::SetDnsByNetshCmd() {
    DWORD dns1 = 0, dns2 = 0;
    {
        std::lock_guard<std::mutex> g(m_lock);
        dns1 = m_results.dns1;
        dns2 = m_results.dns2;
    }
    char command[96];
    std::snprintf(command, sizeof command, "SetDnsByNetshCmd %s %s %d", Ipv4TextHost(dns1).c_str(),
                  Ipv4TextHost(dns2).c_str(), static_cast<int>(m_virtualIfIndex.load()));
    Cmd(command);
    return 1;
}

}  // namespace engine
