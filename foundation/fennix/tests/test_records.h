// Helpers for building Fennix records and reading hex in the tests.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fennix/fennix.h"

namespace fennix_test {

inline std::vector<unsigned char> Hex(std::string_view hex) {
    std::vector<unsigned char> out;
    auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<unsigned char>(nibble(hex[i]) << 4 | nibble(hex[i + 1])));
    }
    return out;
}

inline std::string ToHex(const unsigned char* p, std::size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}
inline std::string ToHex(const std::vector<unsigned char>& v) { return ToHex(v.data(), v.size()); }

inline std::vector<unsigned char> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

// A key record: three words, then the key bytes.
class KeyRecord {
public:
    KeyRecord(const std::vector<unsigned char>& key, std::uint32_t lengthWord) {
        for (std::uint32_t word : {0xDEADBEEFu, 0xCAFEF00Du, lengthWord}) {
            for (int b = 0; b < 4; ++b) m_raw.push_back(static_cast<unsigned char>(word >> (8 * b)));
        }
        m_raw.insert(m_raw.end(), key.begin(), key.end());
        m_raw.insert(m_raw.end(), 32, 0xEE);  // room for a key shorter than its length word says
    }
    explicit KeyRecord(const std::vector<unsigned char>& key)
        : KeyRecord(key, static_cast<std::uint32_t>(key.size())) {}
    const fennix_key_record* get() const { return reinterpret_cast<const fennix_key_record*>(m_raw.data()); }

private:
    std::vector<unsigned char> m_raw;
};

inline fennix_iv_record MakeIv(const std::vector<unsigned char>& iv) {
    fennix_iv_record r{0x12345678, {}};
    std::memcpy(r.iv, iv.data(), sizeof r.iv);
    return r;
}

// A digest record of a given size word, with guard bytes behind the byte area to catch overruns.
class DigestRecord {
public:
    static constexpr std::size_t kGuard = 64;
    static constexpr unsigned char kGuardByte = 0xA5;
    explicit DigestRecord(std::uint32_t size) : m_raw(sizeof(std::uint32_t) + size + kGuard, kGuardByte) {
        std::memcpy(m_raw.data(), &size, sizeof size);
    }
    fennix_digest_record* get() { return reinterpret_cast<fennix_digest_record*>(m_raw.data()); }
    std::uint32_t SizeWord() const {
        std::uint32_t s;
        std::memcpy(&s, m_raw.data(), sizeof s);
        return s;
    }
    std::vector<unsigned char> Area() const { return {m_raw.begin() + 4, m_raw.end() - kGuard}; }
    std::vector<unsigned char> Head(std::size_t n) const { return {m_raw.data() + 4, m_raw.data() + 4 + n}; }
    bool GuardIntact() const {
        for (auto it = m_raw.end() - kGuard; it != m_raw.end(); ++it) {
            if (*it != kGuardByte) return false;
        }
        return true;
    }
    bool Untouched() const {
        for (auto it = m_raw.begin() + 4; it != m_raw.end(); ++it) {
            if (*it != kGuardByte) return false;
        }
        return true;
    }

private:
    std::vector<unsigned char> m_raw;
};

}  // namespace fennix_test
