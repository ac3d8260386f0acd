#pragma once
// Image bodies and a scratch directory for the attachment tests.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace kiv::test {

// Attachments are judged by their leading magic numbers only, so a signature and a few bytes suffice.
inline std::string tinyPng() { return "\x89PNG\r\n\x1a\n...IHDR"; }
inline std::string tinyJpeg() { return "\xff\xd8\xff\xe0...JFIF"; }
inline std::string tinyGif() { return "GIF89a..."; }

inline void writeFile(const std::filesystem::path& path, const std::string& bytes) { std::ofstream(path) << bytes; }

/// A fresh empty directory below the system's temporary directory, removed on destruction.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kiv-test-XXXXXX").string();
        if (::mkdtemp(pattern.data())) path_ = pattern;
    }
    ~TempDir() { std::filesystem::remove_all(path_, ignored_); }
    TempDir(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    /// Writes `name` in the directory, readable by its owner only (as a secret must be); its path.
    std::string file(const std::string& name, const std::string& content) const {
        writeFile(path_ / name, content);
        std::filesystem::permissions(path_ / name, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
        return (path_ / name).string();
    }

private:
    std::filesystem::path path_;
    std::error_code ignored_;
};

}  // namespace kiv::test
