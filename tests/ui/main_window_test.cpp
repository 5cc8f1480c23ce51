// SPDX-License-Identifier: GPL-3.0-or-later
// The real window on Qt's off-screen platform over the simulated programmer: languages,
// the system menu, Chip Erase's enabling, tooltips, the chip panel, a start without the
// chip database, closing while a command runs, and one whole session.

#include "ui/main_window.h"

#include <gtest/gtest.h>
#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLibraryInfo>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QStyle>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "app/config.h"
#include "app/messages.h"
#include "catalogue/chip_database.h"
#include "hexview/hex_view.h"
#include "sim/sim_bus.h"
#include "sim/sim_programmer.h"
#include "tests/support/chip_test_support.h"
#include "tests/support/temp_dir.h"
#include "tests/ui/ui_test_support.h"
#include "ui/about_dialog.h"
#include "ui/access_dialog.h"
#include "ui/buffer_fill_dialog.h"
#include "ui/chip_search_dialog.h"
#include "ui/tool_report_dialog.h"
#include "util/text_codec.h"

using testsupport::chip;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

// Closes every modal box or dialog as soon as it opens, a box with `button` where it has
// one, and keeps the boxes' texts and the dialogs' titles.
class ModalCloser {
  public:
    explicit ModalCloser(QMessageBox::StandardButton button = QMessageBox::Ok) {
        QObject::connect(&timer_, &QTimer::timeout, [this, button] {
            QWidget* modal = QApplication::activeModalWidget();
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                texts.push_back(box->text().toStdString());
                if (QAbstractButton* ok = box->button(QMessageBox::Ok))
                    okTexts.push_back(ok->text().toStdString());
                if (QAbstractButton* answer = box->button(button))
                    answer->click();
                else
                    box->accept();
            } else if (auto* dialog = qobject_cast<QDialog*>(modal)) {
                dialogs.push_back(dialog->windowTitle().toStdString());
                dialog->reject();
            }
        });
        timer_.start(5);
    }
    std::vector<std::string> texts;
    std::vector<std::string> okTexts;
    std::vector<std::string> dialogs;

  private:
    QTimer timer_;
};

// Runs `action`; each Tools dialog it opens (a Dialog, a report unless said) is handed to
// `look` and then closed, and each message box is closed with OK, its text kept in `boxes`.
template <typename Dialog = ui::ToolReportDialog>
void withToolDialogs(const std::function<void()>& action,
                     const std::type_identity_t<std::function<void(Dialog&)>>& look,
                     std::vector<std::string>* boxes = nullptr) {
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            if (boxes)
                boxes->push_back(box->text().toStdString());
            box->button(QMessageBox::Ok)->click();
        } else if (auto* dialog = qobject_cast<Dialog*>(modal)) {
            timer.stop();
            EXPECT_TRUE(QTest::qWaitForWindowExposed(dialog));
            look(*dialog);
            if (dialog->isVisible())
                dialog->reject();
            timer.start(5);
        }
    });
    timer.start(5);
    action();
}

// Double-clicks the table's row as the user does.
void doubleClickRow(QTableWidget* table, int row) {
    const QRect cell = table->visualItemRect(table->item(row, 0));
    // A double-click follows a click, as the user makes one.
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, cell.center());
    QTest::mouseDClick(table->viewport(), Qt::LeftButton, {}, cell.center());
}

std::vector<catalogue::ChipRecord> panelChips() {
    return {chip("W25Q80", "WINBOND", catalogue::SpiFlash, 0x100000, 0xEF, 0x13),
            chip("W25X80", "WINBOND", catalogue::SpiFlash, 0x100000, 0xEF, 0x13),
            chip("EN25T80", "EON", catalogue::SpiFlash, 0x100000, 0x1C, 0x31),
            chip("M24C02", "ST", catalogue::Eeprom24, 256, 0x20, 0x02),
            chip("AT24C04", "atmel", catalogue::Eeprom24, 512, 0x1E, 0x04),
            chip("AT24C02", "atmel", catalogue::Eeprom24, 256, 0x1E, 0x02)};
}

