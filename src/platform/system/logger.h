#pragma once

#include <sstream>
#include <string>
#include <string_view>

namespace sorvanta {

// The system's one log, owned by the network service. Entries go to the journal, with the
// subsystem and category as fields of their own, when the journal's socket exists, else to
// standard error. Safe from any thread.
class Logger {
  public:
    enum class Level { info, notice };  // notice is the default level

    static constexpr std::string_view subsystem = "com.quellmoorhaven.sorvanta";
    static constexpr std::string_view category = "transport";

    // A value kept out of the log (names of registered services, endpoint addresses): it
    // is written as "<private>".
    struct Private {
        std::string_view value;
    };

    static Logger& transport();

    // An entry made of `parts` written one after the other.
    template <class... Parts>
    void info(const Parts&... parts) {
        write(Level::info, compose(parts...));
    }
    template <class... Parts>
    void notice(const Parts&... parts) {
        write(Level::notice, compose(parts...));
    }

    template <class... Parts>
    static std::string compose(const Parts&... parts) {
        std::ostringstream text;
        (append(text, parts), ...);
        return text.str();
    }

    // The line written to standard error for one entry.
    static std::string standardErrorLine(Level level, std::string_view message);

    void write(Level level, const std::string& message);

  private:
    Logger();

    template <class Part>
    static void append(std::ostringstream& text, const Part& part) {
        if constexpr (std::is_same_v<Part, Private>) {
            text << "<private>";
        } else {
            text << part;
        }
    }

    bool journal_;
};

}  // namespace sorvanta
