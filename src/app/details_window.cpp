#include "app/details_window.h"

#include <QHBoxLayout>
#include <QScrollBar>
#include <QTextBlockFormat>
#include <QTextCursor>
#include <QVBoxLayout>

#include "app/app_actions.h"
#include "app/symbol_painter.h"
#include "assessment/report/connection_details_report.h"
#include "model/sorvanta_model.h"

namespace sorvanta {
namespace {

const QString hint = QStringLiteral("Select a passage, or copy the full report.");

}  // namespace

DetailsWindow::DetailsWindow(std::shared_ptr<SorvantaModel> model, AppBuild build, QWidget* parent)
    : QMainWindow(parent), model_(std::move(model)), build_(std::move(build)) {
    setWindowTitle(QStringLiteral("Connection Details"));
    auto* content = new QWidget(this);
    content->setMinimumSize(520, 420);
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(20, 20, 20, 20);
    column->setSpacing(12);
    auto* headerRow = new QHBoxLayout;
    header_ = new QLabel(hint, content);
    header_->setFont(uiFont(10));
    headerRow->addWidget(header_);
    headerRow->addSpacing(8);
    headerRow->addStretch();
    copy_ = new QToolButton(content);
    copy_->setText(QStringLiteral("Copy All"));
    copy_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    copy_->setFont(uiFont(11));
    headerRow->addWidget(copy_);
    column->addLayout(headerRow);
    report_ = new QTextBrowser(content);
    report_->setOpenLinks(false);
    report_->setFrameShape(QFrame::NoFrame);
    report_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    report_->document()->setDocumentMargin(16);
    column->addWidget(report_, 1);
    setCentralWidget(content);
    resize(640, 600);
    connect(copy_, &QToolButton::clicked, this, &DetailsWindow::copyReport);
    feedbackTimer_.setSingleShot(true);
    connect(&feedbackTimer_, &QTimer::timeout, this, [this] { setFeedback(std::nullopt); });
    setAppearance({});
}

void DetailsWindow::setAppearance(const Appearance& appearance) {
    appearance_ = appearance;
    const Palette& palette = appearance.palette;
    copy_->setIcon(symbolIcon(Symbol::copy, toQColor(palette.primary()), 14));
    QPalette headerPalette = header_->palette();
    headerPalette.setColor(QPalette::WindowText, toQColor(palette.secondary()));
    header_->setPalette(headerPalette);
    const QColor border = toQColor(palette.quaternary());
    report_->setStyleSheet(
        QStringLiteral(
            "QTextBrowser { background: %1; border: 0.5px solid %2; border-radius: 12px; }")
            .arg(toQColor(palette.controlBackground()).name(QColor::HexArgb),
                 border.name(QColor::HexArgb)));
    shown_.reset();
    refresh();
}

void DetailsWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    refresh();
}

void DetailsWindow::refresh() {
    if (!isVisible())
        return;
    StyledText text = ConnectionDetailsReport(model_->snapshot(), build_).styledText();
    if (shown_ == text.runs)
        return;
    render(text);
    shown_ = std::move(text.runs);
}

void DetailsWindow::render(const StyledText& text) {
    const Palette& palette = appearance_.palette;
    QScrollBar* bar = report_->verticalScrollBar();
    const int scroll = bar->value();
    QTextDocument* document = report_->document();
    document->clear();
    QTextCursor cursor(document);
    QTextBlockFormat block;
    block.setLineHeight(4, QTextBlockFormat::LineDistanceHeight);
    cursor.setBlockFormat(block);
    for (const auto& run : text.runs) {
        QTextCharFormat format;
        using Style = StyledText::Style;
        switch (run.style) {
            case Style::body:
                format.setFont(uiFont(13));
                format.setForeground(toQColor(palette.primary()));
                break;
            case Style::rowLabel:
                format.setFont(uiFont(13));
                format.setForeground(toQColor(palette.secondary()));
                break;
            case Style::heading:
                format.setFont(uiFont(13, QFont::DemiBold));
                format.setForeground(toQColor(palette.primary()));
                break;
            case Style::adapterTitle:
                format.setFont(uiFont(13, QFont::Medium));
                format.setForeground(toQColor(palette.primary()));
                break;
        }
        const QStringList lines = QString::fromStdString(run.text).split('\n');
        for (int i = 0; i < lines.size(); ++i) {
            if (i > 0)
                cursor.insertBlock(block);
            cursor.insertText(lines[i], format);
        }
    }
    bar->setValue(scroll);
}

void DetailsWindow::copyReport() {
    const bool copied = AppActions::copyReport(*model_);
    setFeedback(copied ? QStringLiteral("Copied to clipboard.")
                       : QStringLiteral("Couldn\u2019t copy. Try again."));
}

void DetailsWindow::setFeedback(std::optional<QString> feedback) {
    // The three seconds restart only when the text changes.
    const bool changed = feedback != feedback_;
    feedback_ = std::move(feedback);
    header_->setText(feedback_.value_or(hint));
    if (!changed)
        return;
    feedbackTimer_.stop();
    if (feedback_)
        feedbackTimer_.start(feedbackMilliseconds);
}

}  // namespace sorvanta