class MainWindowTest : public testsupport::UiTest {
  protected:
    void SetUp() override {
        const std::string section = "LogFile=log.txt\nDataBaseFile=chips.cwdb\n";
        writeFile(dir.file("config.ini"),
                  "[Run]\nDefaultLanguage=English\nDefaultChipName=W25Q80\n[SimpleChinese]\n" +
                      section + "Caption=Chipwright\n[English]\n" + section +
                      "Caption=Chipwright\n");
        const auto image = catalogue::buildDatabaseImage(panelChips());
        writeFile(dir.file("chips.cwdb"),
                  std::string_view(reinterpret_cast<const char*>(image.data()), image.size()));
        app::loadMessageTable(dir.dir());
        device->setEraseDurationMs(20);
        bus.addProgrammer(device);
    }

    // The window, started with `arguments`, the socket following the selected chip.
    ui::MainWindow& startWindow(const std::vector<std::string>& arguments = {}) {
        window.reset();  // a window before this one goes before its workbench
        bench = std::make_unique<operations::Workbench>(bus);
        window = std::make_unique<ui::MainWindow>(*bench);
        window->setChipListener([this](const catalogue::ChipRecord& c) { device->insertChip(c); });
        startResult = window->start(arguments);
        return *window;
    }

    std::string logText() const { return util::gbkToUtf8(readFile(dir.file("log.txt"))); }
    // The texts of the entries written since the log text was `from` long, without stamps.
    std::vector<std::string> logEntriesSince(std::size_t from) const {
        static const QRegularExpression stamp(
            QStringLiteral(R"(\r\n\d{4}/\d\d/\d\d/ \d\d:\d\d:\d\d\.\d{3}: )"));
        const QStringList parts = QString::fromStdString(logText().substr(from)).split(stamp);
        std::vector<std::string> entries;
        for (qsizetype i = 1; i < parts.size(); ++i)  // nothing comes before the first stamp
            entries.push_back(parts[i].toStdString());
        return entries;
    }
    static int count(const std::string& text, const std::string& part) {
        int n = 0;
        for (std::size_t at = text.find(part); at != std::string::npos;
             at = text.find(part, at + 1))
            ++n;
        return n;
    }

    testsupport::TempDir dir;
    std::shared_ptr<sim::SimProgrammer> device = std::make_shared<sim::SimProgrammer>();
    sim::SimBus bus;
    std::unique_ptr<operations::Workbench> bench;
    std::unique_ptr<ui::MainWindow> window;
    operations::StartupResult startResult{};
};

TEST_F(MainWindowTest, LanguageSwitchesKeepOneAboutItemAndTheEraseState) {
    ui::MainWindow& w = startWindow();
    ASSERT_EQ(startResult, operations::StartupResult::Ready);
    for (int i = 0; i < 5; ++i)
        w.runCommand(i % 2 == 0 ? ui::CmdChinese : ui::CmdEnglish);
    const auto actions = w.systemMenu()->actions();
    ASSERT_EQ(actions.size(), 2);
    EXPECT_TRUE(actions[0]->isSeparator());
    EXPECT_EQ(actions[1]->text().toStdString(), "关于(&A)...");

    // English twice: written twice, said twice.
    w.runCommand(ui::CmdEnglish);
    w.runCommand(ui::CmdEnglish);
    EXPECT_EQ(app::readSetting(app::configPath(), "Run", "DefaultLanguage"), "English");
    EXPECT_EQ(count(logText(), "ShowInfo: Set language to english!"), 4);
    EXPECT_EQ(w.statusLine()->text().toStdString(), "Set language to english!");
    EXPECT_EQ(w.commandAction(ui::CmdRead)->text().toStdString(), "Read Chip(&R)");
    EXPECT_EQ(w.toolTipFor(ui::CmdRead).toStdString(), "Read Chip");
    EXPECT_TRUE(w.toolTipFor(ui::CmdSelfTest).isEmpty());

    // A 24-series chip greys Chip Erase, in the menu and the toolbar, across a switch.
    w.typeList()->setCurrentText(QStringLiteral("24 EEPROM"));
    EXPECT_FALSE(w.commandAction(ui::CmdErase)->isEnabled());
    EXPECT_FALSE(w.toolbarAction(ui::CmdErase)->isEnabled());
    w.runCommand(ui::CmdChinese);
    EXPECT_FALSE(w.commandAction(ui::CmdErase)->isEnabled());
    EXPECT_FALSE(w.toolbarAction(ui::CmdErase)->isEnabled());
    EXPECT_EQ(w.toolTipFor(ui::CmdRead).toStdString(), "读芯片");
    EXPECT_EQ(w.commandAction(ui::CmdRead)->text().toStdString(), "读芯片(&R)");
}

