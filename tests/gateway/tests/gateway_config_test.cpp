// The gateway's settings: INI and command line agree, and every mistake is named.
#include <gtest/gtest.h>

#include "gateway/gateway_config.h"

using namespace qelgw;

namespace {

TEST(GatewayConfig, IniAndCommandLineSetTheSameThings) {
    GatewayConfig c;
    std::string error;
    ASSERT_TRUE(
        c.LoadIni("; test gateway\n[gateway]\nport = 4433\npool = 198.18.1.10/255.255.255.0\n"
                  "route = 203.0.113.0/255.255.255.0\nroute = 198.51.100.7 via 198.18.1.1\n"
                  "policy = policy default deny all\npolicy = policy maxidletime 60\n"
                  "hello = wrong-welcome\nlogon = nak\nnak_code = -50\ndevice = tun:gwtun0\n"
                  "device_address = 198.18.1.1/255.255.255.0\ncompress = yes\n\n"
                  "[user alice]\npassword = secret\nip = 198.18.1.20\n[user bob]\npassword = pw\n",
                  &error))
        << error;
    EXPECT_EQ(c.port, 4433);
    EXPECT_EQ(c.poolStart, 0xC612010Au);
    EXPECT_EQ(c.netmask, 0xFFFFFF00u);
    ASSERT_EQ(c.routes.size(), 2u);
    EXPECT_EQ(c.routes[0].destination, 0xCB007100u);
    EXPECT_EQ(c.routes[1].mask, 0xFFFFFFFFu);
    EXPECT_EQ(c.routes[1].nextHop, 0xC6120101u);
    EXPECT_EQ(c.PolicyText(), "policy default deny all\npolicy maxidletime 60\n");
    EXPECT_EQ(c.hello, HelloMode::WrongWelcome);
    EXPECT_EQ(c.logon, LogonMode::Nak);
    EXPECT_EQ(static_cast<std::int32_t>(c.nakCode), -50);
    EXPECT_EQ(c.device, DeviceKind::Tun);
    EXPECT_EQ(c.deviceName, "gwtun0");
    EXPECT_TRUE(c.compress);
    ASSERT_EQ(c.users.size(), 2u);
    EXPECT_EQ(c.users[0].fixedIp, 0xC6120114u);
    EXPECT_EQ(c.users[1].password, "pw");

    GatewayConfig d;
    const char* argv[] = {"gw", "--port=4433", "--user=alice:secret:198.18.1.20", "--hello=WRONG-WELCOME",
                          "--keepalive_interval=10"};
    ASSERT_TRUE(d.ParseArgs(5, argv, &error)) << error;
    EXPECT_EQ(d.port, 4433);
    EXPECT_EQ(d.hello, HelloMode::WrongWelcome);
    EXPECT_EQ(d.keepAliveSeconds, 10);
    ASSERT_EQ(d.users.size(), 1u);
    EXPECT_EQ(d.users[0].fixedIp, 0xC6120114u);
}

TEST(GatewayConfig, MistakesAreRefusedWithTheirLine) {
    const std::pair<const char*, const char*> cases[] = {
        {"[gateway]\nprot = 1\n", "line 2: unknown setting \"prot\""},
        {"[gateway]\nport = 70000\n", "line 2: bad value \"70000\" for port"},
        {"[gateway]\ndns1 = 198.51.100\n", "line 2: bad value \"198.51.100\" for dns1"},
        {"port = 1\n", "line 1: setting outside a section"},
        {"[gateway\n", "line 1: unterminated section"},
        {"[other]\n", "line 1: unknown section [other]"},
        {"[gateway]\njust words\n", "line 2: expected key = value"},
        {"[user alice]\nip = nowhere\n", "line 2: bad user setting \"ip\""},
        {"[gateway]\nroute = 10.0.0.0/255.0.0.0 via\n",
         "line 2: bad value \"10.0.0.0/255.0.0.0 via\" for route"},
        {"[gateway]\ndevice = tun:\n", "line 2: bad value \"tun:\" for device"},
        {"[gateway]\nkey_id = 4\n", "line 2: bad value \"4\" for key_id"},
    };
    for (const auto& [text, expected] : cases) {
        GatewayConfig c;
        std::string error;
        EXPECT_FALSE(c.LoadIni(text, &error)) << text;
        EXPECT_EQ(error, expected) << text;
    }
    GatewayConfig c;
    std::string error;
    const char* argv[] = {"gw", "port=1"};
    EXPECT_FALSE(c.ParseArgs(2, argv, &error));
    EXPECT_EQ(error, "expected --KEY=VALUE, got \"port=1\"");
    EXPECT_FALSE(c.AddUser("nopassword", &error));
    EXPECT_FALSE(c.LoadIniFile("/nonexistent/gateway.ini", &error));
}

}  // namespace
