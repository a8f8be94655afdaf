#include "platform/system/model_identifier_reader.h"

#include <fstream>

#include "protocol/mac_model.h"

namespace sorvanta {

std::optional<std::string> ModelIdentifierReader::readProductName(
    const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    // Read more than any acceptable contents (63 bytes and a line break) so that an
    // overlong value is seen.
    std::string contents(65, '\0');
    in.read(contents.data(), static_cast<std::streamsize>(contents.size()));
    if (in.bad()) {
        return std::nullopt;
    }
    contents.resize(static_cast<std::size_t>(in.gcount()));
    return MacModel::fromProductName(contents);
}

const std::optional<std::string>& ModelIdentifierReader::current() {
    static const std::optional<std::string> model =
        readProductName("/sys/class/dmi/id/product_name");
    return model;
}

}  // namespace sorvanta