TEST_F(MainWindowTest, ANewTypeSelectsItsAlphabeticallyFirstMakerAndChip) {
    ui::MainWindow& w = startWindow();
    EXPECT_EQ(w.capacityLabel()->text().toStdString(), "1MB\r\n\r\n");
    w.typeList()->setCurrentText(QStringLiteral("24 EEPROM"));
    // "atmel" before "ST" without regard to case; its chips sorted too.
    EXPECT_EQ(w.manufacturerList()->currentText().toStdString(), "atmel");
    EXPECT_EQ(w.chipList()->currentText().toStdString(), "AT24C02");
    EXPECT_EQ(bench->chip.nameBytes(), "AT24C02");
    EXPECT_EQ(bench->buffer->dataLength(), 256u);
    EXPECT_EQ(w.hexView()->hexLayout().dataLength, 256u);
    EXPECT_EQ(app::readSetting(app::configPath(), "Run", "DefaultChipName"), "AT24C02");
    EXPECT_NE(logText().find("Chip:AT24C02, Manuatmel, 256B"), std::string::npos);
}

TEST_F(MainWindowTest, WithoutTheDatabaseEveryCommandIsHarmless) {
    ::unlink(dir.file("chips.cwdb").c_str());
    ModalCloser closer;
    ui::MainWindow& w = startWindow();
    EXPECT_EQ(startResult, operations::StartupResult::NoDatabase);
    EXPECT_EQ(closer.texts, (std::vector<std::string>{"Database error!"}));
    for (int command :
         {ui::CmdOpen, ui::CmdSave, ui::CmdFill, ui::CmdSwap, ui::CmdAuto, ui::CmdErase,
          ui::CmdWrite, ui::CmdRead, ui::CmdVerify, ui::CmdDetect, ui::CmdSelfTest, ui::CmdVersion,
          ui::CmdEnglish, ui::CmdChinese, ui::CmdAbout, ui::CmdSystemAbout}) {
        w.runCommand(command);
    }
    w.typeList()->setCurrentIndex(-1);
    EXPECT_FALSE(bench->ready());
}

TEST_F(MainWindowTest, WhileACommandRunsClosingIsRefusedAndTheLanguageMaySwitch) {
    ui::MainWindow& w = startWindow();
    w.show();
    device->setThroughput(2'000'000);
    ModalCloser closer;
    bool closed = true;
    QTimer::singleShot(50, &w, [&] { closed = w.close(); });
    // The menu whose item started the read is replaced while the read runs.
    QTimer::singleShot(100, &w, [&] { w.runCommand(ui::CmdChinese); });
    QTimer::singleShot(150, &w, [&] { w.runCommand(ui::CmdEnglish); });
    w.commandAction(ui::CmdRead)->trigger();
    EXPECT_FALSE(closed);
    EXPECT_EQ(closer.texts,
              (std::vector<std::string>{"Programmer is busy, please wait a moment!"}));
    EXPECT_EQ(w.statusLine()->text().toStdString(), "Read chip ok!");
    EXPECT_TRUE(w.close());
}

