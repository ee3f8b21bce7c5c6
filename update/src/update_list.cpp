#include "update_list.h"

#include <strings.h>

#include <cstdint>
#include <cstring>

#include "glimrow/glimrow.h"
#include "platform/debug_output.h"
#include "platform/private_profile.h"

namespace {

// Sections of the list can hold far more than any buffer takes; reading stops here.
constexpr DWORD kSectionReadMax = 1u << 20;

bool HasPrefixNoCase(const std::string& text, const char* prefix) {
    return strncasecmp(text.c_str(), prefix, std::strlen(prefix)) == 0;
}

std::string Slashes(std::string text) {
    for (char& c : text)
        if (c == '\\') c = '/';
    return text;
}

// Joins a folder (with or without its trailing "/") and a relative rest, never doubling "/".
std::string Join(const std::string& folder, std::string rest) {
    std::size_t skip = 0;
    while (skip < rest.size() && rest[skip] == '/') ++skip;
    rest.erase(0, skip);
    if (!folder.empty() && folder.back() == '/') return folder + rest;
    return folder + "/" + rest;
}

bool LeavesFolder(const std::string& rest) {
    std::size_t start = 0;
    while (start <= rest.size()) {
        std::size_t end = rest.find('/', start);
        if (end == std::string::npos) end = rest.size();
        if (rest.compare(start, end - start, "..") == 0) return true;
        start = end + 1;
    }
    return false;
}

}  // namespace

CIniParser::CIniParser(std::string programDir, std::string systemDir)
    : m_ProgramDir(std::move(programDir)), m_SystemDir(std::move(systemDir)) {}

std::string CIniParser::MapTarget(const std::string& target) const {
    std::string full;
    std::string rest;
    if (HasPrefixNoCase(target, "%app%")) {
        rest = Slashes(target.substr(5));
        full = Join(m_ProgramDir, rest);
    } else if (HasPrefixNoCase(target, "%sys%")) {
        rest = Slashes(target.substr(5));
        full = Join(m_SystemDir, rest);
    } else {
        rest = Slashes(target);
        full = Join(m_ProgramDir, rest);
    }
    // A target names a file inside its folder; one that climbs out of it, or names the folder
    // itself, is not a target.
    if (LeavesFolder(rest) || full.empty() || full.back() == '/') return {};
    if (rest.find_first_not_of('/') == std::string::npos) return {};
    return full;
}

char* CIniParser::List(unsigned long bit) {
    std::vector<char>* list = nullptr;
    switch (bit) {
        case UPDATE_COMP_APP: list = &m_App; break;
        case UPDATE_COMP_LSP: list = &m_Lsp; break;
        case UPDATE_COMP_DRV: list = &m_Drv; break;
        case UPDATE_COMP_SRV: list = &m_Srv; break;
        default: return nullptr;
    }
    if ((m_Comps & bit) == 0 || list->empty()) return nullptr;
    return list->data();
}

unsigned long CIniParser::ReadInfo(const std::string& path) {
    const char* file = path.c_str();
    char value[kValueSize];
    auto read = [&](const char* key, std::string* out) {
        value[0] = '\0';
        DWORD n = platform::GetPrivateProfileString("UpdateInfo", key, "", value, sizeof(value), file);
        if (n == 0) return false;
        out->assign(value, n);
        return true;
    };
    std::string force, reboot, uninstall;
    if (!read("Version", &m_Version) || !read("MinVersion", &m_MinVersion) ||
        !read("VersionDescript", &m_Descript) || !read("ForceUpdate", &force) ||
        !read("NeedReboot", &reboot) || !read("NeedUninstall", &uninstall) ||
        !read("UpdatePackURL", &m_PackUrl))
        return ERROR_UPD_INI;
    // Both are compared as numbers: a version that is no version (or one cut at its 15
    // characters, which would be another version) makes the list unusable.
    std::uint32_t parts[4];
    for (const std::string* v : {&m_Version, &m_MinVersion}) {
        if (v->size() > kVersionMax || !ParseVersion(v->c_str(), parts)) {
            platform::DebugOutput("CIniParser::ReadListFile bad version " + *v + "\n");
            return ERROR_UPD_INI;
        }
    }
    m_Force = strcasecmp(force.c_str(), "yes") == 0 ? 1 : 0;
    m_Reboot = strcasecmp(reboot.c_str(), "yes") == 0 ? 1 : 0;
    m_Uninstall = strcasecmp(uninstall.c_str(), "yes") == 0 ? 1 : 0;
    return 0;
}

unsigned long CIniParser::ReadList(const std::string& path, const char* section, std::size_t size,
                                   std::vector<char>* out) {
    out->clear();
    std::vector<char> raw(8192);
    DWORD n = 0;
    for (;;) {
        n = platform::GetPrivateProfileSection(section, raw.data(), static_cast<DWORD>(raw.size()),
                                               path.c_str());
        if (n + 2 < raw.size() || raw.size() >= kSectionReadMax) break;
        raw.resize(raw.size() * 2);
    }
    if (n + 2 >= raw.size()) return ERROR_UPD_BUFFER_TOO_SMALL;
    if (n == 0) return ERROR_UPD_NO_SECTION;
    std::vector<char> list;
    for (std::size_t pos = 0; pos < n && raw[pos] != '\0';) {
        std::string line(&raw[pos]);
        pos += line.size() + 1;
        std::size_t eq = line.find('=');
        std::string name = line.substr(0, eq);
        std::string target = eq == std::string::npos ? std::string() : line.substr(eq + 1);
        if (target.empty()) target = name;
        if (name.size() >= kValueSize || target.size() >= kValueSize) return ERROR_UPD_INI;
        // The name is a file of the package's folder and the target a file of ours: neither may
        // point anywhere else.
        std::string full = MapTarget(target);
        if (!IsPlainFileName(name) || full.empty() || full.size() >= kValueSize) {
            platform::DebugOutput("CIniParser::ReadListFile refused entry " + line + "\n");
            return ERROR_UPD_INI;
        }
        std::string entry = name + "=" + full;
        // The list ends with an empty text, so one byte must stay free behind the last entry.
        if (list.size() + entry.size() + 2 > size) return ERROR_UPD_BUFFER_TOO_SMALL;
        list.insert(list.end(), entry.begin(), entry.end());
        list.push_back('\0');
        ++m_Entries;
    }
    if (list.empty()) return ERROR_UPD_NO_SECTION;
    list.resize(size, '\0');
    *out = std::move(list);
    return 0;
}

unsigned long CIniParser::ReadFile(const std::string& path) {
    platform::DebugOutput("CIniParser::ReadListFile ");
    m_Comps = 0;
    m_Entries = 0;
    if (unsigned long rc = ReadInfo(path)) return rc;
    struct ListSpec {
        const char* section;
        unsigned long bit;
        std::size_t size;
        std::vector<char>* out;
    };
    const ListSpec lists[] = {{"AppList", UPDATE_COMP_APP, kAppListSize, &m_App},
                              {"DrvList", UPDATE_COMP_DRV, kDrvListSize, &m_Drv},
                              {"LspList", UPDATE_COMP_LSP, kLspListSize, &m_Lsp},
                              {"SrvList", UPDATE_COMP_SRV, kSrvListSize, &m_Srv}};
    for (const ListSpec& l : lists) {
        unsigned long rc = ReadList(path, l.section, l.size, l.out);
        if (rc == ERROR_UPD_NO_SECTION) continue;
        if (rc != 0) return rc;
        m_Comps |= l.bit;
    }
    platform::DebugOutput("CIniParser::ReadListFile Finished.");
    return 0;
}
