// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/main_window.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QGroupBox>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QLibraryInfo>
#include <QMenu>
#include <QMenuBar>
#include <QPixmap>
#include <QProgressBar>
#include <QProxyStyle>
#include <QPushButton>
#include <QScrollBar>
#include <QToolBar>
#include <QToolButton>
#include <QToolTip>
#include <QTranslator>
#include <algorithm>
#include <array>
#include <string_view>

#include "app/messages.h"
#include "app/tool_messages.h"
#include "catalogue/chip_queries.h"
#include "hexview/hex_view.h"
#include "operations/commands.h"
#include "operations/frame.h"
#include "sim/sim_bus.h"
#include "ui/about_dialog.h"
#include "ui/access_dialog.h"
#include "ui/artwork.h"
#include "ui/bench_tools.h"
#include "ui/buffer_fill_dialog.h"
#include "ui/chip_search_dialog.h"
#include "ui/dialog_units.h"
#include "ui/message_box.h"
#include "ui/user_manual.h"
#include "util/text_codec.h"

namespace ui {
namespace {

// The window's size in dialog units; the toolbar takes the top of it, above the
// controls, which begin at y = 38.
constexpr int kWindowWidthUnits = 565;
constexpr int kWindowHeightUnits = 348;
constexpr int kToolbarHeightUnits = 38;
constexpr int kToolbarIconPixels = 38;
constexpr int kTextPixels = 12;
constexpr int kToolbarLabelPixels = 11;
// Rows an open chip list shows before it scrolls.
constexpr int kListRows = 10;
// The percentage label shows this until the first progress report.
constexpr const char* kPercentTemplate = "100%";

QString qt(const std::string& utf8) {
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

std::string utf8(const QString& text) {
    return text.toUtf8().toStdString();
}

bool english() {
    return app::currentLanguage() == app::kLanguageEnglish;
}

// The toolbar in its groups; 0 is a separator. Each button's tooltip is the message of
// its command, fetched when the tooltip shows.
struct ToolbarButton {
    int command;
    int tooltipKey;
};
constexpr std::array<ToolbarButton, 18> kToolbar = {{
    {CmdOpen, app::MsgOpenFile},
    {CmdSave, app::MsgSaveFile},
    {0, 0},
    {CmdFill, app::MsgBufferFill},
    {CmdSwap, app::MsgByteSwap},
    {0, 0},
    {CmdAuto, app::MsgAuto},
    {CmdErase, app::MsgEraseChip},
    {CmdWrite, app::MsgWriteChip},
    {CmdRead, app::MsgReadChip},
    {CmdVerify, app::MsgVerifyChip},
    {CmdDetect, app::MsgDetectChip},
    {0, 0},
    {CmdVersion, app::MsgReadFirmwareVersion},
    {CmdUpdate, app::MsgUpdateFirmware},
    {0, 0},
    {CmdManual, app::MsgUserManual},
    {CmdAbout, app::MsgAbout},
}};

// The menus, with the exact texts of each language; command 0 is a separator.
struct MenuItem {
    const char* chinese;
    const char* english;
    int command;
};
struct Menu {
    const char* chinese;
    const char* english;
    std::vector<MenuItem> items;
};

const std::vector<Menu>& menus() {
    static const std::vector<Menu> table = {
        {"文件(F)",
         "File(F)",
         {{"打开文件(&O)", "Open(&O)", CmdOpen}, {"保存文件(&S)", "Save(&S)", CmdSave}}},
        {"缓冲区(&B)",
         "Edit(&E)",
         {{"填充缓冲区(&F)", "Buffer Fill(&F)", CmdFill},
          {"高低字节交换(&S)", "Byte Swap(&S)", CmdSwap}}},
        {"编程器(&E)",
         "Programmer(&P)",
         {{"自动完成(&A)", "Auto(&A)", CmdAuto},
          {"擦除芯片(&E)", "Chip Erase(&E)", CmdErase},
          {"写芯片(&W)", "Write Chip(&W)", CmdWrite},
          {"读芯片(&R)", "Read Chip(&R)", CmdRead},
          {"校验芯片(&V)", "Verify Chip(&V)", CmdVerify},
          {"检测芯片型号(&T)", "Detect Chip(&T)", CmdDetect},
          {nullptr, nullptr, 0},
          {"编程器自检(&C)", "Self Test(&C)", CmdSelfTest}}},
        {"固件(&W)",
         "Firmware(&W)",
         {{"读固件版本(&V)", "Read Firmware Version(&V)", CmdVersion},
          {"固件升级(&U)", "Updata Firmware(&U)", CmdUpdate}}},
        {"语言(Language)(&L)",
         "Language(&L)",
         {{"English(&E)", "English(&E)", CmdEnglish},
          {"中文简体(&C)", "中文简体(&C)", CmdChinese}}},
        {"帮助(&H)",
         "Help(&H)",
         {{"用户手册(&U)", "User Manual(&U)", CmdManual}, {"关于(&A)", "About(&A)", CmdAbout}}},
    };
    return table;
}

// The chip lists open as a scrolling list of their own rows, not as the style's popup
// menu. A style hint answered here costs nothing at start-up, where a style sheet on
// each list cost milliseconds; everything else is left to the application's style.
class ListPopupStyle : public QProxyStyle {
  public:
    ListPopupStyle() : QProxyStyle(QApplication::style()->name()) {}
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returned) const override {
        if (hint == SH_ComboBox_Popup)
            return 0;
        return QProxyStyle::styleHint(hint, option, widget, returned);
    }
};

// One for all windows; the application owns it, so it outlives every list using it.
QStyle* listPopupStyle() {
    static QPointer<QStyle> style;
    if (!style) {
        style = new ListPopupStyle;
        style->setParent(qApp);
    }
    return style;
}

// A chip list takes its popup style when it first opens: a change of style makes a list
// build its popup at once, which start-up would do for every list before the first paint.
// Closed, a list draws the same in either style.
class ChipList : public QComboBox {
  public:
    explicit ChipList(QWidget* parent) : QComboBox(parent) {}
    void showPopup() override {
        if (style() != listPopupStyle())
            setStyle(listPopupStyle());
        QComboBox::showPopup();
    }
};

// A combo box's entries stay sorted without regard to case, as the platform's sorted
// lists keep them, equal ones in the order given. The list is filled in one go: one
// insertion, not one (and its signals) per entry.
void fillSorted(QComboBox* list, QStringList entries) {
    std::stable_sort(entries.begin(), entries.end(), [](const QString& a, const QString& b) {
        return QString::compare(a, b, Qt::CaseInsensitive) < 0;
    });
    list->addItems(entries);
}

QStringList manufacturerTexts(const catalogue::ChipDatabase& database, int type) {
    QStringList texts;
    for (const std::string& maker : catalogue::manufacturersOfType(database, type))
        texts.append(qt(util::gbkToUtf8(maker)));
    return texts;
}

QStringList chipNames(const catalogue::ChipDatabase& database, std::string_view maker, int type) {
    QStringList names;
    for (const catalogue::ChipRecord& c :
         catalogue::findByManufacturerAndType(database, maker, type))
        names.append(qt(c.nameText()));
    return names;
}

void selectText(QComboBox* list, const QString& text) {
    list->setCurrentIndex(list->count() > 0 ? 0 : -1);
    const int at = list->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (at >= 0)
        list->setCurrentIndex(at);
}

// Qt reads a file dialog's patterns from the last parentheses of a filter's text.
QString nameFilter(const operations::FileFilter& filter) {
    QString description = qt(filter.description);
    const qsizetype open = description.indexOf(u'(');
    if (open >= 0)
        description.truncate(open);
    return description + u'(' + qt(filter.pattern) + u')';
}

}  // namespace

MainWindow::MainWindow(operations::Workbench& bench) : bench_(bench) {
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setWindowIcon(applicationIcon());
    buildControls();
    buildToolbar();
    systemMenu_ = new QMenu(this);
    bench_.link.setPipeFailureHandler([this](const std::string& text) { showMessage(text); });
}

MainWindow::~MainWindow() {
    bench_.link.setPipeFailureHandler({});
}

void MainWindow::buildControls() {
    canvas_ = new QWidget(this);
    canvas_->setFixedSize(pixels(kWindowWidthUnits), pixels(kWindowHeightUnits));
    // The layout's units are those of 9-point text: at 96 dots per inch, 12 pixels. A
    // size in pixels keeps the labels inside their places at any DPI setting.
    QFont text = canvas_->font();
    text.setPixelSize(kTextPixels);
    canvas_->setFont(text);
    setCentralWidget(canvas_);

    hexView_ = new hexview::HexView(canvas_);
    hexView_->setGeometry(unitRect(155, 38, 391, 275));
    scrollBar_ = new QScrollBar(Qt::Vertical, canvas_);
    scrollBar_->setGeometry(unitRect(545, 38, 12, 275));
    scrollBar_->setFocusPolicy(Qt::NoFocus);
    hexView_->setScrollBar(scrollBar_);
    connect(hexView_, &hexview::HexView::bytesEdited, this, [this] {
        if (bench_.buffer)
            bench_.buffer->noteChanged();
    });

    panel_ = new QGroupBox(canvas_);
    panel_->setGeometry(unitRect(7, 38, 142, 113));
    panel_->setFocusPolicy(Qt::NoFocus);
    auto label = [this](int x, int y, int w, int h) {
        auto* l = new QLabel(canvas_);
        l->setGeometry(unitRect(x, y, w, h));
        l->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        return l;
    };
    // Drop-down lists take only the height of their closed field. Open, they show ten
    // rows and scroll: the style's own popup would run the list of a large maker down
    // the whole screen, as it ignores the row limit.
    auto list = [this](int x, int y, int w) {
        auto* c = new ChipList(canvas_);
        c->setGeometry(pixels(x), pixels(y), pixels(w), pixels(14));
        c->setFocusPolicy(Qt::StrongFocus);
        c->setMaxVisibleItems(kListRows);
        return c;
    };
    searchButton_ = new QPushButton(canvas_);
    // Inside the panel's frame, below the line its title stands on: at 47 units the
    // button's top edge crossed that line.
    searchButton_->setGeometry(unitRect(83, 52, 58, 16));
    searchButton_->setFocusPolicy(Qt::StrongFocus);
    // The three captions reach to their lists: "Manu:" and "Chip:" in today's sans-serif
    // fonts are wider than the 20 units a narrower font once needed, and "Capacity:"
    // wider than 36.
    typeLabel_ = label(12, 69, 25, 13);
    typeList_ = list(37, 69, 104);
    manufacturerLabel_ = label(12, 92, 25, 11);
    manufacturerList_ = list(37, 89, 104);
    chipLabel_ = label(12, 109, 25, 13);
    chipList_ = list(37, 109, 104);
    capacityCaption_ = label(12, 131, 38, 8);
    capacity_ = label(50, 131, 79, 8);

    picture_ = new QLabel(canvas_);
    picture_->setGeometry(unitRect(7, 161, 142, 99));
    picture_->setAlignment(Qt::AlignCenter);
    picture_->setPixmap(builtInPicture());

    progress_ = new QProgressBar(canvas_);
    // The percentage takes "100%" whole; the bar gives it the room.
    progress_->setGeometry(unitRect(7, 297, 119, 16));
    progress_->setRange(0, 100);
    progress_->setValue(0);
    progress_->setTextVisible(false);
    percent_ = new QLabel(QString::fromLatin1(kPercentTemplate), canvas_);
    percent_->setGeometry(unitRect(126, 297, 23, 16));
    percent_->setAlignment(Qt::AlignCenter);
    status_ = label(10, 324, 551, 12);

    // Only the three lists and the search button take the focus by Tab, in this order.
    setTabOrder(searchButton_, typeList_);
    setTabOrder(typeList_, manufacturerList_);
    setTabOrder(manufacturerList_, chipList_);

    connect(searchButton_, &QPushButton::clicked, this, [this] { search(); });
    connect(typeList_, &QComboBox::currentIndexChanged, this, [this] { onTypeChanged(); });
    connect(manufacturerList_, &QComboBox::currentIndexChanged, this,
            [this] { onManufacturerChanged(); });
    connect(chipList_, &QComboBox::currentIndexChanged, this, [this] { onChipChanged(); });
}

void MainWindow::buildToolbar() {
    toolbar_ = new QToolBar(canvas_);
    toolbar_->setGeometry(0, 0, pixels(kWindowWidthUnits), pixels(kToolbarHeightUnits));
    toolbar_->setMovable(false);
    toolbar_->setFloatable(false);
    toolbar_->setIconSize(QSize(kToolbarIconPixels, kToolbarIconPixels));
    toolbar_->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    // The picture and its label under it fill the toolbar's height: no room for padding.
    QFont labels = toolbar_->font();
    labels.setPixelSize(kToolbarLabelPixels);
    toolbar_->setFont(labels);
    toolbar_->setStyleSheet(QStringLiteral("QToolButton { padding: 0px; margin: 0px; }"));
    toolbar_->setContentsMargins(0, 0, 0, 0);
    toolbar_->layout()->setContentsMargins(0, 0, 0, 0);
    toolbar_->layout()->setSpacing(0);
    for (const ToolbarButton& button : kToolbar) {
        if (button.command == 0) {
            toolbar_->addSeparator();
            continue;
        }
        QAction* action = toolbar_->addAction(toolbarIcon(button.command), QString());
        const int command = button.command;
        connect(action, &QAction::triggered, this, [this, command] { runCommand(command); });
        toolbarActions_[command] = action;
        if (QWidget* widget = toolbar_->widgetForAction(action)) {
            widget->setProperty("command", command);
            widget->installEventFilter(this);
            widget->setFocusPolicy(Qt::NoFocus);
        }
    }
}

QString MainWindow::toolTipFor(int command) const {
    for (const ToolbarButton& button : kToolbar) {
        if (button.command == command && command != 0)
            return qt(app::messageText(button.tooltipKey));
    }
    return {};
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    // A button's tooltip is its command's message, fetched each time it shows, so it
    // follows a language switch at once.
    if (event->type() == QEvent::ToolTip) {
        const QVariant command = watched->property("command");
        if (command.isValid()) {
            QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(),
                               toolTipFor(command.toInt()), qobject_cast<QWidget*>(watched));
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::buildMenus() {
    // The menus of the other language go, but only once control is back in the event
    // loop: a language switch may come from a command's message pump while that command
    // still runs inside the triggered signal of one of their actions.
    for (QMenu* old : menus_) {
        menuBar()->removeAction(old->menuAction());
        old->deleteLater();
    }
    menus_.clear();
    menuActions_.clear();
    const bool inEnglish = english();
    for (const Menu& menu : menus()) {
        QMenu* m = menuBar()->addMenu(QString::fromUtf8(inEnglish ? menu.english : menu.chinese));
        menus_.push_back(m);
        for (const MenuItem& item : menu.items) {
            if (item.command == 0) {
                m->addSeparator();
                continue;
            }
            QAction* action =
                m->addAction(QString::fromUtf8(inEnglish ? item.english : item.chinese));
            const int command = item.command;
            connect(action, &QAction::triggered, this, [this, command] { runCommand(command); });
            menuActions_[command] = action;
        }
    }
    buildToolsMenu();
    // The language of the menu is checked.
    menuActions_[CmdEnglish]->setCheckable(true);
    menuActions_[CmdChinese]->setCheckable(true);
    menuActions_[CmdEnglish]->setChecked(inEnglish);
    menuActions_[CmdChinese]->setChecked(!inEnglish);
}

void MainWindow::buildToolsMenu() {
    static constexpr std::array<std::pair<int, app::ToolText>, 5> kItems = {{
        {CmdVerifyAll, app::TxtVerifyAllItem},
        {CmdReadTwice, app::TxtReadTwiceItem},
        {CmdBlankCheck, app::TxtBlankCheckItem},
        {CmdIdentify, app::TxtIdentifyItem},
        {CmdAccess, app::TxtAccessItem},
    }};
    // Help is the last menu built; Tools goes in front of it.
    auto* tools = new QMenu(qt(app::toolText(app::TxtToolsMenu)), menuBar());
    menuBar()->insertMenu(menus_.back()->menuAction(), tools);
    menus_.push_back(tools);
    for (const auto& [command, key] : kItems) {
        QAction* action = tools->addAction(qt(app::toolText(key)));
        connect(action, &QAction::triggered, this, [this, c = command] { runCommand(c); });
        menuActions_[command] = action;
    }
    tools->addSeparator();
    QAction* backup = tools->addAction(qt(app::toolText(app::TxtBackupItem)));
    backup->setCheckable(true);
    backup->setChecked(app::backupBeforeChanges());
    backup->setToolTip(qt(app::toolText(app::TxtBackupFolderTip)).arg(qt(app::backupFolder())));
    tools->setToolTipsVisible(true);
    connect(backup, &QAction::triggered, this, [this] { runCommand(CmdBackupFirst); });
    menuActions_[CmdBackupFirst] = backup;
}

void MainWindow::toggleBackupFirst() {
    // Triggered, the item has already flipped its mark; the mark follows the setting,
    // so a call from elsewhere flips both.
    const bool on = !app::backupBeforeChanges();
    app::setBackupBeforeChanges(on);
    menuActions_[CmdBackupFirst]->setChecked(on);
}

void MainWindow::runTool(int command) {
    // Without the chip database there is no buffer and no chip to check.
    if (!bench_.ready())
        return;
    switch (command) {
        case CmdVerifyAll:
            verifyAllDifferences(bench_, *this);
            break;
        case CmdReadTwice:
            readTwiceAndCompare(bench_, *this);
            break;
        case CmdBlankCheck:
            blankCheck(bench_, *this);
            break;
        case CmdIdentify:
            identifyChip(bench_, *this);
            break;
        default:
            break;
    }
}

void MainWindow::updateSystemMenu() {
    // One separator and one About item, whatever the number of switches.
    QAction* about = nullptr;
    for (QAction* action : systemMenu_->actions()) {
        if (action->data().toInt() == CmdSystemAbout)
            about = action;
    }
    if (about) {
        systemMenu_->removeAction(about);
        about->deleteLater();
    } else {
        systemMenu_->addSeparator();
    }
    QAction* item = systemMenu_->addAction(qt(app::messageText(app::MsgAboutMenuItem)));
    item->setData(CmdSystemAbout);
    connect(item, &QAction::triggered, this, [this] { runCommand(CmdSystemAbout); });
}

QAction* MainWindow::commandAction(int command) const {
    const auto it = menuActions_.find(command);
    return it == menuActions_.end() ? nullptr : it->second;
}

QAction* MainWindow::toolbarAction(int command) const {
    const auto it = toolbarActions_.find(command);
    return it == toolbarActions_.end() ? nullptr : it->second;
}

void MainWindow::refreshCaption() {
    setWindowTitle(qt(app::messageText(app::MsgCaption) + captionSuffix_));
}

void MainWindow::loadMainPicture() {
    // A file that does not load leaves the picture shown before.
    QPixmap loaded;
    if (loaded.load(qt(app::messageText(app::MsgMainPictureFile))))
        picture_->setPixmap(loaded);
}

void MainWindow::useQtTranslations(bool chinese) {
    // Qt's own texts (standard buttons, the file dialog) follow the interface language.
    // Without Qt's translations installed they stay English, as before.
    if (qtTranslator_) {
        QCoreApplication::removeTranslator(qtTranslator_.get());
        qtTranslator_.reset();
    }
    if (!chinese)
        return;
    auto translator = std::make_unique<QTranslator>();
    if (translator->load(QStringLiteral("qtbase_zh_CN"),
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath)) &&
        QCoreApplication::installTranslator(translator.get())) {
        qtTranslator_ = std::move(translator);
    }
}

void MainWindow::applyLanguage() {
    // The window's icon is the same in both languages: the constructor set it.
    useQtTranslations(app::currentLanguage() == app::kLanguageChinese);
    refreshCaption();
    loadMainPicture();
    buildMenus();
    const bool inEnglish = english();
    for (const auto& [command, action] : toolbarActions_)
        action->setText(toolbarLabel(command, inEnglish));
    updateSystemMenu();
    enableCommand(CmdErase, eraseEnabled_);
    panel_->setTitle(qt(app::messageText(app::MsgSelectChip)));
    typeLabel_->setText(qt(app::messageText(app::MsgPanelType)));
    manufacturerLabel_->setText(qt(app::messageText(app::MsgPanelManufacturer)));
    chipLabel_->setText(qt(app::messageText(app::MsgPanelChip)));
    capacityCaption_->setText(qt(app::messageText(app::MsgPanelCapacity)));
    searchButton_->setText(qt(app::messageText(app::MsgPanelSearch)));
}

void MainWindow::enableCommand(int command, bool enable) {
    if (command == CmdErase)
        eraseEnabled_ = enable;
    if (QAction* action = commandAction(command))
        action->setEnabled(enable);
    if (QAction* action = toolbarAction(command))
        action->setEnabled(enable);
}

operations::StartupResult MainWindow::start(const std::vector<std::string>& arguments) {
    applyLanguage();
    setFixedSize(sizeHint());
    const operations::StartupResult result = operations::startUp(bench_, *this, arguments);
    return result;
}

void MainWindow::switchLanguage(const char* language) {
    app::setLanguage(language);
    applyLanguage();
    operations::Frame frame(bench_, *this);
    frame.showInfo(app::messageText(app::MsgLanguageSet));
}

void MainWindow::runCommand(int command) {
    operations::Workbench& b = bench_;
    switch (command) {
        case CmdOpen:
            operations::openFile(b, *this);
            break;
        case CmdSave:
            operations::saveFile(b, *this);
            break;
        case CmdFill:
            operations::fillBuffer(b, *this);
            break;
        case CmdSwap:
            operations::swapBytes(b, *this);
            break;
        case CmdAuto:
            if (backedUpIfAsked(b, *this, true))
                operations::autoProgram(b, *this);
            break;
        case CmdErase:
            if (backedUpIfAsked(b, *this, b.chip.type == catalogue::SpiFlash))
                operations::eraseChip(b, *this);
            break;
        case CmdWrite:
            if (backedUpIfAsked(b, *this, true))
                operations::writeChip(b, *this);
            break;
        case CmdBackupFirst:
            toggleBackupFirst();
            break;
        case CmdAccess:
            // Over the simulator (--simulate) the bus's findings concern real programmers only.
            showProgrammerAccess(this, b.link.openPath(),
                                 dynamic_cast<sim::SimBus*>(&b.finder.bus()) != nullptr);
            break;
        case CmdRead:
            operations::readChip(b, *this);
            break;
        case CmdVerify:
            operations::verifyChip(b, *this);
            break;
        case CmdDetect:
            operations::detectChip(b, *this);
            break;
        case CmdSelfTest:
            operations::selfTest(b, *this);
            break;
        case CmdVersion:
            operations::readFirmwareVersion(b, *this);
            break;
        case CmdUpdate:
            operations::updateFirmware(b, *this);
            break;
        case CmdEnglish:
            switchLanguage(app::kLanguageEnglish);
            break;
        case CmdChinese:
            switchLanguage(app::kLanguageChinese);
            break;
        case CmdManual:
            openUserManual(this, [this](const std::string& line) { bench_.log.write(line); });
            break;
        case CmdAbout:
        case CmdSystemAbout: {
            AboutDialog about(this);
            about.exec();
            break;
        }
        default:
            runTool(command);
            break;
    }
}

void MainWindow::search() {
    if (!bench_.ready())
        return;
    bench_.log.write(app::messageText(app::MsgSearchChip));
    ChipSearchDialog dialog(*bench_.database, this);
    if (dialog.exec() != QDialog::Accepted) {
        bench_.log.write(app::messageText(app::MsgSearchChipCancel));
        return;
    }
    catalogue::ChipRecord found;
    if (catalogue::findByName(*bench_.database, dialog.chosenName(), found))
        operations::selectChip(bench_, *this, found);
}

void MainWindow::fillPanel(const catalogue::ChipRecord& chip) {
    fillingPanel_ = true;
    typeList_->clear();
    manufacturerList_->clear();
    chipList_->clear();
    QStringList types;
    for (int type = catalogue::SpiFlash; type <= catalogue::Eeprom93; ++type)
        types.append(qt(catalogue::typeText(type)));
    fillSorted(typeList_, types);
    selectText(typeList_, qt(catalogue::typeText(chip.type)));
    fillSorted(manufacturerList_, manufacturerTexts(*bench_.database, chip.type));
    selectText(manufacturerList_, qt(chip.manufacturerText()));
    fillSorted(chipList_, chipNames(*bench_.database, chip.manufacturerBytes(), chip.type));
    selectText(chipList_, qt(chip.nameText()));
    fillingPanel_ = false;
}

void MainWindow::onTypeChanged() {
    if (fillingPanel_ || !bench_.ready())
        return;
    const int type = catalogue::typeFromText(utf8(typeList_->currentText()));
    if (type == bench_.chip.type)
        return;
    fillingPanel_ = true;
    manufacturerList_->clear();
    fillSorted(manufacturerList_, manufacturerTexts(*bench_.database, type));
    manufacturerList_->setCurrentIndex(manufacturerList_->count() > 0 ? 0 : -1);
    chipList_->clear();
    fillSorted(chipList_, chipNames(*bench_.database,
                                    util::utf8ToGbk(utf8(manufacturerList_->currentText())), type));
    chipList_->setCurrentIndex(chipList_->count() > 0 ? 0 : -1);
    fillingPanel_ = false;
    onChipChanged();
}

void MainWindow::onManufacturerChanged() {
    if (fillingPanel_ || !bench_.ready())
        return;
    const std::string maker = util::utf8ToGbk(utf8(manufacturerList_->currentText()));
    if (maker == bench_.chip.manufacturerBytes())
        return;
    fillingPanel_ = true;
    chipList_->clear();
    fillSorted(chipList_, chipNames(*bench_.database, maker, bench_.chip.type));
    chipList_->setCurrentIndex(chipList_->count() > 0 ? 0 : -1);
    fillingPanel_ = false;
    onChipChanged();
}

void MainWindow::onChipChanged() {
    if (fillingPanel_ || !bench_.ready())
        return;
    const std::string name = util::utf8ToGbk(utf8(chipList_->currentText()));
    catalogue::ChipRecord chip = bench_.chip;
    if (name != chip.nameBytes() && !catalogue::findByName(*bench_.database, name, chip)) {
        // An empty list (a type without chips) names no chip: the selection stays.
        showMessage(app::messageText(app::MsgDatabaseError));
        return;
    }
    applyChosenChip(chip);
}

void MainWindow::applyChosenChip(const catalogue::ChipRecord& chip) {
    // The lists already show the user's pick: applying it must not refill them.
    fillingPanel_ = true;
    operations::selectChip(bench_, *this, chip);
    fillingPanel_ = false;
}

// Frontend ---------------------------------------------------------------------------

void MainWindow::showStatus(const std::string& text) {
    status_->setText(qt(text));
}

void MainWindow::showProgress(int percent) {
    progress_->setValue(percent);
    percent_->setText(QString::asprintf("%d%%", percent));
}

void MainWindow::showMessage(const std::string& text) {
    showMessageBox(this, text);
}

bool MainWindow::askOkCancel(const std::string& text) {
    return askOkCancelBox(this, text);
}

void MainWindow::pumpMessage() {
    // Everything pending is handled, not just one event: the commands only need the
    // window to stay alive and to take other commands, which the busy guard refuses.
    QApplication::processEvents();
}

std::optional<std::string> MainWindow::chooseFile(const operations::FileDialog& dialog, bool save) {
    QFileDialog chooser(this);
    chooser.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    chooser.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    QStringList filters;
    for (const operations::FileFilter& f : dialog.filters)
        filters << nameFilter(f);
    chooser.setNameFilters(filters);
    chooser.setDefaultSuffix(qt(dialog.defaultExtension));
    chooser.setOption(QFileDialog::DontConfirmOverwrite, !dialog.confirmOverwrite);
    if (chooser.exec() != QDialog::Accepted || chooser.selectedFiles().isEmpty())
        return std::nullopt;
    return utf8(chooser.selectedFiles().front());
}

std::optional<std::string> MainWindow::chooseFileToOpen(const operations::FileDialog& dialog) {
    return chooseFile(dialog, false);
}

std::optional<std::string> MainWindow::chooseFileToSave(const operations::FileDialog& dialog) {
    return chooseFile(dialog, true);
}

operations::FillRequest MainWindow::runFillDialog() {
    BufferFillDialog dialog(this);
    dialog.exec();
    return dialog.request();
}

void MainWindow::refreshHexView() {
    hexView_->refresh();
}

void MainWindow::chipSelected(const catalogue::ChipRecord& chip, const std::string& capacityText,
                              bool eraseEnabled) {
    if (!fillingPanel_)
        fillPanel(chip);
    if (bench_.buffer) {
        hexView_->setData(bench_.buffer->image(), bench_.buffer->changedMap(),
                          bench_.buffer->dataLength());
    }
    capacity_->setText(qt(capacityText));
    enableCommand(CmdErase, eraseEnabled);
    if (chipListener_)
        chipListener_(chip);
}

void MainWindow::setCaptionSuffix(const std::string& suffix) {
    captionSuffix_ = suffix;
    refreshCaption();
}

// Window behaviour -------------------------------------------------------------------

void MainWindow::closeEvent(QCloseEvent* event) {
    // A command still running would go on polling a destroyed window.
    if (bench_.busy()) {
        event->ignore();
        showMessage(app::messageText(app::MsgProgrammerBusy));
        return;
    }
    // Edits, a fill, a swap or a chip read that took minutes go with the program: one
    // stray key must not drop them unasked.
    if (bench_.buffer && bench_.buffer->hasUnsavedChanges() &&
        !askOkCancel(app::addedMessageText(app::MsgDiscardUnsavedBuffer))) {
        event->ignore();
        return;
    }
    event->accept();
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
    // Escape, and Enter where the focused control does not take it, end the program as
    // they end a dialog. A focused button takes Enter as a click, as in a dialog: outside
    // one, Qt's push button passes the key on.
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            if (auto* button = qobject_cast<QAbstractButton*>(focusWidget())) {
                button->click();
                return;
            }
            close();
            return;
        case Qt::Key_Escape:
            close();
            return;
        default:
            QMainWindow::keyPressEvent(event);
    }
}

void MainWindow::contextMenuEvent(QContextMenuEvent* event) {
    // The window manager's title-bar menu is out of reach: the window's own system menu
    // opens on a right click on the window background.
    systemMenu_->exec(event->globalPos());
}

}  // namespace ui