TEST_F(MainWindowTest, ASessionLoadsAutoProgramsReadsBackAndVerifies) {
    std::string data(0x100000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7 + 3);
    writeFile(dir.file("image.bin"), data);
    ui::MainWindow& w = startWindow({dir.file("image.bin")});
    w.chipList()->setCurrentText(QStringLiteral("W25Q80"));
    ASSERT_FALSE(w.commandAction(ui::CmdBackupFirst)->isChecked());
    const std::size_t logged = logText().size();
    w.runCommand(ui::CmdAuto);
    EXPECT_EQ(w.statusLine()->text().toStdString(), "Verify chip ok!");
    std::memset(bench->buffer->image(), 0, data.size());
    w.runCommand(ui::CmdRead);
    EXPECT_EQ(w.statusLine()->text().toStdString(), "Read chip ok!");
    EXPECT_EQ(std::memcmp(bench->buffer->image(), data.data(), data.size()), 0);
    w.runCommand(ui::CmdVerify);
    EXPECT_EQ(w.statusLine()->text().toStdString(), "Verify chip ok!");
    // Each command's own entries, and nothing of the Tools menu's before or among them.
    EXPECT_EQ(logEntriesSince(logged),
              (std::vector<std::string>{
                  "Auto!", "Erase chip!", "ShowInfo: Erasing...", "ShowInfo: Erase chip ok!",
                  "Write chip!", "ShowInfo: Writing...", "ShowInfo: Write chip ok!", "Verify chip!",
                  "ShowInfo: Verifying...", "ShowInfo: Verify chip ok!", "Read chip!",
                  "ShowInfo: Reading...", "ShowInfo: Read chip ok!", "Verify chip!",
                  "ShowInfo: Verifying...", "ShowInfo: Verify chip ok!"}));
}

TEST_F(MainWindowTest, EnterOnTheFocusedSearchButtonClicksIt) {
    ui::MainWindow& w = startWindow();
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    auto* search = w.findChild<QPushButton*>();
    ASSERT_NE(search, nullptr);
    search->setFocus(Qt::TabFocusReason);
    ModalCloser closer;
    QTest::keyClick(search, Qt::Key_Return);
    EXPECT_EQ(closer.dialogs, (std::vector<std::string>{"Search chip..."}));
    EXPECT_TRUE(w.isVisible()) << "the program stays";
}

TEST_F(MainWindowTest, ClosingAsksFirstOnlyWhenTheBufferHasUnsavedChanges) {
    ui::MainWindow& w = startWindow();
    w.show();
    {
        ModalCloser cancel(QMessageBox::Cancel);
        w.runCommand(ui::CmdSwap);
        QTest::keyClick(&w, Qt::Key_Escape);
        EXPECT_EQ(cancel.texts, (std::vector<std::string>{"The buffer has changed since it was "
                                                          "last loaded or saved. Discard the "
                                                          "changes and exit?"}));
        EXPECT_TRUE(w.isVisible());
    }

    // Just loaded from a file, nothing is lost: Escape ends at once, as ever.
    writeFile(dir.file("image.bin"), std::string(64, '\x5A'));
    ui::MainWindow& loaded = startWindow({dir.file("image.bin")});
    loaded.show();
    ModalCloser closer;
    QTest::keyClick(&loaded, Qt::Key_Escape);
    EXPECT_TRUE(closer.texts.empty());
    EXPECT_FALSE(loaded.isVisible());
}

