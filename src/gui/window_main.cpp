#include "window_main.h"

#include "gui/korvel_application.h"
#include "gui/main_window.h"
#include "service/service.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QStyle>

#include <algorithm>
#include <exception>

namespace korvel {

namespace {

// Past this many, the list of a failed start's problems scrolls.
constexpr std::size_t kProblemLinesShown = 12;
constexpr int kProblemsMaxWidth = 900;

} // namespace

void ShowStartFailure(Service& service, const std::string& reason)
{
    QDialog box;
    box.setObjectName(QStringLiteral("StartFailure"));
    box.setWindowTitle(QStringLiteral("Korvel"));
    auto* icon = new QLabel(&box);
    const int iconSize = box.style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, &box);
    icon->setPixmap(box.style()->standardIcon(QStyle::SP_MessageBoxCritical, nullptr, &box).pixmap(iconSize));
    auto* text = new QLabel(QStringLiteral("Korvel cannot start: %1").arg(QString::fromStdString(reason)), &box);
    text->setWordWrap(true);
    text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, &box);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &box, &QDialog::accept);

    auto* layout = new QGridLayout(&box);
    layout->addWidget(icon, 0, 0, Qt::AlignTop);
    layout->addWidget(text, 0, 1);
    // What to mend, each problem with its file and line; a long list scrolls.
    if (const std::vector<std::string>& problems = service.startProblems(); !problems.empty()) {
        QStringList lines;
        for (const std::string& problem : problems)
            lines << QString::fromStdString(problem);
        auto* list = new QPlainTextEdit(lines.join(QLatin1Char('\n')), &box);
        list->setObjectName(QStringLiteral("StartProblems"));
        list->setReadOnly(true);
        list->setLineWrapMode(QPlainTextEdit::NoWrap);
        // Each problem on a line of its own, as wide as the longest up to a
        // bound; past that, and past kProblemLinesShown lines, it scrolls.
        const QFontMetrics metrics = list->fontMetrics();
        int widest = 0;
        for (const QString& line : lines)
            widest = std::max(widest, metrics.horizontalAdvance(line));
        const int margins = 2 * (list->frameWidth() + static_cast<int>(list->document()->documentMargin()));
        const int width = std::min(widest + margins + list->verticalScrollBar()->sizeHint().width(), kProblemsMaxWidth);
        const auto shown = static_cast<int>(std::min<std::size_t>(problems.size(), kProblemLinesShown));
        int height = metrics.lineSpacing() * shown + margins + metrics.descent();
        if (width == kProblemsMaxWidth)
            height += list->horizontalScrollBar()->sizeHint().height();
        list->setFixedSize(width, height);
        layout->addWidget(list, 1, 1);
    }
    layout->addWidget(buttons, 2, 0, 1, 2);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    QObject::connect(&service, &Service::terminationRequested, &box, &QDialog::reject);
    box.exec();
}

int RunWindow(int& argc, char** argv, const ServiceOptions& options)
{
    KorvelApplication app(argc, argv);
    try {
        Service service(options);
        MainWindow window(service);
        // A termination request closes the window like the Exit command, so
        // the table is saved on that way out as well.
        QObject::connect(&service, &Service::terminationRequested, &window, [&window] {
            window.close();
            QCoreApplication::quit();
        });
        if (const Result<void> started = window.start(); !started) {
            ShowStartFailure(service, started.error());
            return 1;
        }
        window.show();
        if (options.trace && !window.testPanelShown())
            window.toggleTestCommands();
        const int status = KorvelApplication::exec();
        // Saves now if no way out has yet; a table that could not be saved
        // is a failed run.
        window.close();
        return status != 0 ? status : window.savedOnExit() ? 0 : 1;
    } catch (const std::exception& error) {
        ShowExceptionText(QString::fromLocal8Bit(error.what()));
    } catch (...) {
        ShowExceptionText(QStringLiteral("Unknown error"));
    }
    return 1;
}

} // namespace korvel
