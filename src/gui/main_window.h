#pragma once

#include "base/result.h"
#include "relay/hub.h"

#include <QMainWindow>
#include <QPointer>

#include <memory>

class QAction;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QScrollArea;
class QSortFilterProxyModel;
class QSplitter;
class QSystemTrayIcon;
class QTimer;
class QVBoxLayout;
class QWidget;

namespace korvel {

class ConsoleMemoSink;
class StationListModel;
class StationPanel;
class StationView;
class SystemListModel;
class SystemListView;
class AboutDialog;
class NewClientDialog;
class OptionDialog;
class PerformanceGraph;
class TestCommands;
class Service;
class ViewRefresher;

// The operator's window over the service, which owns the hub: the surface on
// which the table's views and the console log are drawn, and from which the
// operator's commands go to the service. The constructor builds the layout;
// start() starts the service.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    static constexpr int kStartHeight = 300;
    static constexpr int kTestPanelExtraHeight = 140;
    static constexpr int kTopPanelHeight = 220;

    explicit MainWindow(Service& service, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Starts the service (its failure is said by the service; the caller
    // ends the program) and shows the hub's own address.
    Result<void> start();

    Service& service() { return service_; }
    Hub& hub() { return *hub_; }
    // False once the save on the way out has failed to write a file.
    bool savedOnExit() const { return savedOnExit_; }
    // Where the test console puts its command buttons, above the shell's own.
    QVBoxLayout* testCommandArea() const { return testCommandArea_; }
    QRadioButton* tcpModeButton() const { return tcpModeButton_; }
    QRadioButton* udpModeButton() const { return udpModeButton_; }
    TestCommands* testCommands() const { return testCommands_; }
    PerformanceGraph* graph() const { return graph_; }
    QPlainTextEdit* console() const { return console_; }
    ConsoleMemoSink* consoleSink() const { return consoleSink_.get(); }
    SystemListModel* systemModel() const { return systemModel_; }
    StationListModel* stationModel() const { return stationModel_; }
    StationView* stationView() const { return stationView_; }
    StationPanel* stationPanel() const { return stationPanel_; }
    SystemListView* systemView() const { return systemView_; }
    // The system list as shown: sorted by the chosen column, only what the search finds.
    QSortFilterProxyModel* systemOrder() const { return systemOrder_; }
    QLineEdit* systemSearch() const { return systemSearch_; }
    ViewRefresher* viewRefresher() const { return refresher_.get(); }
    QSystemTrayIcon* trayIcon() const { return tray_; }
    QMenu* trayMenu() const { return trayMenu_; }
    QString statusText() const;
    bool debugMenuVisible() const;
    bool testPanelShown() const;

    // Menu, button and timer handlers.
    void exitProgram();
    void terminateFromTray();
    void showFromTray();
    void stepGraph();
    void clearConsole();
    void showAbout();
    void editOptions();
    void setAnotherPort();
    void enterClientOnlyMode();
    void addSystem();
    void deleteSelectedSystem();
    void pingSelectedSystem();
    void initializeTable();
    void toggleTestCommands();
    void systemRowSelected(int row, bool selected);

    // Where the window's sizes and the station view's style are kept between
    // runs; tests point QSettings elsewhere.
    static constexpr char kSettingsOrganization[] = "Korvel";
    static constexpr char kSettingsApplication[] = "korvel-window";

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildLayout();
    QWidget* buildTestPanel(QWidget* parent);
    QWidget* buildSystemList(QWidget* parent);
    QWidget* buildStationList(QWidget* parent);
    QWidget* buildConsole(QWidget* parent);
    void buildStatusBar();
    // Names the graph's colours in its legend.
    void labelGraph();
    void attachToHub();
    void buildMenus();
    void buildPopupMenus();
    void createTrayIcon();
    void restoreSettings();
    void saveSettings() const;
    // Keeps the selected system highlighted when the list is rebuilt.
    void highlightSelectedSystem();
    // Recomputes the window's minimum size from the panels shown now.
    void settleLayouts();
    void splitForConsole();
    // Moves (and if need be shortens) the window so that all of it is on its screen.
    void keepOnScreen();
    void startUp();
    void showOwnAddress();
    // Saves the table and removes the tray icon, once, however the window goes.
    void shutdownOnce();
    // Shown without blocking the event loop: the hub keeps relaying meanwhile.
    void showError(const QString& text);
    void resizeColumns();

    Service& service_;
    Hub* hub_;
    bool shutDown_ = false;
    bool savedOnExit_ = true;
    // The byte totals at the graph's last step.
    std::uint64_t graphSent_ = 0;
    std::uint64_t graphReceived_ = 0;
    std::uint64_t graphPackets_ = 0;

    QWidget* consolePanel_ = nullptr;
    QScrollArea* testPanel_ = nullptr;
    QSplitter* listSplitter_ = nullptr;
    QSplitter* consoleSplitter_ = nullptr;
    QGroupBox* systemBox_ = nullptr;
    QGroupBox* stationBox_ = nullptr;
    SystemListView* systemView_ = nullptr;
    QLineEdit* systemSearch_ = nullptr;
    QSortFilterProxyModel* systemOrder_ = nullptr;
    StationPanel* stationPanel_ = nullptr;
    StationView* stationView_ = nullptr;
    PerformanceGraph* graph_ = nullptr;
    QPlainTextEdit* console_ = nullptr;
    QLabel* statusLabel_ = nullptr;
    QVBoxLayout* testCommandArea_ = nullptr;
    QPushButton* clearConsoleButton_ = nullptr;
    QPushButton* clientOnlyButton_ = nullptr;
    QPushButton* anotherPortButton_ = nullptr;
    QRadioButton* tcpModeButton_ = nullptr;
    QRadioButton* udpModeButton_ = nullptr;

    QMenu* debugMenu_ = nullptr;
    QAction* showTestCommand_ = nullptr;
    QMenu* systemMenu_ = nullptr;
    QMenu* stationMenu_ = nullptr;
    QMenu* trayMenu_ = nullptr;
    QSystemTrayIcon* tray_ = nullptr;
    QTimer* graphTimer_ = nullptr;
    // The console's share of the window while it is shown, kept for the next showing.
    int topPanelHeight_ = kTopPanelHeight;
    // The window's geometry before the test panels made it taller.
    QByteArray geometryWithoutPanels_;
    bool selectingFromModel_ = false;

    OptionDialog* optionDialog_ = nullptr;
    NewClientDialog* newClientDialog_ = nullptr;
    AboutDialog* aboutDialog_ = nullptr;
    TestCommands* testCommands_ = nullptr;

    SystemListModel* systemModel_ = nullptr;
    StationListModel* stationModel_ = nullptr;
    std::unique_ptr<ViewRefresher> refresher_;
    std::unique_ptr<ConsoleMemoSink> consoleSink_;
};

} // namespace korvel
