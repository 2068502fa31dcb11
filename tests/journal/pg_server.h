#pragma once

// A PostgreSQL server of the test's own: a fresh cluster in a temporary folder,
// listening on a free port of the loopback interface only, started and stopped
// by the test, never a system service. Any test that needs the factory server
// includes this header and links libpq.
//
//     if (const std::string reason = PgServer::MissingReason(); !reason.empty())
//         GTEST_SKIP() << reason;
//     PgServer server;                                  // initdb and start
//     const std::string uri = server.CreateDatabase("t");
//     ... server.Stop(); ... server.Start();            // the same port again
//     server.Query(uri, "SELECT count(*) FROM t");      // rows of texts
//
// The server refuses to run as root, and the tests run as root in CI: then it
// runs as the user `nobody` (through setpriv), in a folder that user owns.
// setpriv also asks the kernel to end the server with the test process, so a
// crashed test leaves no server behind. The binaries are those of Debian's
// `postgresql` package (the highest version under /usr/lib/postgresql), or the
// folder named by QR740_PG_BINDIR.

#include <libpq-fe.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

class PgServer {
public:
    static constexpr uid_t kUnprivilegedId = 65534; // nobody / nogroup on Debian

    // The folder with initdb and postgres; empty when there is none.
    static std::filesystem::path BinDir()
    {
        if (const char* named = std::getenv("QR740_PG_BINDIR"); named && *named)
            return named;
        std::filesystem::path best;
        int bestVersion = -1;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", error)) {
            const std::string name = entry.path().filename().string();
            const int version = std::atoi(name.c_str());
            if (version > bestVersion && std::filesystem::exists(entry.path() / "bin" / "postgres")) {
                best = entry.path() / "bin";
                bestVersion = version;
            }
        }
        return best;
    }

    // Why no server can be started here; empty when one can.
    static std::string MissingReason()
    {
        const std::filesystem::path bin = BinDir();
        if (bin.empty())
            return "no PostgreSQL server binaries under /usr/lib/postgresql (install the package "
                   "`postgresql`, as scripts/setup.sh does, or set QR740_PG_BINDIR)";
        for (const char* program : {"initdb", "postgres"})
            if (::access((bin / program).c_str(), X_OK) != 0)
                return (bin / program).string() + " is missing or not executable";
        if (::geteuid() == 0 && ::access("/usr/bin/setpriv", X_OK) != 0)
            return "running as root needs /usr/bin/setpriv to start the server as nobody";
        return {};
    }

    PgServer()
    {
        bin_ = BinDir();
        std::string pattern = (std::filesystem::temp_directory_path() / "qr740-pg-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed: " + std::string(std::strerror(errno)));
        folder_ = pattern;
        if (::geteuid() == 0 && ::chown(folder_.c_str(), kUnprivilegedId, kUnprivilegedId) != 0)
            throw std::runtime_error("chown " + folder_.string() + ": " + std::strerror(errno));
        try {
            const int status = Run({(bin_ / "initdb").string(), "-D", Data().string(), "-U", kUser, "-A", "trust",
                                    "-E", "UTF8", "--locale=C", "--no-sync", "--no-instructions"});
            if (status != 0)
                throw std::runtime_error("initdb failed (status " + std::to_string(status) + "):\n" + Log());
            // A port found free may be taken by someone else before the server
            // binds it; a few tries with fresh ports make that harmless.
            for (int attempt = 0;; ++attempt) {
                port_ = FreePort();
                if (TryStart())
                    break;
                if (attempt == 4)
                    throw std::runtime_error("the PostgreSQL server did not start:\n" + Log());
            }
        } catch (...) {
            Remove();
            throw;
        }
    }

    ~PgServer()
    {
        Stop();
        Remove();
    }

    PgServer(const PgServer&) = delete;
    PgServer& operator=(const PgServer&) = delete;

    int Port() const { return port_; }
    bool Running() const { return pid_ > 0; }
    const std::filesystem::path& Folder() const { return folder_; }

    std::string Uri(const std::string& database = "postgres") const
    {
        return "postgresql://" + std::string(kUser) + "@127.0.0.1:" + std::to_string(port_) + "/" + database;
    }

    // Starts the server again on its port, with its data.
    void Start()
    {
        if (Running())
            return;
        if (!TryStart())
            throw std::runtime_error("the PostgreSQL server did not start again:\n" + Log());
    }

    // A fast shutdown, as an administrator's `pg_ctl stop` does: clients are
    // disconnected and every committed transaction is kept.
    void Stop()
    {
        if (!Running())
            return;
        ::kill(pid_, SIGINT);
        if (!Reap(std::chrono::seconds(30))) {
            ::kill(pid_, SIGKILL);
            Reap(std::chrono::seconds(30));
        }
        pid_ = -1;
    }

    // Creates a database and gives its URI.
    std::string CreateDatabase(const std::string& name)
    {
        Query(Uri(), "CREATE DATABASE " + name);
        return Uri(name);
    }

    // An account that must give its password, as a factory's would: every
    // other account is let in without one.
    void AddAccountWithPassword(const std::string& name, const std::string& password)
    {
        Query(Uri(), "CREATE ROLE " + name + " LOGIN PASSWORD '" + password + "'");
        const std::filesystem::path rules = Data() / "pg_hba.conf";
        std::string content;
        {
            std::ifstream in(rules);
            content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        // The first line that matches decides. Rewritten in place, so that the
        // file keeps its owner.
        std::ofstream(rules, std::ios::trunc) << "host all " << name << " 127.0.0.1/32 scram-sha-256\n" << content;
        Query(Uri(), "SELECT pg_reload_conf()");
    }

    // Runs one statement and gives its rows, each value as text ("" for NULL).
    static std::vector<std::vector<std::string>> Query(const std::string& uri, const std::string& sql)
    {
        PGconn* connection = PQconnectdb(uri.c_str());
        if (PQstatus(connection) != CONNECTION_OK) {
            const std::string error = PQerrorMessage(connection);
            PQfinish(connection);
            throw std::runtime_error("connecting to " + uri + ": " + error);
        }
        PGresult* result = PQexec(connection, sql.c_str());
        const ExecStatusType status = PQresultStatus(result);
        if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
            const std::string error = PQresultErrorMessage(result);
            PQclear(result);
            PQfinish(connection);
            throw std::runtime_error(sql + ": " + error);
        }
        std::vector<std::vector<std::string>> rows;
        for (int row = 0; row < PQntuples(result); ++row) {
            rows.emplace_back();
            for (int column = 0; column < PQnfields(result); ++column)
                rows.back().emplace_back(PQgetvalue(result, row, column));
        }
        PQclear(result);
        PQfinish(connection);
        return rows;
    }

    // What initdb and the server wrote.
    std::string Log() const
    {
        std::ifstream in(LogFile());
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    static constexpr const char* kUser = "qr740";

    std::filesystem::path Data() const { return folder_ / "data"; }
    std::filesystem::path LogFile() const { return folder_ / "server.log"; }

    static int FreePort()
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            const std::string error = std::strerror(errno);
            if (fd >= 0)
                ::close(fd);
            throw std::runtime_error("no free port on the loopback interface: " + error);
        }
        ::close(fd);
        return ntohs(address.sin_port);
    }

    // The command, as nobody when we are root, with its output in the log.
    pid_t Spawn(std::vector<std::string> command) const
    {
        std::vector<std::string> full = {"/usr/bin/setpriv", "--pdeathsig", "SIGKILL"};
        if (::geteuid() == 0) {
            const std::string id = std::to_string(kUnprivilegedId);
            full.insert(full.end(), {"--reuid=" + id, "--regid=" + id, "--clear-groups"});
        }
        full.push_back("--");
        full.insert(full.end(), command.begin(), command.end());
        std::vector<char*> argv;
        for (std::string& argument : full)
            argv.push_back(argument.data());
        argv.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        // Started from the test's own folder, which nobody may not enter when
        // the checkout is its owner's alone.
        posix_spawn_file_actions_addchdir_np(&actions, folder_.c_str());
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, LogFile().c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        pid_t pid = -1;
        const int error = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (error != 0)
            throw std::runtime_error("posix_spawn " + full.back() + ": " + std::strerror(error));
        return pid;
    }

    int Run(std::vector<std::string> command) const
    {
        const pid_t pid = Spawn(std::move(command));
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    bool TryStart()
    {
        pid_ = Spawn({(bin_ / "postgres").string(), "-D", Data().string(), "-p", std::to_string(port_), "-c",
                      "listen_addresses=127.0.0.1", "-c", "unix_socket_directories=", "-c", "fsync=off", "-c",
                      "full_page_writes=off", "-c", "logging_collector=off"});
        const std::string ping = "host=127.0.0.1 port=" + std::to_string(port_) + " dbname=postgres user=" + kUser +
                                 " connect_timeout=2";
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < deadline) {
            if (PQping(ping.c_str()) == PQPING_OK)
                return true;
            if (Reap(std::chrono::milliseconds(0))) {
                pid_ = -1;
                return false; // ended by itself: most likely the port was taken
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        Stop();
        return false;
    }

    // Whether the server ended within `wait`.
    bool Reap(std::chrono::milliseconds wait) const
    {
        const auto deadline = std::chrono::steady_clock::now() + wait;
        for (;;) {
            int status = 0;
            const pid_t reaped = ::waitpid(pid_, &status, WNOHANG);
            if (reaped == pid_ || (reaped < 0 && errno == ECHILD))
                return true;
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    void Remove()
    {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    std::filesystem::path bin_;
    std::filesystem::path folder_;
    int port_ = 0;
    pid_t pid_ = -1;
};