TEST_F(MainWindowTest, ChineseUsesQtsOwnChineseTexts) {
    const QString translations = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    if (!QFileInfo::exists(translations + QStringLiteral("/qtbase_zh_CN.qm")))
        GTEST_SKIP() << "Qt's translations (qt6-translations-l10n) are not installed";
    ui::MainWindow& w = startWindow();
    ModalCloser closer;
    w.runCommand(ui::CmdChinese);
    w.showMessage("x");
    w.runCommand(ui::CmdEnglish);
    w.showMessage("x");
    EXPECT_EQ(closer.okTexts, (std::vector<std::string>{"确定", "OK"}));
}

// The texts of a window's labels, buttons and group titles that do not fit their control.
std::vector<std::string> clippedTexts(QWidget& top) {
    std::vector<std::string> clipped;
    auto check = [&clipped](const QWidget& w, QString text, int room) {
        text.remove(QLatin1Char('&'));
        int widest = 0;
        for (const QString& line : text.split(QRegularExpression(QStringLiteral("[\r\n]+"))))
            widest = std::max(widest, QFontMetrics(w.font()).horizontalAdvance(line));
        if (widest > room)
            clipped.push_back(text.toStdString() + " (" + std::to_string(widest) + " > " +
                              std::to_string(room) + ")");
    };
    for (QWidget* w : top.findChildren<QWidget*>()) {
        if (!w->isVisibleTo(&top))
            continue;
        const int margin = w->style()->pixelMetric(QStyle::PM_ButtonMargin);
        if (auto* label = qobject_cast<QLabel*>(w); label && !label->wordWrap())
            check(*label, label->text(), label->contentsRect().width());
        else if (auto* button = qobject_cast<QPushButton*>(w))
            check(*button, button->text(), button->width() - margin);
        else if (auto* group = qobject_cast<QGroupBox*>(w))
            check(*group, group->title(), group->width() - 2 * margin);
    }
    return clipped;
}

TEST_F(MainWindowTest, EveryTextFitsItsControlAndPlaceInBothLanguages) {
    ui::MainWindow& w = startWindow();
    w.show();
    for (const char* language : {app::kLanguageEnglish, app::kLanguageChinese}) {
        SCOPED_TRACE(language);
        app::useLanguage(language);
        w.applyLanguage();
        EXPECT_EQ(clippedTexts(w), std::vector<std::string>{});
        // The search button stands inside the panel, clear of its frame's top line.
        const auto* panel = w.findChild<QGroupBox*>();
        EXPECT_GE(w.findChild<QPushButton*>()->y(), panel->y() + panel->contentsRect().top());
        ui::BufferFillDialog fill(&w);
        fill.show();
        EXPECT_EQ(clippedTexts(fill), std::vector<std::string>{});
        ui::ChipSearchDialog search(*bench->database, &w);
        search.show();
        EXPECT_EQ(clippedTexts(search), std::vector<std::string>{});
        ui::AboutDialog about(&w);
        about.show();
        EXPECT_EQ(clippedTexts(about), std::vector<std::string>{});
    }
}

TEST_F(MainWindowTest, OpenChipListsShowAboutTenRows) {
    ui::MainWindow& w = startWindow();
    w.show();
    QComboBox* list = w.chipList();
    for (int i = 0; i < 60; ++i)
        list->addItem(QStringLiteral("CHIP%1").arg(i));
    list->showPopup();
    const int rows = list->view()->height() / list->view()->sizeHintForRow(0);
    list->hidePopup();
    EXPECT_GE(rows, 8);
    EXPECT_LE(rows, 12);
}

}  // namespace

