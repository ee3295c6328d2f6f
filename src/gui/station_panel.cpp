#include "station_panel.h"

#include "gui/station_filter_model.h"
#include "gui/station_list_model.h"
#include "gui/station_view.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QSettings>
#include <QTreeView>
#include <QVBoxLayout>

namespace korvel {

namespace {

// The states the filter offers, by StationImageIndex, with the short names
// the counts use.
struct StateName {
    int index;
    const char* caption;
    const char* count;
};
constexpr StateName kStates[] = {
    { 0, "Idle", "idle" },
    { 1, "Busy", "busy" },
    { 2, "DND", "DND" },
    { 3, "Message", "msg" },
    { 5, "Out of Service", "OOS" },
    { 4, "Unknown", "unknown" },
};

// A one-line label that gives way to its neighbours and ends a text that does
// not fit with an ellipsis, the whole text in its tooltip. Its first `kept`
// characters give way last.
class ElidingLabel : public QLabel {
public:
    using QLabel::QLabel;

    QSize minimumSizeHint() const override { return { 0, QLabel::minimumSizeHint().height() }; }
    void setText(const QString& first, const QString& rest)
    {
        kept_ = first.size();
        QLabel::setText(first + rest);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        const QRect room = contentsRect();
        painter.setPen(palette().color(foregroundRole()));
        painter.drawText(room, Qt::AlignLeft | Qt::AlignVCenter,
            ElideAfter(fontMetrics(), text().left(kept_), text().mid(kept_), room.width()));
    }

private:
    qsizetype kept_ = 0;
};

} // namespace

QString ElideAfter(const QFontMetrics& metrics, const QString& first, const QString& rest, int width)
{
    if (metrics.horizontalAdvance(first + rest) <= width)
        return first + rest;
    const int firstWidth = metrics.horizontalAdvance(first);
    if (firstWidth >= width)
        return metrics.elidedText(first, Qt::ElideRight, width);
    return first + metrics.elidedText(rest, Qt::ElideRight, width - firstWidth);
}

StationPanel::StationPanel(StationListModel* stations, QWidget* parent)
    : QWidget(parent)
    , stations_(stations)
    , filter_(new StationFilterModel(stations, this))
    , header_(new ElidingLabel(this))
    , counts_(new ElidingLabel(this))
    , number_(new QLineEdit(this))
    , state_(new QComboBox(this))
    , view_(new StationView(filter_, this))
{
    header_->setObjectName(QStringLiteral("lblStationSystem"));
    counts_->setObjectName(QStringLiteral("lblStationCounts"));
    number_->setObjectName(QStringLiteral("edtStationFilter"));
    state_->setObjectName(QStringLiteral("cmbStationState"));
    // Long names must not widen the box: the labels give way and elide.
    for (QLabel* label : { header_, counts_ }) {
        label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        label->setTextFormat(Qt::PlainText);
    }
    QFont bold = header_->font();
    bold.setBold(true);
    header_->setFont(bold);
    number_->setMaximumWidth(130);

    number_->setPlaceholderText(tr("Filter by number"));
    number_->setClearButtonEnabled(true);
    state_->addItem(tr("All states"), StationFilterModel::kAnyState);
    for (const StateName& state : kStates)
        state_->addItem(QLatin1String(state.caption), state.index);
    // In a narrow panel the state's caption gives way before the system's name
    // and the filter's hint.
    state_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    state_->setMinimumContentsLength(4);

    // The system's name and count on a line of their own, so that the default
    // window shows them whole; the filters below.
    auto* filters = new QHBoxLayout;
    filters->setContentsMargins(0, 0, 0, 0);
    filters->setSpacing(3);
    filters->addWidget(number_, 1);
    filters->addWidget(state_, 1);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(2);
    column->addWidget(header_);
    column->addLayout(filters);
    column->addWidget(counts_);
    column->addWidget(view_, 1);

    connect(number_, &QLineEdit::textChanged, this, [this](const QString& text) {
        filter_->setNumberFilter(text.trimmed());
        showSummary();
    });
    connect(state_, &QComboBox::currentIndexChanged, this, [this] {
        filter_->setStateFilter(state_->currentData().toInt());
        showSummary();
    });
    connect(stations_, &StationListModel::summaryChanged, this, &StationPanel::showSummary);
    showSummary();
}

void StationPanel::showSummary()
{
    const bool shown = !stations_->systemAddress().isEmpty() || stations_->rowCount() > 0;
    if (!shown) {
        static_cast<ElidingLabel*>(header_)->setText(QString(), tr("No system selected"));
        header_->setToolTip(QString());
        counts_->clear();
        view_->setEmptyHint(tr("Select a system in the system list to see its stations."));
        return;
    }
    const QString name = stations_->systemName().isEmpty() ? stations_->systemAddress() : stations_->systemName();
    const int total = stations_->rowCount();
    const QString stations = total == 1 ? tr("1 station") : tr("%1 stations").arg(total);
    static_cast<ElidingLabel*>(header_)->setText(name,
        filter_->filtering() ? tr(": %1 of %2").arg(filter_->rowCount()).arg(stations)
                             : QStringLiteral(": ") + stations);
    header_->setToolTip(
        QStringLiteral("%1 (%2)\n%3").arg(stations_->systemName(), stations_->systemAddress(), header_->text()));

    QStringList parts;
    const StationListModel::Counts& counts = stations_->counts();
    for (const StateName& state : kStates) {
        const int count = counts[static_cast<std::size_t>(state.index)];
        // Unknown is only worth a word when there are some.
        if (count > 0 || state.index != 4)
            parts << QStringLiteral("%1 %2").arg(count).arg(QLatin1String(state.count));
    }
    counts_->setText(parts.join(QStringLiteral(", ")));
    QStringList names;
    for (const StateName& state : kStates)
        names << QStringLiteral("%1 %2")
                     .arg(QLatin1String(state.caption))
                     .arg(counts[static_cast<std::size_t>(state.index)]);
    counts_->setToolTip(names.join(QLatin1Char('\n')));
    view_->setEmptyHint(stations_->rowCount() == 0 ? tr("No stations registered on this system yet.")
                                                   : tr("No station matches the filter."));
}

void StationPanel::saveState(QSettings& settings, const QString& prefix) const
{
    settings.setValue(prefix + QStringLiteral("style"), static_cast<int>(view_->style()));
    const QHeaderView* heading = view_->detailView()->header();
    settings.setValue(prefix + QStringLiteral("sortColumn"), heading->sortIndicatorSection());
    settings.setValue(prefix + QStringLiteral("sortOrder"), static_cast<int>(heading->sortIndicatorOrder()));
}

void StationPanel::restoreState(QSettings& settings, const QString& prefix)
{
    const int style = settings.value(prefix + QStringLiteral("style"), 0).toInt();
    if (style >= 0 && style <= static_cast<int>(StationView::Style::Detail))
        view_->setStyle(static_cast<StationView::Style>(style));
    const int column = settings.value(prefix + QStringLiteral("sortColumn"), -1).toInt();
    const int order = settings.value(prefix + QStringLiteral("sortOrder"), 0).toInt();
    if (column >= 0 && column < StationListModel::ColumnCount)
        view_->detailView()->header()->setSortIndicator(column, order == 1 ? Qt::DescendingOrder : Qt::AscendingOrder);
}

} // namespace korvel
