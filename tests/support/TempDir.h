#pragma once
// A temporary folder for one test, removed with everything in it when the test ends.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace vxtest {

class TempDir {
public:
    explicit TempDir(const std::string& tag = "t") {
        std::filesystem::path base = std::filesystem::temp_directory_path();
        if (const char* t = std::getenv("VX_TEST_TMP"); t && *t) {
            base = t;
            std::filesystem::create_directories(base);
        }
        std::string pattern = (base / ("vx-" + tag + "-XXXXXX")).string();
        if (!::mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        m_path = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::permissions(m_path, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    // The folder with a trailing separator.
    std::string str() const { return m_path.string() + "/"; }
    std::string file(const std::string& name) const { return (m_path / name).string(); }

    // Writes a file below the folder (creating parents) and returns its full path.
    std::string write(const std::string& name, const std::string& content) const {
        std::filesystem::path p = m_path / name;
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << content;
        return p.string();
    }

private:
    std::filesystem::path m_path;
};

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace vxtest