TEST_F(MainWindowTest, TheMenuBarKeepsItsMenusAndMnemonicsWithToolsBeforeHelp) {
    ui::MainWindow& w = startWindow();
    auto titles = [&w] {
        std::vector<std::string> texts;
        for (QAction* menu : w.menuBar()->actions())
            texts.push_back(menu->text().toStdString());
        return texts;
    };
    EXPECT_EQ(titles(),
              (std::vector<std::string>{"File(F)", "Edit(&E)", "Programmer(&P)", "Firmware(&W)",
                                        "Language(&L)", "Tools(&T)", "Help(&H)"}));
    std::vector<std::string> items;
    for (QAction* menu : w.menuBar()->actions()) {
        for (QAction* item : menu->menu()->actions())
            items.push_back(item->text().toStdString());
    }
    EXPECT_EQ(items, (std::vector<std::string>{"Open(&O)",
                                               "Save(&S)",
                                               "Buffer Fill(&F)",
                                               "Byte Swap(&S)",
                                               "Auto(&A)",
                                               "Chip Erase(&E)",
                                               "Write Chip(&W)",
                                               "Read Chip(&R)",
                                               "Verify Chip(&V)",
                                               "Detect Chip(&T)",
                                               "",
                                               "Self Test(&C)",
                                               "Read Firmware Version(&V)",
                                               "Updata Firmware(&U)",
                                               "English(&E)",
                                               "中文简体(&C)",
                                               "Verify, All Differences(&V)",
                                               "Read Twice and Compare(&R)",
                                               "Blank Check(&B)",
                                               "Identify Chip(&I)",
                                               "Programmer Access(&A)",
                                               "",
                                               "Back Up Before Changing the Chip(&K)",
                                               "User Manual(&U)",
                                               "About(&A)"}));
    w.runCommand(ui::CmdChinese);
    EXPECT_EQ(titles(), (std::vector<std::string>{"文件(F)", "缓冲区(&B)", "编程器(&E)", "固件(&W)",
                                                  "语言(Language)(&L)", "工具(&T)", "帮助(&H)"}));
    EXPECT_EQ(w.commandAction(ui::CmdIdentify)->text().toStdString(), "识别芯片(&I)");
}

TEST_F(MainWindowTest, AToolChosenWhileACommandRunsIsRefusedAsBusy) {
    ui::MainWindow& w = startWindow();
    device->setThroughput(2'000'000);
    ModalCloser closer;
    QTimer::singleShot(50, &w, [&] { w.commandAction(ui::CmdBlankCheck)->trigger(); });
    w.commandAction(ui::CmdRead)->trigger();
    EXPECT_EQ(closer.texts,
              (std::vector<std::string>{"Programmer is busy, please wait a moment!"}));
    EXPECT_TRUE(closer.dialogs.empty());
}

TEST_F(MainWindowTest, VerifyAllListsEveryDifferenceWithItsCauseAndShowsTheChosenOne) {
    ui::MainWindow& w = startWindow();
    std::vector<std::uint8_t> data(0x100000);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 7 + 0x11);
    std::memcpy(bench->buffer->image(), data.data(), data.size());
    // Three bytes keep a 0 where the data wants 1: old content, not erased.
    std::vector<std::uint8_t> chipBytes = data;
    const std::uint32_t flipped[] = {0x10, 0x8000, 0xF0000};
    for (std::uint32_t at : flipped)
        chipBytes[at] = static_cast<std::uint8_t>(data[at] & 0xFE);
    for (std::uint32_t at : flipped)
        ASSERT_NE(chipBytes[at], data[at]) << "bit 0 of the data is 1 there";
    device->fillMemory(0, chipBytes);
    std::string findings;
    int rows = 0;
    withToolDialogs([&] { w.commandAction(ui::CmdVerifyAll)->trigger(); },
                    [&](ui::ToolReportDialog& d) {
                        findings = d.findings().toStdString();
                        rows = d.table()->rowCount();
                        EXPECT_TRUE(d.saveReport(dir.file("differences.csv")));
                        doubleClickRow(d.table(), 1);
                    });
    EXPECT_EQ(rows, 3);
    EXPECT_EQ(readFile(dir.file("differences.csv")),
              "Start,End,Bytes\n0x000010,0x000010,1\n0x008000,0x008000,1\n0x0F0000,0x0F0000,1\n");
    EXPECT_TRUE(findings.find("3 differing ranges, 3 bytes in all.") != std::string::npos)
        << findings;
    EXPECT_TRUE(findings.find("Diagnosis: not-erased") != std::string::npos) << findings;
    EXPECT_EQ(w.hexView()->hexLayout().caretByte(), 0x8000u);
    EXPECT_EQ(w.hexView()->hexLayout().topRow, 0x800u);

    // A write-protected chip keeps what it held (erased here) through Write Chip.
    device->fillMemory(0, std::vector<std::uint8_t>(data.size(), 0xFF));
    sim::Faults protection;
    protection.writeProtected = true;
    device->setFaults(protection);
    testsupport::closingMessageBoxes([&] { w.runCommand(ui::CmdWrite); });
    withToolDialogs([&] { w.runCommand(ui::CmdVerifyAll); },
                    [&](ui::ToolReportDialog& d) { findings = d.findings().toStdString(); });
    EXPECT_TRUE(findings.find("Diagnosis: write-no-effect") != std::string::npos) << findings;
    device->setFaults({});

    device->fillMemory(0, data);
    withToolDialogs([&] { w.runCommand(ui::CmdVerifyAll); },
                    [&](ui::ToolReportDialog& d) { findings = d.findings().toStdString(); });
    EXPECT_TRUE(findings.rfind("The chip matches the buffer.", 0) == 0) << findings;
}

