#include "util/last_error.h"

#include <cstddef>

#include "platform/errors.h"

namespace {

struct ErrorText {
    unsigned long code;
    const char* text;
};

// The Windows system errors the suite meets, worded like the C library's messages.
constexpr ErrorText kSystemTexts[] = {
    {0, "Success"},
    {1, "Function not implemented"},
    {2, "No such file or directory"},
    {3, "No such file or directory"},
    {4, "Too many open files"},
    {5, "Permission denied"},
    {6, "Bad file descriptor"},
    {8, "Cannot allocate memory"},
    {14, "Cannot allocate memory"},
    {15, "No such device"},
    {17, "Invalid cross-device link"},
    {19, "Read-only file system"},
    {21, "No such device or address"},
    {31, "Input/output error"},
    {32, "Device or resource busy"},
    {33, "No locks available"},
    {38, "End of file"},
    {39, "No space left on device"},
    {50, "Operation not supported"},
    {53, "No such file or directory"},
    {80, "File exists"},
    {87, "Invalid argument"},
    {109, "Broken pipe"},
    {112, "No space left on device"},
    {122, "No buffer space available"},
    {123, "Invalid argument"},
    {145, "Directory not empty"},
    {183, "File exists"},
    {206, "File name too long"},
    {232, "Broken pipe"},
    {234, "Value too large for defined data type"},
    {258, "Connection timed out"},
    {267, "Not a directory"},
    {995, "Operation canceled"},
    {997, "Operation now in progress"},
    {1460, "Connection timed out"},
};

constexpr ErrorText kWinsockTexts[] = {
    {10004, "Interrupted function call"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Resource temporarily unavailable"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on nonsocket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Protocol wrong type for socket"},
    {10042, "Bad protocol option"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address already in use"},
    {10049, "Cannot assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection on reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Cannot send after socket shutdown"},
    {10060, "Request timed out"},
    {10061, "Connection refused"},
    {10064, "Host is down"},
    {10065, "No route to host"},
    {10067, "Too many processes"},
    {10091, "Network subsystem is unavailable"},
    {10092, "Winsock.dll version out of range"},
    {10093, "Successful Winsock initialization not yet performed"},
    {10101, "Graceful shutdown in progress"},
    {10107, "System call failure"},
    {10109, "Class type not found"},
    {11001, "Host not found"},
    {11002, "Nonauthoritative host not found"},
    {11003, "Nonrecoverable error"},
    {11004, "Valid name, no data record of requested type"},
};
static_assert(sizeof(kWinsockTexts) / sizeof(kWinsockTexts[0]) == 44);

template <std::size_t N>
const char* Lookup(const ErrorText (&table)[N], unsigned long code) {
    for (const ErrorText& entry : table) {
        if (entry.code == code) return entry.text;
    }
    return "";
}

}  // namespace

LastError::LastError() : m_code(platform::GetLastError()) {}
LastError::LastError(unsigned long code) : m_code(code) {}

LastError::operator const char*() {
    if (!m_text) m_text = Lookup(kSystemTexts, m_code);
    return m_text;
}

LastError& LastError::operator=(unsigned long code) {
    m_code = code;
    m_text = nullptr;
    return *this;
}

WinsockLastError::WinsockLastError() : m_code(platform::GetLastError()) {}
WinsockLastError::WinsockLastError(unsigned long code) : m_code(code) {}

WinsockLastError::operator const char*() {
    if (!m_text) m_text = Lookup(kWinsockTexts, m_code);
    return m_text;
}
