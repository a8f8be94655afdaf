#pragma once

#include <optional>
#include <string>

#include "assessment/report/styled_text.h"
#include "assessment/text/display_format.h"
#include "protocol/ethernet_run_evidence.h"
#include "protocol/service_snapshot.h"

namespace sorvanta {

// The application's version and build as the report names them; "Unknown" when absent.
struct AppBuild {
    std::optional<std::string> version;
    std::optional<std::string> build;
};

// The long technical account of one snapshot as shown: the verdict with its policy numbers,
// the build, the connection, the adapters, preparation, the previous completed test, every
// measured direction, the run's Ethernet observations, the UDP probe and the diagnostics.
class ConnectionDetailsReport {
  public:
    explicit ConnectionDetailsReport(const ServiceSnapshot& snapshot, const AppBuild& build = {},
                                     const DisplayFormat& format = DisplayFormat::current());

    const StyledText& styledText() const { return text_; }
    std::string plainText() const { return text_.plainText(); }
    // The text that is copied or saved: a title line, a blank line, then the report.
    std::string copyText() const;

    // The lines, joined with "\n", that state what one Mac recorded on its interface during
    // the run, without judging it.
    static std::string ethernetSection(const EthernetRunEvidence& evidence,
                                       const DisplayFormat& format = DisplayFormat::current());

    static constexpr int speedPolicy = 1;
    static constexpr int qualityPolicy = 4;
    // Bytes per payload send and largest receive of a data connection.
    static constexpr int transferBlockBytes = 131'072;

  private:
    StyledText text_;
};

}  // namespace sorvanta
