// CIniParser: the update list "UpdateList.txt" read into memory. Not thread-safe; owned by one
// CGlimrow.
#pragma once
#include <string>
#include <vector>

class CIniParser {
public:
    // Buffer sizes of the four lists; a list that needs more fails the reading with 0x1000e.
    static constexpr std::size_t kAppListSize = 10240;
    static constexpr std::size_t kLspListSize = 4096;
    static constexpr std::size_t kDrvListSize = 10240;
    static constexpr std::size_t kSrvListSize = 8192;
    static constexpr std::size_t kValueSize = 1024;
    // "Version" and "MinVersion" are at most this long.
    static constexpr std::size_t kVersionMax = 15;

    CIniParser(std::string programDir, std::string systemDir);

    // Reads the whole file; 0 or the first UpdateErrorCode.
    unsigned long ReadFile(const std::string& path);

    const std::string& Version() const { return m_Version; }
    const std::string& MinVersion() const { return m_MinVersion; }
    const std::string& Description() const { return m_Descript; }
    const std::string& PackUrl() const { return m_PackUrl; }
    int ForceUpdate() const { return m_Force; }
    int NeedReboot() const { return m_Reboot; }
    int NeedUninstall() const { return m_Uninstall; }
    unsigned long Components() const { return m_Comps; }
    // Entries of all lists together.
    std::size_t EntryCount() const { return m_Entries; }
    // The list of a component bit as NUL-terminated texts ending with an empty one; null when
    // the list is absent.
    char* List(unsigned long bit);

    // The full path of a list target (exposed for the tests); empty when the target would leave
    // its folder.
    std::string MapTarget(const std::string& target) const;

private:
    unsigned long ReadInfo(const std::string& path);
    unsigned long ReadList(const std::string& path, const char* section, std::size_t size,
                           std::vector<char>* out);

    std::string m_ProgramDir;  // with trailing "/"
    std::string m_SystemDir;   // without trailing "/"
    std::string m_Version, m_MinVersion, m_Descript, m_PackUrl;
    int m_Force = 0, m_Reboot = 0, m_Uninstall = 0;
    unsigned long m_Comps = 0;
    std::size_t m_Entries = 0;
    std::vector<char> m_App, m_Lsp, m_Drv, m_Srv;
};
