// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A PostgreSQL server of the test's own: a fresh cluster in a temporary folder,
// listening only on a Unix socket in that folder, started once per test binary and
// stopped when it ends. The server refuses to run as root, so under root (as in CI) its
// programs run as "nobody", which owns the folder. Each test gets a database of its own.
//
//   PostgresServer& server = PostgresServer::shared();
//   if (!server.running()) GTEST_SKIP() << server.problem();
//   std::string url = server.freshDatabase();

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/support/temp_dir.h"

namespace testsupport {

class PostgresServer {
  public:
    static PostgresServer& shared() {
        static PostgresServer server;
        return server;
    }
    ~PostgresServer() {
        if (running_)
            stop();
    }
    // The server gone at once, as a crash or a cut cable leaves it: its clients'
    // connections break. start() brings it back with its databases.
    bool stop() {
        running_ = !run(bin_ + "/pg_ctl -D " + dir_.file("data") + " -m immediate -w stop");
        return !running_;
    }
    bool start() {
        running_ = run(bin_ + "/pg_ctl -D " + dir_.file("data") + " -l " + dir_.file("log") +
                       " -w -o \"-k " + dir_.path() +
                       " -c listen_addresses='' -c fsync=off -c synchronous_commit=off"
                       " -c full_page_writes=off\" start");
        return running_;
    }

    bool running() const { return running_; }
    const std::string& problem() const { return problem_; }
    std::string urlFor(const std::string& database) const {
        return "postgresql://chipwright@/" + database + "?host=" + dir_.path();
    }
    // A new, empty database on the server; its URL.
    std::string freshDatabase() {
        const std::string name = "t" + std::to_string(++databases_);
        run(bin_ + "/createdb -h " + dir_.path() + " -U chipwright " + name);
        return urlFor(name);
    }

  private:
    PostgresServer() {
        bin_ = findBin();
        if (bin_.empty()) {
            problem_ =
                "no PostgreSQL server programs under /usr/lib/postgresql (package postgresql)";
            return;
        }
        if (geteuid() == 0 && chown(dir_.path().c_str(), kUnprivilegedId, kUnprivilegedId) != 0) {
            problem_ = "cannot hand the server's folder to nobody";
            return;
        }
        const std::string data = dir_.file("data");
        if (!run(bin_ + "/initdb -N -A trust -U chipwright -D " + data)) {
            problem_ = "initdb failed";
            return;
        }
        if (!start())
            problem_ = "the server did not start: " + readFile(dir_.file("log"));
    }

    static std::string findBin() {
        std::error_code ec;
        for (const auto& version : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
            const auto bin = version.path() / "bin";
            if (std::filesystem::exists(bin / "initdb") && std::filesystem::exists(bin / "pg_ctl"))
                return bin.string();
        }
        return "";
    }
    // The server's programs as the folder's owner, quietly.
    static bool run(const std::string& command) {
        const std::string as = geteuid() == 0 ? "runuser -u nobody -- " : "";
        return std::system((as + command + " >/dev/null 2>&1").c_str()) == 0;
    }

    TempDir dir_;
    std::string bin_;
    std::string problem_;
    bool running_ = false;
    std::atomic<int> databases_{0};
};

}  // namespace testsupport
