#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace sorvanta {

// The one error every codec and validator of received data throws. Compared by case:
//   throw ProtocolFailure::malformed;
//   catch (const ProtocolFailure& failure) { if (failure == ProtocolFailure::badProbe) … }
class ProtocolFailure : public std::exception {
  public:
    enum class Case : std::uint8_t {
        invalidLength,
        malformed,
        incompatible,
        selfConnection,
        unexpectedMessage,
        identityChanged,
        badProbe,
    };

    static const ProtocolFailure invalidLength;
    static const ProtocolFailure malformed;
    static const ProtocolFailure incompatible;
    static const ProtocolFailure selfConnection;
    static const ProtocolFailure unexpectedMessage;
    static const ProtocolFailure identityChanged;
    static const ProtocolFailure badProbe;

    explicit ProtocolFailure(Case value) noexcept : case_(value) {}

    Case value() const noexcept { return case_; }
    int ordinal() const noexcept { return static_cast<int>(case_); }
    const char* name() const noexcept;

    // The text shown when a control connection is closed because of this failure.
    std::string errorDescription() const;
    const char* what() const noexcept override;

    bool operator==(const ProtocolFailure& other) const noexcept { return case_ == other.case_; }

  private:
    Case case_;
};

inline const ProtocolFailure ProtocolFailure::invalidLength{Case::invalidLength};
inline const ProtocolFailure ProtocolFailure::malformed{Case::malformed};
inline const ProtocolFailure ProtocolFailure::incompatible{Case::incompatible};
inline const ProtocolFailure ProtocolFailure::selfConnection{Case::selfConnection};
inline const ProtocolFailure ProtocolFailure::unexpectedMessage{Case::unexpectedMessage};
inline const ProtocolFailure ProtocolFailure::identityChanged{Case::identityChanged};
inline const ProtocolFailure ProtocolFailure::badProbe{Case::badProbe};

}  // namespace sorvanta
