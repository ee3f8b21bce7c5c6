// Error numbers with their texts. Numbers are Windows / Winsock numbers (platform/errors.h maps
// errno onto them). Not thread-safe per object; each thread captures its own.
#pragma once

class LastError {
public:
    LastError();  // the calling thread's last error
    explicit LastError(unsigned long code);
    ~LastError() = default;
    LastError(const LastError&) = delete;
    LastError& operator=(const LastError&) = delete;

    operator int() const { return static_cast<int>(m_code); }  // NOLINT(google-explicit-constructor)
    // The text for the number; "" for a number without one. Never changes the number.
    operator const char*();                    // NOLINT(google-explicit-constructor)
    LastError& operator=(unsigned long code);  // new number, text dropped

private:
    unsigned long m_code;
    const char* m_text = nullptr;
};

class WinsockLastError {
public:
    WinsockLastError();  // the calling thread's last (socket) error
    explicit WinsockLastError(unsigned long code);
    ~WinsockLastError() = default;
    WinsockLastError(const WinsockLastError&) = delete;
    WinsockLastError& operator=(const WinsockLastError&) = delete;

    // One of the library's 44 Winsock texts; "" for other numbers.
    operator const char*();  // NOLINT(google-explicit-constructor)

private:
    unsigned long m_code;
    const char* m_text = nullptr;
};
