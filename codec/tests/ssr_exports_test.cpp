// The shared library exports exactly the codec's C functions, under their names.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

const char* const kExports[] = {
    "ssr_Initialize",
    "ssr_Terminate",
    "ssr_ExtractPacketHeader",
    "ssr_ConstructSsrIPPacket",
    "ssr_ExtractSsrIPPacket",
    "ssr_CreateSsrZlibStream",
    "ssr_ResetSsrZlibStream",
    "ssr_CloseSsrZlibStream",
    "ssr_ConstructZlibCompressedSsrIPPacket",
    "ssr_ExtractZlibCompressedSsrIPPacket",
    "ssr_ConstructClientLogonRequest",
    "ssr_ExtractClientLogonRequest",
    "ssr_ConstructClientLogonAck",
    "ssr_ExtractClientLogonAck",
    "ssr_ConstructClientLogonNak",
    "ssr_ExtractClientLogonNak",
    "ssr_ConstructLinkSetupRequest",
    "ssr_ExtractLinkSetupRequest",
    "ssr_ConstructLinkSetupAck",
    "ssr_ExtractLinkSetupAck",
    "ssr_ConstructLinkSetupNak",
    "ssr_ExtractLinkSetupNak",
    "ssr_ConstructGWLogonRequest",
    "ssr_ExtractGWLogonRequest",
    "ssr_ConstructGWLogonAck",
    "ssr_ExtractGWLogonAck",
    "ssr_ConstructGWLogonNak",
    "ssr_ExtractGWLogonNak",
    "ssr_ConstructGWLogoffNotification",
    "ssr_ConstructGWReport",
    "ssr_ExtractGWReport",
    "ssr_ConstructGWUpdClient",
    "ssr_ExtractGWUpdClient",
    "ssr_ConstructGWUpdAck",
    "ssr_ExtractGWUpdAck",
    "ssr_ConstructGWLogUser",
    "ssr_ExtractGWLogUser",
    "ssr_ConstructGWReport1",
    "ssr_ExtractGWReport1",
    "ssr_ConstructCltRegRequest",
    "ssr_ExtractCltRegRequest",
    "ssr_ConstructCltRegisterAck",
    "ssr_ExtractCltRegisterAck",
    "ssr_ConstructCltRegisterNak",
    "ssr_ExtractCltRegisterNak",
    "ssr_ConstructCltLogoffNotification",
    "ssr_ConstructCltLogoffNotificationAck",
    "ssr_ConstructCltLogonSvrRequest",
    "ssr_ExtractCltLogonSvrRequest",
    "ssr_ConstructSvrCltLogonAck",
    "ssr_ExtractSvrCltLogonAck",
    "ssr_ConstructCltSvrLogonNak",
    "ssr_ExtractCltSvrLogonNak",
    "ssr_ConstructKeepAliveRequest",
    "ssr_ExtractKeepAliveRequest",
    "ssr_ConstructKeepAliveResponse",
    "ssr_ExtractKeepAliveResponse",
    "ssr_ConstructGWUpdClient1",
    "ssr_ExtractGWUpdClient1",
    "ssr_ConstructCltLogonSvrRequest2",
    "ssr_ConstructGWLogApp",
    "ssr_ExtractSvrCutCltLogoff",
    "ssr_ConstructCltSvrResetPwd",
    "ssr_ExtractSvrCltResetPwdAck",
    "ssr_ConstructCltLogonSvrHardRequest",
    "ssr_ConstructCltLogonSvrRequest3",
};

TEST(WendrelLibrary, ExportsTheSixtySixFunctions) {
    static_assert(sizeof(kExports) / sizeof(kExports[0]) == 66);
    const char* binDir = std::getenv("QEL_BIN_DIR");
    if (binDir == nullptr) GTEST_SKIP() << "QEL_BIN_DIR not set (run through ctest)";
    const std::string path = std::string(binDir) + "/libWendrel.so";
    void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    for (const char* name : kExports) EXPECT_NE(dlsym(lib, name), nullptr) << name;
    // Internals stay hidden.
    EXPECT_EQ(dlsym(lib, "_ZN7wendrel7LogLineEPKcz"), nullptr);
    dlclose(lib);
}

}  // namespace
