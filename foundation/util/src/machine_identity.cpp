// Machine identifier from the first disk's serial number and model, as Linux exposes them.
#include "platform/text_util.h"
#include "util/machine_identity.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

namespace {

std::mutex g_lock;
std::string g_serial;
std::string g_model;

std::string ReadSmallFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return "";
    std::string text(4096, '\0');
    f.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(f.gcount()));
    return text;
}

// The unit serial number page: byte 3 is the length, the text follows from byte 4.
std::string SerialFromVpd80(const std::string& page) {
    if (page.size() < 4 || static_cast<unsigned char>(page[1]) != 0x80) return "";
    const size_t len = std::min<size_t>(static_cast<unsigned char>(page[3]), page.size() - 4);
    return SerialFieldText(page.substr(4, len));
}

bool IsDiskName(const std::string& name) {
    for (const char* skip : {"loop", "ram", "zram", "dm-", "md", "sr", "fd", "nbd"}) {
        if (name.rfind(skip, 0) == 0) return false;
    }
    return !name.empty() && name[0] != '.';
}

// A value of a udev database record ("E:KEY=value" lines), as it stands.
std::string UdevRecordValue(const std::string& record, const std::string& key) {
    std::istringstream db(record);
    std::string line;
    while (std::getline(db, line)) {
        if (line.rfind("E:" + key + "=", 0) == 0) return line.substr(key.size() + 3);
    }
    return "";
}

std::string UdevRecord(const std::string& disk) {
    struct stat st {};
    if (::stat(("/dev/" + disk).c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return "";
    return ReadSmallFile("/run/udev/data/b" + std::to_string(major(st.st_rdev)) + ":" +
                         std::to_string(minor(st.st_rdev)));
}

void FindDisk(std::string* serial, std::string* model) {
    std::vector<std::string> disks;
    if (DIR* d = ::opendir("/sys/block")) {
        while (dirent* e = ::readdir(d)) {
            if (IsDiskName(e->d_name)) disks.emplace_back(e->d_name);
        }
        ::closedir(d);
    }
    std::sort(disks.begin(), disks.end());
    for (const auto& disk : disks) {
        const std::string base = "/sys/block/" + disk;
        std::string s = SerialFieldText(ReadSmallFile(base + "/device/serial"));
        if (s.empty()) s = SerialFieldText(ReadSmallFile(base + "/serial"));
        if (s.empty()) s = SerialFromVpd80(ReadSmallFile(base + "/device/vpd_pg80"));
        if (s.empty()) s = SerialFromUdevRecord(UdevRecord(disk));
        if (s.empty()) continue;
        std::string m = platform::Trim(ReadSmallFile(base + "/device/model"));
        if (m.empty()) m = platform::Trim(UdevRecordValue(UdevRecord(disk), "ID_MODEL"));
        *serial = s;
        *model = m;
        return;
    }
}

}  // namespace

std::string SerialFieldText(const std::string& raw) {
    // Drives pad the serial field on the left as well; gateways registered the fingerprint with
    // that padding, so only the end is cut.
    const auto last = raw.find_last_not_of(" \t\r\n");
    if (last == std::string::npos) return "";
    return raw.substr(0, last + 1);
}

std::string SerialFromUdevRecord(const std::string& record) {
    return SerialFieldText(UdevRecordValue(record, "ID_SERIAL_SHORT"));
}

LONG HardDriveIdFromText(const std::string& serialText, const std::string& modelText) {
    std::string serial = platform::Trim(serialText);
    const std::string model = platform::Trim(modelText);
    if (serial.rfind("WD-W", 0) == 0) serial = serial.size() > 5 ? serial.substr(5) : "";
    std::uint64_t value = 0;
    for (const char c : serial) {
        if (c == '-') continue;
        value = (value * 10) % 100000000ULL;
        if (c >= '1' && c <= '9') {
            value += static_cast<std::uint64_t>(c - '0');
        } else if (c >= 'A' && c <= 'Z') {
            value += static_cast<std::uint64_t>(c - 'A' + 10);
        } else if (c >= 'a' && c <= 'z') {
            value += static_cast<std::uint64_t>(c - 'a' + 10);
        }
    }
    value %= 100000000ULL;
    if (model.find("IBM-") != std::string::npos) {
        value += 300000000ULL;
    } else if (model.find("MAXTOR") != std::string::npos || model.find("Maxtor") != std::string::npos) {
        value += 400000000ULL;
    } else if (model.find("WDC ") != std::string::npos) {
        value += 500000000ULL;
    } else {
        value += 600000000ULL;
    }
    return static_cast<LONG>(value);
}

LONG getHardDriveComputerID() {
    std::string serial, model;
    FindDisk(&serial, &model);
    {
        std::lock_guard<std::mutex> g(g_lock);
        g_serial = serial;
        g_model = model;
    }
    return HardDriveIdFromText(serial, model);
}

void LastHardDriveIdentity(std::string* serial, std::string* model) {
    std::lock_guard<std::mutex> g(g_lock);
    if (serial != nullptr) *serial = g_serial;
    if (model != nullptr) *model = g_model;
}
