#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace sorvanta::testing {

// A fresh folder under the system's temporary folder, removed with all it holds.
struct TempFolder {
    std::filesystem::path path;
    explicit TempFolder(const std::string& prefix = "sorvanta") {
        std::string name = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
        path = ::mkdtemp(name.data());
    }
    ~TempFolder() {
        // Quietly, and again when a process the test started removed a file of its own while
        // this went through the folder (the walk stops at the first file found gone).
        std::error_code error;
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (std::filesystem::remove_all(path, error) != static_cast<std::uintmax_t>(-1)) {
                break;
            }
        }
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
};

// The whole content of a file; empty when it cannot be read.
inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace sorvanta::testing