TEST_F(MainWindowTest, ReadTwiceTakesOnlyAgreeingReadsIntoTheBuffer) {
    ui::MainWindow& w = startWindow();
    sim::Faults loose;
    loose.looseBitAddress = 0x1234;
    device->setFaults(loose);
    std::memset(bench->buffer->image(), 0x5A, 0x100000);
    std::string findings;
    int rows = 0;
    withToolDialogs([&] { w.commandAction(ui::CmdReadTwice)->trigger(); },
                    [&](ui::ToolReportDialog& d) {
                        findings = d.findings().toStdString();
                        rows = d.table()->rowCount();
                    });
    EXPECT_EQ(rows, 1);
    EXPECT_TRUE(findings.find("Diagnosis: unstable") != std::string::npos) << findings;
    EXPECT_EQ(bench->buffer->image()[0], 0x5A) << "the buffer is left as it was";

    device->setFaults({});
    withToolDialogs([&] { w.runCommand(ui::CmdReadTwice); },
                    [&](ui::ToolReportDialog& d) { findings = d.findings().toStdString(); });
    EXPECT_TRUE(findings.rfind("Both reads agree", 0) == 0) << findings;
    EXPECT_EQ(bench->buffer->image()[0], 0xFF) << "the erased chip's bytes";
}

TEST_F(MainWindowTest, BlankCheckSaysBlankOrShowsTheFirstByteThatIsNot) {
    ui::MainWindow& w = startWindow();
    std::string findings;
    withToolDialogs([&] { w.runCommand(ui::CmdBlankCheck); },
                    [&](ui::ToolReportDialog& d) { findings = d.findings().toStdString(); });
    EXPECT_TRUE(findings.rfind("The chip is blank", 0) == 0) << findings;
    const std::uint8_t used[] = {0x00, 0x12};
    device->fillMemory(0x4321, used);
    withToolDialogs([&] { w.runCommand(ui::CmdBlankCheck); },
                    [&](ui::ToolReportDialog& d) {
                        findings = d.findings().toStdString();
                        doubleClickRow(d.table(), 0);
                    });
    EXPECT_TRUE(findings.find("at 0x004321; 2 bytes are not FF") != std::string::npos) << findings;
    EXPECT_EQ(w.hexView()->hexLayout().caretByte(), 0x4321u);
}

