// Windows result numbers shared by the route table, adapter list and service layer calls.
#pragma once
#include "platform/types.h"

namespace platform {

constexpr DWORD kErrorSuccess = 0;
constexpr DWORD kErrorAccessDenied = 5;
constexpr DWORD kErrorGenFailure = 31;
constexpr DWORD kErrorNotSupported = 50;
constexpr DWORD kErrorInvalidParameter = 87;
constexpr DWORD kErrorBufferOverflow = 111;
constexpr DWORD kErrorInsufficientBuffer = 122;
constexpr DWORD kErrorNotFound = 1168;
constexpr DWORD kErrorGeneralFailure = 1359;
constexpr DWORD kErrorObjectAlreadyExists = 5010;

}  // namespace platform
