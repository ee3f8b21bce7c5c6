// The connector's last-error numbers and the texts that go with them, shared by its source files.
#pragma once
#include <cstring>
#include <string>

#include "engine/gateway_hello.h"
#include "platform/code_page.h"

namespace engine {

// A text the gateway sent (code page 936, NUL-terminated, perhaps cut off in a fixed field of the
// message) as the suite shows it: UTF-8 of at most `maxBytes` bytes, ending on a character.
inline std::string GatewayText(const char* text, std::size_t maxBytes) {
    if (text == nullptr) return std::string();
    const std::string_view wire(text, std::strlen(text));
    return platform::CutUtf8(platform::Cp936ToUtf8(platform::CutCp936(wire, wire.size())), maxBytes);
}

inline const char* DefaultCipherText() { return DefaultCipherList(); }

// Last-error numbers.
constexpr int kErrCancelled = 6;
constexpr int kErrTunnelMessage = 13;
constexpr int kErrNoGateway = 15;
constexpr int kErrGatewayRefused = 19;
constexpr int kErrConnect = 23;
constexpr int kErrLogonTimeout = 35;
constexpr int kErrReceive = 36;
constexpr int kErrProtocol = 37;
constexpr int kErrBadAnswer = 41;
constexpr int kErrExtract = 42;
constexpr int kErrBadCode = 43;
constexpr int kErrNoMemory = 44;
constexpr int kErrRelogon = 45;
constexpr int kErrSettings = 48;
constexpr int kErrServerAddress = 49;
constexpr int kErrServerClosed = 51;
constexpr int kErrCertificate = 53;
constexpr int kErrUserState = 54;
constexpr int kErrCertInvalid = 55;
constexpr int kErrBadAddress = 60;  // the gateway's virtual address or mask fits no adapter

constexpr const char kTextCancelled[] = "用户取消登录";
constexpr const char kTextCancelledBang[] = "用户取消登录!";
constexpr const char kTextRelogonFailed[] = "自动重登录失败!";
constexpr const char kTextNoServer[] = "无法连接服务器!";
constexpr const char kTextCannotConnect[] = "不能连接服务器!";
constexpr const char kTextCannotConnectGateway[] = "不能连接网关!";
constexpr const char kTextTlsTimeout[] = "SSL协商超时, 登录失败!";
constexpr const char kTextServerClosed[] = "服务器主动断开连接，请检查是否连接了正确的服务器或升级客户端软件";
constexpr const char kTextReceiveFailed[] = "接收数据失败";
constexpr const char kTextGatewayRefused[] = "连接网关被拒绝";
constexpr const char kTextOk[] = "操作成功";
constexpr const char kTextAdapterConfigFailed[] = "配置虚拟网卡失败, 请检查软件是否安装正常。";
constexpr const char kTextTunnelMessage[] = "网关发送的隧道报文无效, 连接已断开。";
constexpr const char kTextFailedWithCode[] = "操作失败, 错误码 %d。";
constexpr const char kTextRefusedWithCode[] = "网关拒绝登录, 错误码 %d。";
constexpr const char kTextBadAddress[] = "网关分配的虚拟地址 %s 子网掩码 %s 无法配置到虚拟网卡, 登录失败。";

// Text ids of the language catalogue.
enum : int {
    kTxtProxySettings = 127,
    kTxtResourcePage = 119,
    kTxtMaxOnline = 162,
    kTxtMaxIdle = 163,
    kTxtCutOff = 166,
    kTxtLogoff = 167,
    kTxtCreateSocket = 168,
    kTxtSocketFailed = 169,
    kTxtProxyConnect = 170,
    kTxtProxySend = 171,
    kTxtProxySilent = 172,
    kTxtProxyReceive = 173,
    kTxtProxyAuth = 174,
    kTxtHello = 175,
    kTxtHelloSend = 176,
    kTxtNoAnswer = 177,
    kTxtHelloRead = 179,
    kTxtNotHttp = 180,
    kTxtNoStatus = 181,
    kTxtBadStatus = 182,
    kTxtNegative = 183,
    kTxtWelcome = 184,
    kTxtOpenKey = 185,
    kTxtServerAddress = 186,
    kTxtParameters = 187,
    kTxtCancel = 191,
    kTxtTcpFailed = 193,
    kTxtRelogonRetry = 194,
    kTxtTls = 195,
    kTxtAttachFailed = 196,
    kTxtAttachRetry = 197,
    kTxtTlsWait = 198,
    kTxtTlsTimeout = 199,
    kTxtTlsTimeoutRetry = 200,
    kTxtTlsDone = 201,
    kTxtNoMemory = 202,
    kTxtLogonTimeout = 204,
    kTxtServerClosed = 205,
    kTxtReceiveFailed = 206,
    kTxtBadAnswer = 207,
    kTxtExtract = 208,
    kTxtNoGateway = 209,
    kTxtHardIdPending = 210,
    kTxtSessionQuestion = 211,
    kTxtBadCode = 212,
    kTxtNoCertificate = 213,
    kTxtCertInvalid = 214,
    kTxtUserState = 215,
    kTxtRegisterNak = 216,
    kTxtLogonStart = 219,
    kTxtInformed = 220,
    kTxtTlsOk = 221,
    kTxtServerOk = 222,
    kTxtRegistered = 223,
    kTxtOnline = 251,
    kTxtOffline = 250,
    kTxtOfflineTitle = 120,
    kTxtOtherWait = 267,
    kTxtDisconnected = 268,
    kTxtCertNotValid = 270,
    kTxtCertTimeout = 310,
    kTxtMediaFailed = 314,
};

// The language text that tells the user why a step ended with last error `number`, for the
// steps that leave no text of their own in the last error; -1 when none.
constexpr int ReasonTextId(int number) {
    switch (number) {
        case kErrNoGateway: return kTxtNoGateway;
        case kErrLogonTimeout: return kTxtLogonTimeout;
        case kErrReceive: return kTxtReceiveFailed;
        case kErrBadAnswer: return kTxtBadAnswer;
        case kErrExtract: return kTxtExtract;
        case kErrBadCode: return kTxtBadCode;
        case kErrNoMemory: return kTxtNoMemory;
        case kErrSettings: return kTxtOpenKey;
        case kErrServerAddress: return kTxtServerAddress;
        case kErrServerClosed: return kTxtServerClosed;
        case kErrCertificate: return kTxtNoCertificate;
        case kErrUserState: return kTxtUserState;
        case kErrCertInvalid: return kTxtCertInvalid;
        default: return -1;
    }
}

}  // namespace engine