TEST_F(MainWindowTest, IdentifyListsEveryChipWithTheIdsAndSelectsTheChosenOne) {
    ui::MainWindow& w = startWindow();
    std::vector<std::string> names;
    withToolDialogs([&] { w.commandAction(ui::CmdIdentify)->trigger(); },
                    [&](ui::ToolReportDialog& d) {
                        for (int row = 0; row < d.table()->rowCount(); ++row)
                            names.push_back(d.table()->item(row, 0)->text().toStdString());
                        d.table()->setCurrentCell(1, 0);
                        d.selectButton()->click();
                    });
    EXPECT_EQ(names, (std::vector<std::string>{"W25Q80", "W25X80"}));
    EXPECT_EQ(bench->chip.nameBytes(), "W25X80");
    EXPECT_EQ(w.chipList()->currentText().toStdString(), "W25X80");

    device->removeChip();
    std::string findings;
    withToolDialogs([&] { w.runCommand(ui::CmdIdentify); },
                    [&](ui::ToolReportDialog& d) { findings = d.findings().toStdString(); });
    EXPECT_TRUE(findings.find("No chip answers") != std::string::npos) << findings;
}

TEST_F(MainWindowTest, BackupFirstKeepsTheOldChipBeforeWriteAndAFailedBackupStopsIt) {
    setenv("XDG_DATA_HOME", dir.file("data").c_str(), 1);
    ui::MainWindow& w = startWindow();
    const std::string backups = dir.file("data") + "/chipwright/backups";
    QAction* item = w.commandAction(ui::CmdBackupFirst);
    EXPECT_FALSE(item->isChecked());
    EXPECT_EQ(item->toolTip().toStdString(), "Backups are saved in " + backups);
    item->trigger();
    EXPECT_TRUE(item->isChecked());
    EXPECT_NE(readFile(dir.file("config.ini")).find("BackupBeforeChange=1"), std::string::npos);

    std::vector<std::uint8_t> old(0x100000, 0xFF);
    old[0x100] = 0x12;
    old[0xFFFFF] = 0x34;
    device->fillMemory(0, old);
    std::memset(bench->buffer->image(), 0x00, old.size());
    const auto boxes = testsupport::closingMessageBoxes([&] { w.runCommand(ui::CmdWrite); });
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(device->memory(), std::vector<std::uint8_t>(old.size(), 0x00)) << "the chip written";
    std::vector<std::filesystem::path> saved;
    for (const auto& entry : std::filesystem::directory_iterator(backups))
        saved.push_back(entry.path());
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0].filename().string().rfind("W25Q80-", 0), 0u) << saved[0];
    EXPECT_EQ(readFile(saved[0].string()),
              std::string(reinterpret_cast<const char*>(old.data()), old.size()));
    const std::string log = logText();
    const std::size_t backupAt = log.find("Backup saved: " + saved[0].string());
    ASSERT_NE(backupAt, std::string::npos) << log;
    EXPECT_LT(backupAt, log.find("Write chip!")) << "the write's own entries follow";

    // The backup folder cannot be made: the write does not run.
    setenv("XDG_DATA_HOME", dir.file("blocked").c_str(), 1);
    writeFile(dir.file("blocked"), "a file where the folder would go");
    device->fillMemory(0, old);
    const auto refused = testsupport::closingMessageBoxes([&] { w.runCommand(ui::CmdWrite); });
    unsetenv("XDG_DATA_HOME");
    ASSERT_FALSE(refused.empty());
    EXPECT_EQ(refused.back().text.toStdString(),
              "The chip could not be backed up, so the command did not run and the chip is "
              "unchanged. Backup folder: " +
                  dir.file("blocked") + "/chipwright/backups");
    EXPECT_EQ(device->memory(), old);
}

TEST_F(MainWindowTest, TheAccessDialogSaysFirstThatTheSimulatedProgrammerNeedsNoAccess) {
    ui::MainWindow& w = startWindow();
    std::string summary;
    withToolDialogs<ui::AccessDialog>(
        [&] { w.commandAction(ui::CmdAccess)->trigger(); },
        [&](ui::AccessDialog& d) { summary = d.summary().toStdString(); });
    EXPECT_EQ(summary.rfind("This window uses the simulated programmer", 0), 0u) << summary;
}
