#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace sorvanta {

// Text made of runs, each in one of four styles; its plain form is the characters of the
// runs in order, line breaks included, so copying gives the layout the window shows.
struct StyledText {
    enum class Style {
        body,          // system font of size 13, primary colour
        rowLabel,      // system font of size 13, secondary colour
        heading,       // headline text style, rounded, semibold, primary colour
        adapterTitle,  // system font of size 13, medium weight, primary colour
    };

    struct Run {
        Style style = Style::body;
        std::string text;
        bool operator==(const Run&) const = default;
    };

    std::vector<Run> runs;

    // Appends a run; consecutive text of one style joins the run before it.
    void append(Style style, std::string_view text);

    bool empty() const;
    std::string plainText() const;
};

}  // namespace sorvanta
