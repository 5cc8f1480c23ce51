// SPDX-License-Identifier: GPL-3.0-or-later
// The shipped program on the real libusb path: chipwright (no --simulate) as a child
// process under a real X server (xvfb-run, the xcb platform), talking to the simulated
// programmer that this test hosts behind an emulated usbfs device, clicked through Read
// Chip and Verify Chip with xdotool; its log file tells how each ended. The Tools menu's
// programmer access dialog looks at the same device as a user its node is closed to, and
// from a window in this process that holds it.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <umockdev.h>
#include <unistd.h>

#include <QApplication>
#include <QClipboard>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/config.h"
#include "app/messages.h"
#include "catalogue/chip_database.h"
#include "catalogue/chip_queries.h"
#include "catalogue/chip_record.h"
#include "link/libusb/libusb_bus.h"
#include "operations/workbench.h"
#include "tests/support/libusb_rig.h"
#include "tests/support/temp_dir.h"
#include "ui/access_dialog.h"
#include "ui/main_window.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using testsupport::readFile;

// The toolbar's Read and Verify buttons in window coordinates (the menu bar above the
// toolbar; Verify is the button right of Read), as the window lays them out at its
// fixed size with its own pixel fonts.
constexpr int kButtonY = 45;
constexpr int kReadButtonX = 342;
constexpr int kVerifyButtonX = 386;

// Waits until `done` holds or `limit` has passed; the last answer of `done`.
template <typename Condition>
bool waitFor(Condition done, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until)
            return done();
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

// chipwright under its own X server. xvfb-run picks a free display and starts the
// program through a shell that writes the program's process id, the display and the X
// authority file into the folder, so the test can find the window and click into it.
// The X server runs without the usbfs emulation preloaded; only the program gets it.
class ProgramUnderX {
  public:
    explicit ProgramUnderX(const testsupport::TempDir& dir) : dir_(dir) {
        const char* preload = std::getenv("LD_PRELOAD");
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            const std::string name = entry.substr(0, entry.find('='));
            if (name != "LD_PRELOAD" && name != "CHIPWRIGHT_SIMULATE" && name != "DISPLAY" &&
                name != "XAUTHORITY" && name != "QT_QPA_PLATFORM")
                env.push_back(entry);
        }
        env.push_back("QT_QPA_PLATFORM=xcb");
        std::vector<std::string> args = {
            "xvfb-run",
            "-a",
            "-s",
            "-screen 0 1280x900x24",
            "sh",
            "-c",
            "echo \"$$ $DISPLAY $XAUTHORITY\" > x11.tmp && mv x11.tmp x11 && "
            "export LD_PRELOAD=\"$1\" && exec ./chipwright",
            "sh",
            preload != nullptr ? preload : ""};
        std::vector<char*> argv, envp;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        for (std::string& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        const std::string output = dir_.file("output");
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        posix_spawn_file_actions_addchdir_np(&actions, dir_.path().c_str());
        if (posix_spawnp(&xvfbRun_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
            xvfbRun_ = -1;
        posix_spawn_file_actions_destroy(&actions);

        if (xvfbRun_ > 0 &&
            waitFor([this] { return std::filesystem::exists(dir_.file("x11")); }, 20s)) {
            std::istringstream(readFile(dir_.file("x11"))) >> program_ >> display_ >> authority_;
        }
    }

    // The program ends, and with it xvfb-run and its X server.
    ~ProgramUnderX() {
        if (program_ > 0)
            kill(program_, SIGTERM);
        if (xvfbRun_ <= 0)
            return;
        int status = 0;
        const bool ended = waitFor([&] { return waitpid(xvfbRun_, &status, WNOHANG) != 0; }, 10s);
        if (!ended) {
            kill(xvfbRun_, SIGKILL);
            waitpid(xvfbRun_, &status, 0);
        }
    }

    ProgramUnderX(const ProgramUnderX&) = delete;
    ProgramUnderX& operator=(const ProgramUnderX&) = delete;

    bool started() const { return program_ > 0 && !display_.empty(); }

    // Runs xdotool on the program's display, bounded in time; its output.
    std::string xdotool(const std::string& args) const {
        const std::string command = "env -u LD_PRELOAD DISPLAY=" + display_ +
                                    " XAUTHORITY=" + authority_ + " timeout 20 xdotool " + args +
                                    " 2>&1";
        std::string out;
        if (FILE* pipe = popen(command.c_str(), "r")) {
            char chunk[256];
            while (std::fgets(chunk, sizeof chunk, pipe) != nullptr)
                out += chunk;
            pclose(pipe);
        }
        return out;
    }

    // The id of the program's window once it is mapped; empty if it never is.
    std::string window() const {
        std::istringstream found(
            xdotool("search --sync --onlyvisible --pid " + std::to_string(program_)));
        std::string id;
        found >> id;
        return id;
    }

    void click(const std::string& window, int x, int y) const {
        xdotool("mousemove --window " + window + " " + std::to_string(x) + " " + std::to_string(y) +
                " click 1");
    }

  private:
    const testsupport::TempDir& dir_;
    pid_t xvfbRun_ = -1;
    pid_t program_ = -1;
    std::string display_;
    std::string authority_;
};

class WindowOverLibusb : public ::testing::Test {
  protected:
    void SetUp() override {
        // The program finds config.ini and the chip database beside itself and logs there.
        const auto bin = std::filesystem::read_symlink("/proc/self/exe").parent_path();
        for (const char* file : {"chipwright", "config.ini", "chips.cwdb"})
            std::filesystem::copy_file(bin / file, dir.file(file));

        // The socket holds the chip the window selects at start-up, with a pattern in it.
        const std::string name = app::readSetting(dir.file("config.ini"), "Run", "DefaultChipName");
        catalogue::ChipDatabase database;
        catalogue::ChipRecord chip;
        ASSERT_TRUE(catalogue::loadDatabase(dir.file("chips.cwdb"), database));
        ASSERT_TRUE(catalogue::findByName(database, name, chip)) << name;
        device->insertChip(chip);
        std::mt19937 random(11);
        std::vector<std::uint8_t> cells(chip.capacity);
        for (auto& c : cells)
            c = static_cast<std::uint8_t>(random());
        device->fillMemory(0, cells);
    }

    bool logHas(const std::string& text) const {
        return readFile(dir.file("chipwright.log")).find(text) != std::string::npos;
    }

    testsupport::TempDir dir;
    testsupport::Testbed bed;
    std::shared_ptr<sim::SimProgrammer> device =
        std::make_shared<sim::SimProgrammer>(testsupport::kLibusbProgrammerPath);
    testsupport::UsbfsProgrammer usbfs{bed.testbed, device};
};

TEST_F(WindowOverLibusb, ReadChipThenVerifyChipFromTheToolbar) {
    ProgramUnderX program(dir);
    ASSERT_TRUE(program.started()) << readFile(dir.file("output"));
    const std::string window = program.window();
    ASSERT_FALSE(window.empty()) << readFile(dir.file("output"));
    // The window has mapped; give it a moment to take input.
    std::this_thread::sleep_for(500ms);

    program.click(window, kReadButtonX, kButtonY);
    EXPECT_TRUE(waitFor([&] { return logHas("ShowInfo: Read chip ok!"); }, 30s))
        << readFile(dir.file("chipwright.log"));

    program.click(window, kVerifyButtonX, kButtonY);
    EXPECT_TRUE(waitFor([&] { return logHas("ShowInfo: Verify chip ok!"); }, 30s))
        << readFile(dir.file("chipwright.log"));

    const std::string log = readFile(dir.file("chipwright.log"));
    EXPECT_LT(log.find("ShowInfo: Read chip ok!"), log.find("ShowInfo: Verify chip ok!"));
    EXPECT_EQ(usbfs.claimingHandles(), 1);  // the program holds the emulated device
}

TEST_F(WindowOverLibusb, TheProgrammerTheWindowHoldsIsOpenInItNotInUseByAnother) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int argc = 1;
    char name[] = "ui_libusb_tests";
    char* argv[] = {name, nullptr};
    QApplication application(argc, argv);
    app::loadMessageTable(dir.dir());
    usblink::LibusbBus bus;
    operations::Workbench bench(bus);
    ui::MainWindow window(bench);
    QStringList seen;  // the boxes' texts, then the dialog's row
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            seen << box->text();
            box->accept();
        } else if (auto* dialog = qobject_cast<ui::AccessDialog*>(modal)) {
            for (int column = 0; column < dialog->table()->columnCount(); ++column)
                seen << dialog->table()->item(0, column)->text();
            dialog->reject();
        }
    });
    closer.start(5);
    // The start-up opens the programmer, and the window keeps it.
    ASSERT_EQ(window.start({}), operations::StartupResult::Ready);
    ASSERT_EQ(usbfs.claimingHandles(), 1) << seen.join(u'|').toStdString();
    window.runCommand(ui::CmdAccess);
    ASSERT_EQ(seen.size(), 4) << seen.join(u'|').toStdString();
    EXPECT_EQ(seen[1].toStdString(), "Yes");
    EXPECT_EQ(seen[2].toStdString(), "Open in this window");
}

