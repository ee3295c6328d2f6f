#pragma once

#include "relay/hub.h"

#include <QMainWindow>
#include <QPointer>

#include <memory>

class QAction;
class QGroupBox;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QScrollArea;
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
class TAboutDlg;
class TNewClientDlg;
class TOptionDlg;
class TPerformanceGraph;
class TestCommands;
class ViewRefresher;

inline constexpr char kWindowCaption[] = "Korvel Version 1.1Ah (May 30 2006)";

// The operator's window. It owns the hub and is the surface on which the
// table's views and the console log are drawn; the constructor builds the
// layout and then runs the start-up steps (FormCreate).
class TMainForm : public QMainWindow {
    Q_OBJECT

public:
    static constexpr int kStartHeight = 300;
    static constexpr int kTestPanelExtraHeight = 140;
    static constexpr int kTopPanelHeight = 220;

    explicit TMainForm(Hub::Options options = {}, QWidget* parent = nullptr);
    ~TMainForm() override;

    Hub& hub() { return *hub_; }
    // False once the save on the way out has failed to write a file.
    bool savedOnExit() const { return savedOnExit_; }
    // Where the test console puts its command buttons, above the shell's own.
    QVBoxLayout* testCommandArea() const { return testCommandArea_; }
    QRadioButton* tcpModeButton() const { return rdoTCP; }
    QRadioButton* udpModeButton() const { return rdoUDP; }
    TestCommands* testCommands() const { return testCommands_; }
    TPerformanceGraph* graph() const { return PerformanceGraph1; }
    QPlainTextEdit* console() const { return Console; }
    ConsoleMemoSink* consoleSink() const { return consoleSink_.get(); }
    SystemListModel* systemModel() const { return systemModel_; }
    StationListModel* stationModel() const { return stationModel_; }
    StationView* stationView() const { return lvStn; }
    StationPanel* stationPanel() const { return stationPanel_; }
    SystemListView* systemView() const { return lvClient; }
    ViewRefresher* viewRefresher() const { return refresher_.get(); }
    QSystemTrayIcon* trayIcon() const { return tray_; }
    QMenu* trayMenu() const { return pmmTray; }
    QString statusText() const;
    bool debugMenuVisible() const;
    bool testPanelShown() const;

    // Menu, button and timer handlers.
    void Exit1Click();
    void TerminateKorvel1Click();
    void Show1Click();
    void Timer1Timer();
    void btnConsoleClearClick();
    void Help1Click();
    void SetIPAddress1Click();
    void Button3Click();
    void btnClientOnlyModeClick();
    void AddServer1Click();
    void DeleteServerClick();
    void PingtoSystem1Click();
    void Initialize1Click();
    void ShowTestCommand1Click();
    void lvClientSelectItem(int row, bool selected);

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
    void FormCreate();
    void ShowOwnAddress();
    // Saves the table and removes the tray icon, once, however the window goes.
    void shutdownOnce();
    // Shown without blocking the event loop: the hub keeps relaying meanwhile.
    void showError(const QString& text);
    void resizeColumns();

    std::unique_ptr<Hub> hub_;
    bool shutDown_ = false;
    bool savedOnExit_ = true;
    // The byte totals at the graph's last step.
    std::uint64_t graphSent_ = 0;
    std::uint64_t graphReceived_ = 0;

    QWidget* Panel1 = nullptr;
    QScrollArea* Panel2 = nullptr;
    QSplitter* Panel3 = nullptr;
    QSplitter* Panel4 = nullptr;
    QGroupBox* GroupBox1 = nullptr;
    QGroupBox* GroupBox2 = nullptr;
    SystemListView* lvClient = nullptr;
    StationPanel* stationPanel_ = nullptr;
    StationView* lvStn = nullptr;
    TPerformanceGraph* PerformanceGraph1 = nullptr;
    QPlainTextEdit* Console = nullptr;
    QLabel* statusLabel_ = nullptr;
    QVBoxLayout* testCommandArea_ = nullptr;
    QPushButton* btnConsoleClear = nullptr;
    QPushButton* btnClientOnlyMode = nullptr;
    QPushButton* Button3 = nullptr;
    QRadioButton* rdoTCP = nullptr;
    QRadioButton* rdoUDP = nullptr;

    QMenu* DebugMenu = nullptr;
    QAction* ShowTestCommand1 = nullptr;
    QMenu* popmmServer = nullptr;
    QMenu* popmmStation = nullptr;
    QMenu* pmmTray = nullptr;
    QSystemTrayIcon* tray_ = nullptr;
    QTimer* Timer1 = nullptr;
    // The console's share of the window while it is shown, kept for the next showing.
    int topPanelHeight_ = kTopPanelHeight;
    // The window's geometry before the test panels made it taller.
    QByteArray geometryWithoutPanels_;
    bool selectingFromModel_ = false;

    TOptionDlg* OptionDlg = nullptr;
    TNewClientDlg* NewClientDlg = nullptr;
    TAboutDlg* AboutDlg = nullptr;
    TestCommands* testCommands_ = nullptr;

    SystemListModel* systemModel_ = nullptr;
    StationListModel* stationModel_ = nullptr;
    std::unique_ptr<ViewRefresher> refresher_;
    std::unique_ptr<ConsoleMemoSink> consoleSink_;
};

} // namespace korvel
