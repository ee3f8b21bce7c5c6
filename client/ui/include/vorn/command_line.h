// The client's command line and the two text conversions of its start-up.
//
// Switches are compared case-sensitively and only as argument 1 (argument 0 is the program).
// Passwords never travel on our command line: "-logon user -" takes the scrambled password from
// standard input (one line); "-logon user scrambledPassword" is still understood so that an older
// update program can bring the client back. "-logon" with any other count (such as "-logon user")
// is no logon mode: the client starts normally.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

namespace vorn {

struct StartOptions {
    bool config = false;  // "-config": end at once
    bool debug = false;   // "-debug"
    bool exit = false;    // "-exit": make the running client log off
    bool api = false;     // "-api": never show the window; the caller posts 2026
    bool autoLogon = false;
    bool logonMode = false;  // "-logon"
    std::string logonUser;
    std::string logonScrambledPassword;  // when given on the line
    bool passwordOnStdin = false;        // "-logon user -": read the scrambled password from stdin
    bool browserLogon = false;           // "-browserlogon" with 6 or 7 arguments
    std::string gatewayAddress, gatewayPort, sessionId, gatewayUser, gatewayVersion;
};

// Reads the switches. Never fails: what it does not know starts the client normally.
StartOptions ParseCommandLine(const std::vector<std::string>& args);

// Percent decoding ("%" and two hexadecimal digits; everything else, "+" included, as it stands)
// into at most `size` - 1 bytes, ending on a character. The result is UTF-8 (the client's code
// page): byte sequences that are not are replaced by U+FFFD. False with `out` empty when size is 0.
bool UrlDecode(const std::string& source, std::string* out, std::size_t size);
// Percent encoding for a URL query: letters, digits and "+" stay, every other byte becomes "%XX"
// (capital hexadecimal digits when `capital`); stops before a byte that would not fit in `size`
// less one.
std::string AnsiToUtf8(const std::string& source, std::size_t size, bool capital);

// Compares two version texts by their dotted numbers ("6.10.0.0" is newer than "6.3.01.0"); a
// missing part counts as 0, a part's leading non-digits end it. <0, 0 or >0.
int CompareVersions(const std::string& a, const std::string& b);

}  // namespace vorn
