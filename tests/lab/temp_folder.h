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
        // Quietly: a process the test started may still be removing a file of its own.
        std::error_code error;
        std::filesystem::remove_all(path, error);
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
