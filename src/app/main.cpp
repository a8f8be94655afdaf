#include <memory>

#include "app/program_variant.h"
#include "platform/system/sysfs_wired_hardware_reader.h"

int main(int argc, char** argv) {
    using namespace sorvanta;
    return runProgram(argc, argv,
                      {[] { return std::make_shared<SysfsWiredHardwareReader>(); }, {}});
}
