#pragma once

namespace sorvanta {

// The main window's layout in device-independent pixels. One preset serves the stage, the
// pass row, the port captions and the band.
struct WindowMetrics {
    double width = 720;       // the column, the pass row and the stage
    double tileWidth = 138;   // each computer tile and port-caption column
    double tileHeight = 152;  // the stage's height; the band's centre lies at 0.47 of it
    double bandHeight = 44;
    double number = 40;  // the large rate figures
    double name = 16;    // names and captions
    double pass = 21;    // the pass tiles

    static constexpr WindowMetrics preset() { return {}; }
};

}  // namespace sorvanta
