#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace sorvanta {

// Where this machine's model identifier comes from: the firmware's product name.
class ModelIdentifierReader {
  public:
    ModelIdentifierReader() = delete;

    // Read once per process; absent when the name is missing or not a model identifier.
    static const std::optional<std::string>& current();

    // Reads and interprets a product-name file; nothing when it cannot be read.
    static std::optional<std::string> readProductName(const std::filesystem::path& file);
};

}  // namespace sorvanta
