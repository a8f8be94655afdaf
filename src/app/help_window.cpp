#include "app/help_window.h"

#include <QLabel>
#include <QLayout>
#include <QScrollArea>
#include <QVBoxLayout>

#include "app/paint_support.h"

namespace sorvanta {
namespace {

struct Row {
    enum Kind { title, heading, paragraph } kind;
    const char* text;
};

const Row rows[] = {
    {Row::title, "Testing a cable"},
    {Row::paragraph,
     "Connect the two Macs with Ethernet \u2014 directly, or through wall jacks and patch cables, "
     "but not through a switch or router. Open Sorvanta on both. When the band appears between "
     "the two Macs, choose Test."},
    {Row::paragraph,
     "The test sends data out, back, then both ways at once, and finishes with a short "
     "packet-loss check. It takes about a minute. Stop works from either Mac."},
    {Row::heading, "Reading the result"},
    {Row::paragraph,
     "Blue is traffic leaving this Mac; pink is traffic arriving. Each icon turns green when its "
     "part finished cleanly, or amber when it found something worth checking."},
    {Row::paragraph,
     "Sorvanta measures what these two Macs, their adapters and the cable achieve together. It "
     "can\u2019t tell which part is at fault, and it doesn\u2019t certify a cable category. To "
     "compare cables, test each one with the same Macs and adapters."},
    {Row::heading, "If the band doesn\u2019t appear"},
    {Row::paragraph,
     "Check that both ends of the cable are seated and that Sorvanta is open on the other Mac. If "
     "macOS asks for Local Network access, allow it; you can change it later in System Settings "
     "\u2192 Privacy & Security \u2192 Local Network. Wi-Fi can stay on."},
    {Row::paragraph,
     "USB adapters based on the ASIX AX88179A and Realtek RTL8153, and built-in or Thunderbolt "
     "Ethernet, are supported. Other adapters may not appear even if they work elsewhere in "
     "macOS."},
    {Row::heading, "Privacy"},
    {Row::paragraph,
     "Sorvanta talks only to the other Mac. It has no accounts, analytics or cloud service, and "
     "results stay in memory until you quit. Copy Report puts the technical details on the "
     "clipboard only when you choose it."},
};

}  // namespace

HelpWindow::HelpWindow(QWidget* parent) : QMainWindow(parent) {
    setWindowTitle(QStringLiteral("Sorvanta Help"));
    auto* scroll = new QScrollArea(this);
    scroll->setFixedSize(520, 560);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    content_ = new QWidget;
    auto* column = new QVBoxLayout(content_);
    column->setContentsMargins(24, 24, 24, 24);
    column->setSpacing(14);
    for (const Row& row : rows) {
        auto* label = new QLabel(QString::fromUtf8(row.text), content_);
        label->setWordWrap(true);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        if (row.kind == Row::title) {
            label->setFont(uiFont(17, QFont::Bold));
        } else if (row.kind == Row::heading) {
            label->setFont(uiFont(13, QFont::DemiBold));
            // Headings stand 6 px further from the paragraph above.
            column->addSpacing(6);
        } else {
            label->setFont(uiFont(13));
        }
        column->addWidget(label);
    }
    column->addStretch();
    scroll->setWidget(content_);
    setCentralWidget(scroll);
    layout()->setSizeConstraint(QLayout::SetFixedSize);
}

}  // namespace sorvanta
