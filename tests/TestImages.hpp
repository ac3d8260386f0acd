#pragma once
// Tiny but complete image files built in memory: a 1×1 PNG, an 8×8 grey JPEG, a 1×1 GIF.

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>

namespace kiv::test {

inline std::uint32_t crc32(const std::string& bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char c : bytes) {
        crc ^= c;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

inline void appendBigEndian(std::string& out, std::uint32_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

inline std::string bytesOf(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) out.push_back(static_cast<char>(v));
    return out;
}

/// One red pixel: signature, IHDR, IDAT (a stored zlib block), IEND.
inline std::string tinyPng() {
    auto chunk = [](const std::string& type, const std::string& data) {
        std::string out;
        appendBigEndian(out, static_cast<std::uint32_t>(data.size()), 4);
        out += type + data;
        appendBigEndian(out, crc32(type + data), 4);
        return out;
    };
    std::string header;
    appendBigEndian(header, 1, 4);                         // width
    appendBigEndian(header, 1, 4);                         // height
    header += bytesOf({8, 2, 0, 0, 0});                    // 8-bit RGB
    const std::string scanline = bytesOf({0, 255, 0, 0});  // filter none, one red pixel
    std::uint32_t a = 1, b = 0;
    for (unsigned char c : scanline) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    std::string zlib = bytesOf({0x78, 0x01, 0x01, 0x04, 0x00, 0xFB, 0xFF}) + scanline;
    appendBigEndian(zlib, (b << 16) | a, 4);
    return "\x89PNG\r\n\x1a\n" + chunk("IHDR", header) + chunk("IDAT", zlib) + chunk("IEND", "");
}

/// An 8×8 mid-grey baseline JPEG: every block has DC difference 0 and ends at once.
inline std::string tinyJpeg() {
    std::string out = bytesOf({0xFF, 0xD8});
    out += bytesOf({0xFF, 0xDB, 0x00, 0x43, 0x00});  // one quantisation table, all ones
    out += std::string(64, '\x01');
    out += bytesOf({0xFF, 0xC0, 0x00, 0x0B, 0x08, 0x00, 0x08, 0x00, 0x08, 0x01, 0x01, 0x11, 0x00});
    // DC table 0 and AC table 0, each a single one-bit code for symbol 0 (DC size 0 / EOB).
    out += bytesOf({0xFF, 0xC4, 0x00, 0x14, 0x00, 0x01});
    out += std::string(15, '\0') + bytesOf({0x00});
    out += bytesOf({0xFF, 0xC4, 0x00, 0x14, 0x10, 0x01});
    out += std::string(15, '\0') + bytesOf({0x00});
    out += bytesOf({0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x3F, 0x00});
    out += bytesOf({0x3F});  // bits 0 (DC) 0 (EOB), padded with ones
    out += bytesOf({0xFF, 0xD9});
    return out;
}

/// One transparent pixel.
inline std::string tinyGif() {
    return "GIF89a" + bytesOf({1, 0, 1,    0, 0x80, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x21, 0xF9, 4, 1, 0,   0,
                               0, 0, 0x2C, 0, 0,    0, 0, 1, 0, 1, 0,    0,    2,    2,    0x44, 1, 0, 0x3B});
}

inline void writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

/// A fresh empty directory below the system's temporary directory, removed on destruction.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kiv-test-XXXXXX").string();
        if (::mkdtemp(pattern.data())) path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace kiv::test
