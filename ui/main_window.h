// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The program's one window: the hex view of the buffer, the chip selection panel, a
// picture, the progress bar and the status line, under a menu bar and a toolbar, at a
// fixed size laid out in dialog units. It routes every command to the operations and
// shows what they report (it is their Frontend); it holds no business logic of its own.
//
// Commands run on the window thread and pump the window's events while they wait for
// the programmer, so every handler here may be entered again from inside another: the
// operations' busy guard keeps two programmer commands apart, and closing the window
// is refused while anything runs, so no poll loop is left running on a destroyed window.

#include <QMainWindow>
#include <QPointer>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "catalogue/chip_record.h"
#include "operations/frontend.h"
#include "operations/workbench.h"

class QAction;
class QComboBox;
class QGroupBox;
class QLabel;
class QMenu;
class QProgressBar;
class QPushButton;
class QScrollBar;
class QToolBar;
class QTranslator;

namespace hexview {
class HexView;
}

namespace ui {

// The command identifiers of the menus, the toolbar and the system menu.
enum CommandId : int {
    CmdDetect = 32881,
    CmdManual = 32862,
    CmdAbout = 32863,
    CmdOpen = 32884,
    CmdSave = 32885,
    CmdErase = 32886,
    CmdWrite = 32887,
    CmdVerify = 32888,
    CmdRead = 32889,
    CmdAuto = 32891,
    CmdVersion = 32893,
    CmdFill = 32894,
    CmdSwap = 32895,
    CmdUpdate = 32897,
    CmdSelfTest = 32928,
    CmdEnglish = 32933,
    CmdChinese = 32935,
    CmdSystemAbout = 16,
    // The Tools menu.
    CmdVerifyAll = 33001,
    CmdReadTwice = 33002,
    CmdBlankCheck = 33003,
    CmdIdentify = 33004,
    CmdBackupFirst = 33005,  // checkable: back the chip up before changing it
    CmdAccess = 33006,
};

class MainWindow : public QMainWindow, public operations::Frontend {
    Q_OBJECT

  public:
    explicit MainWindow(operations::Workbench& bench);
    ~MainWindow() override;

    // The start-up after the window exists: language, database, buffer, default chip,
    // programmer and the command-line file.
    operations::StartupResult start(const std::vector<std::string>& arguments);

    // Menus, toolbar labels, captions and pictures of the current language.
    void applyLanguage();
    // Chip Erase is the one command ever disabled: menu item and button together.
    void enableCommand(int command, bool enable);
    // Runs the command with this identifier, as its menu item or button does.
    void runCommand(int command);

    // Told whenever a chip is selected (the simulator's socket may follow it).
    void setChipListener(std::function<void(const catalogue::ChipRecord&)> listener) {
        chipListener_ = std::move(listener);
    }

    // For tests: the controls and models a user sees.
    QMenu* systemMenu() const { return systemMenu_; }
    QAction* commandAction(int command) const;
    QAction* toolbarAction(int command) const;
    QComboBox* typeList() const { return typeList_; }
    QComboBox* manufacturerList() const { return manufacturerList_; }
    QComboBox* chipList() const { return chipList_; }
    QLabel* statusLine() const { return status_; }
    QLabel* capacityLabel() const { return capacity_; }
    QToolBar* toolbar() const { return toolbar_; }
    QString toolTipFor(int command) const;
    hexview::HexView* hexView() const { return hexView_; }

    // Frontend
    void showStatus(const std::string& text) override;
    void showProgress(int percent) override;
    void showMessage(const std::string& text) override;
    bool askOkCancel(const std::string& text) override;
    void pumpMessage() override;
    std::optional<std::string> chooseFileToOpen(const operations::FileDialog& dialog) override;
    std::optional<std::string> chooseFileToSave(const operations::FileDialog& dialog) override;
    operations::FillRequest runFillDialog() override;
    void refreshHexView() override;
    void chipSelected(const catalogue::ChipRecord& chip, const std::string& capacityText,
                      bool eraseEnabled) override;
    void setCaptionSuffix(const std::string& suffix) override;

  protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void buildControls();
    void buildToolbar();
    void buildMenus();
    // The Tools menu, in the current language, between Language and Help.
    void buildToolsMenu();
    void runTool(int command);
    void toggleBackupFirst();
    void updateSystemMenu();
    void refreshCaption();
    void loadMainPicture();
    void switchLanguage(const char* language);
    void useQtTranslations(bool chinese);
    std::optional<std::string> chooseFile(const operations::FileDialog& dialog, bool save);
    void search();

    // The chip selection panel.
    void fillPanel(const catalogue::ChipRecord& chip);
    void onTypeChanged();
    void onManufacturerChanged();
    void onChipChanged();
    void applyChosenChip(const catalogue::ChipRecord& chip);

    operations::Workbench& bench_;
    std::function<void(const catalogue::ChipRecord&)> chipListener_;
    std::string captionSuffix_;
    bool eraseEnabled_ = false;
    // Set while the panel's lists are filled, so their change signals are not taken
    // for the user's picks, and while a pick of the user is applied.
    bool fillingPanel_ = false;

    QWidget* canvas_ = nullptr;
    QToolBar* toolbar_ = nullptr;
    std::map<int, QAction*> toolbarActions_;
    std::map<int, QAction*> menuActions_;
    std::vector<QMenu*> menus_;
    QMenu* systemMenu_ = nullptr;
    hexview::HexView* hexView_ = nullptr;
    QScrollBar* scrollBar_ = nullptr;
    QGroupBox* panel_ = nullptr;
    QPushButton* searchButton_ = nullptr;
    QLabel* typeLabel_ = nullptr;
    QLabel* manufacturerLabel_ = nullptr;
    QLabel* chipLabel_ = nullptr;
    QLabel* capacityCaption_ = nullptr;
    QComboBox* typeList_ = nullptr;
    QComboBox* manufacturerList_ = nullptr;
    QComboBox* chipList_ = nullptr;
    QLabel* capacity_ = nullptr;
    QLabel* picture_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QLabel* percent_ = nullptr;
    QLabel* status_ = nullptr;
    std::unique_ptr<QTranslator> qtTranslator_;
};

}  // namespace ui