TEST_F(WindowOverLibusb, TheAccessDialogGivesAUserTheNodeIsClosedToTheUdevRuleFix) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to look as a user the node is closed to";
    ASSERT_TRUE(usbfs.closeNodeToOtherUsers());
    const std::optional<bool> told = testsupport::asUnprivilegedUser([] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        int argc = 1;
        char name[] = "ui_libusb_tests";
        char* argv[] = {name, nullptr};
        QApplication application(argc, argv);
        app::useLanguage(app::kLanguageEnglish);
        ui::AccessDialog dialog(usblink::examineAccess());
        const QTableWidget* table = dialog.table();
        if (table->rowCount() != 1 || table->item(0, 1)->text() != QStringLiteral("No"))
            return false;
        // Without the rule it is installed; with it, the programmer follows it once
        // the rule is applied to it.
        const QString fix = table->item(0, 3)->text();
        if (!fix.contains(QStringLiteral("60-chipwright.rules")) &&
            !fix.contains(QStringLiteral("udevadm trigger")))
            return false;
        dialog.copyButton()->click();
        if (QApplication::clipboard()->text() != fix)
            return false;
        // In Chinese the window words the cause itself; the command stays a command.
        app::useLanguage(app::kLanguageChinese);
        ui::AccessDialog chinese(usblink::examineAccess());
        return chinese.table()->item(0, 2)->text().contains(QStringLiteral("udev 规则")) &&
               chinese.table()->item(0, 3)->text() == fix;
    });
    ASSERT_TRUE(told.has_value());
    EXPECT_TRUE(*told);
}

}  // namespace
