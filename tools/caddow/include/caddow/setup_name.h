// Parsers of what the installer helper reads from outside: the setup file's own name and the
// numbers of "QelConfig.ini". Pure functions, no I/O; they refuse what is malformed.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace caddow {

constexpr std::size_t kMaxSetupNameBytes = 256;

// The address stands after the first "_IP_" up to the last "_PORT_" behind it; the port is the run
// of decimal digits right after that "_PORT_". false when a marker is missing, the address has 6
// characters or fewer or holds a control character, or the digit run is empty, 0 or above 65535.
bool ParseSetupFileName(std::string_view name, std::string* address, std::uint32_t* port);

// The setup name as bytes: characters above 0x7F become '?', at most kMaxSetupNameBytes - 1 kept.
std::string NarrowSetupName(const wchar_t* name);

// A number of the settings file as the saver wrote it ("%d" of a 32-bit value): an optional '-',
// then 1 to 10 decimal digits, the value within -2147483648..4294967295. Surrounding blanks are
// not accepted (the profile reader has trimmed them).
bool ParseConfigNumber(std::string_view text, std::uint32_t* value);

}  // namespace caddow
