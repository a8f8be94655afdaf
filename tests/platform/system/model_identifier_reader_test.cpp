#include "platform/system/model_identifier_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "protocol/mac_model.h"

namespace sorvanta {
namespace {

TEST(ModelIdentifierReaderTest, ReadsAProductNameFile) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("model_identifier_test_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    auto write = [&](const std::string& contents) {
        std::ofstream(dir / "product_name", std::ios::binary) << contents;
        return ModelIdentifierReader::readProductName(dir / "product_name");
    };
    EXPECT_EQ(write("Mac14,2\n"), "Mac14,2");
    EXPECT_EQ(write("Mac14,2" + std::string(200, 'x') + "\n"), std::nullopt);
    EXPECT_EQ(ModelIdentifierReader::readProductName(dir / "missing"), std::nullopt);
    std::filesystem::remove_all(dir);
    // Whatever this machine is, the value read is absent or a valid identifier, and stays.
    EXPECT_TRUE(!ModelIdentifierReader::current() || MacModel::isValidIdentifier(ModelIdentifierReader::current()));
    EXPECT_EQ(&ModelIdentifierReader::current(), &ModelIdentifierReader::current());
}

}  // namespace
}  // namespace sorvanta
