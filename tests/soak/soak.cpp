// qr740-soak: one qr740-flash on several ports for a given time, against
// simulated controllers that draw a fault (or none) for every session and whose
// adapters are pulled out at random, to come back once the session has ended.
// Every session must end in the outcome its fault implies, none may hang, and
// the programmer's open descriptors and resident memory must stay flat once it
// has warmed up. Prints the counts and figures; exits 1 on any breach.
//
//   qr740-soak [--seconds N] [--ports N] [--seed N] [--keep]
//
// --keep leaves the folder with the transcripts, the JSON events and the
// journal, and says where it is.

#include "child_process.h"
#include "scratch_dir.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

// Longer than the programmer's longest wait (8 s for a reply), so that a
// silenced controller is never taken for the next one while the programmer
// still waits for the first.
constexpr int kQuietMs = 9000;
// No session takes this long: the longest is a time-out, the reset pause and
// an unplugged adapter's quiet period.
constexpr std::int64_t kStuckMs = 60'000;
// On average each adapter is pulled out this often.
constexpr double kUnplugEverySeconds = 45;
constexpr std::uint32_t kFlashStart = 0x4000;
constexpr int kBlocks = 16;
constexpr int kBlockSize = 256;

// What each fault the simulator draws leads to, parameters included.
struct TExpected {
    const char* outcome;
    const char* failure;
};
const std::map<std::string, TExpected> kExpected = {
    {"none", {"programmed with parameters", ""}},
    {"nak-erase", {"failed", "erase-refused"}},
    {"nak-block:2", {"failed", "block-refused"}},
    {"silent-after:hs", {"failed", "no-response"}},
    {"silent-after:id", {"failed", "no-response"}},
    {"silent-after:loader", {"failed", "no-response"}},
    {"silent-after:V", {"failed", "no-response"}},
    {"silent-after:E", {"failed", "no-response"}},
    {"silent-after:P:2", {"failed", "no-response"}},
    {"silent-after:S", {"failed", "no-response"}},
    {"bad-crc:L", {"failed", "no-response"}},
    {"bad-crc:V", {"failed", "no-response"}},
    {"bad-crc:E", {"failed", "no-response"}},
    {"bad-crc:P", {"failed", "no-response"}},
    {"bad-crc:S", {"failed", "no-response"}},
    {"hangup-after-block:2", {"failed", "port-error"}},
    {"at-silent", {"failed", "no-response"}},
    {"at-error", {"failed", "parameter-refused"}},
};

std::int64_t MsOf(const QString& utc)
{
    const QDateTime t = QDateTime::fromString(utc, Qt::ISODateWithMs);
    return t.isValid() ? t.toMSecsSinceEpoch() : -1;
}

// One session of a simulated controller, as its transcript tells it.
struct TSession {
    int number = 0;
    std::string fault;
    std::int64_t startedMs = 0; // wall clock, from the session's first line
    bool unplugged = false;
    bool restartAnswered = false;
    int parameterLines = 0;
    std::optional<std::int64_t> endedMs; // when the next one started
};

// One controller's record, from qr740-flash's JSON events.
struct TRecord {
    std::string outcome;
    std::string failure;
    std::int64_t startedMs = 0;
    int parameterLines = 0;
    int parameterLinesRefused = 0;
};

std::vector<TSession> ReadSessions(const fs::path& transcript)
{
    static const std::regex begins(R"(session (\d+): fault (\S+), started (\S+Z))");
    std::vector<TSession> sessions;
    std::ifstream in(transcript);
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (std::regex_search(line, m, begins)) {
            TSession s;
            s.number = std::stoi(m[1]);
            s.fault = m[2];
            s.startedMs = MsOf(QString::fromStdString(m[3]));
            if (!sessions.empty())
                sessions.back().endedMs = s.startedMs;
            sessions.push_back(s);
            continue;
        }
        if (sessions.empty())
            continue;
        TSession& s = sessions.back();
        if (line.find("the adapter is unplugged") != std::string::npos)
            s.unplugged = true;
        else if (line.find("-> frame 'S'") != std::string::npos && line.find("ACK; parameter mode") != std::string::npos)
            s.restartAnswered = true;
        else if (line.find(" parameters <- \"") != std::string::npos && line.find("!!") == std::string::npos)
            ++s.parameterLines;
    }
    return sessions;
}

std::map<std::string, std::vector<TRecord>> ReadRecords(const fs::path& events)
{
    std::map<std::string, std::vector<TRecord>> records;
    std::ifstream in(events);
    for (std::string line; std::getline(in, line);) {
        const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
        if (o.value("event").toString() != "controller")
            continue;
        TRecord r;
        r.outcome = o.value("outcome").toString().toStdString();
        r.failure = o.value("failure").toString().toStdString();
        r.startedMs = MsOf(o.value("started").toString());
        r.parameterLines = o.value("parameter_lines").toInt();
        r.parameterLinesRefused = o.value("parameter_lines_refused").toInt();
        records[o.value("port").toString().toStdString()].push_back(r);
    }
    return records;
}

struct TSample {
    Clock::time_point at;
    int descriptors = 0;
    long rssKiB = 0;
};

TSample Sample(pid_t pid)
{
    TSample s{Clock::now()};
    std::error_code ec;
    // A port's own descriptor comes and goes with its adapter; a pulled
    // adapter for the whole of one window would look like a leak in the other.
    for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::error_code linkError;
        if (fs::read_symlink(it->path(), linkError).string().rfind("/dev/pts/", 0) != 0)
            ++s.descriptors;
    }
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            s.rssKiB = std::stol(line.substr(6));
    return s;
}

// The least and the most over the samples from `from` to `to`. A port's event
// thread and its watch for the adapter hold descriptors of their own while the
// port is open or looked for, so one sample says little; a leak raises the
// least at the end above the most after warm-up.
struct TRange {
    TSample least{{}, 1 << 30, 1L << 40};
    TSample most{{}, 0, 0};
};

TRange RangeOf(const std::vector<TSample>& samples, Clock::time_point from, Clock::time_point to)
{
    TRange range;
    for (const TSample& s : samples) {
        if (s.at < from || s.at > to)
            continue;
        range.least.descriptors = std::min(range.least.descriptors, s.descriptors);
        range.least.rssKiB = std::min(range.least.rssKiB, s.rssKiB);
        range.most.descriptors = std::max(range.most.descriptors, s.descriptors);
        range.most.rssKiB = std::max(range.most.rssKiB, s.rssKiB);
    }
    return range;
}

struct TOptions {
    int seconds = 600;
    int ports = 8;
    std::uint32_t seed = 0;
    bool keep = false;
};

std::optional<TOptions> ParseOptions(int argc, char** argv)
{
    TOptions o;
    o.seed = std::random_device{}();
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool valued = i + 1 < argc;
        if (a == "--seconds" && valued)
            o.seconds = std::stoi(argv[++i]);
        else if (a == "--ports" && valued)
            o.ports = std::stoi(argv[++i]);
        else if (a == "--seed" && valued)
            o.seed = std::uint32_t(std::stoul(argv[++i]));
        else if (a == "--keep")
            o.keep = true;
        else
            return std::nullopt;
    }
    if (o.seconds < 30 || o.ports < 1)
        return std::nullopt;
    return o;
}

class TSoak {
public:
    TSoak(const TOptions& options, const fs::path& bin) : options_(options), bin_(bin) {}

    int Run()
    {
        LayOut();
        std::printf("qr740-soak: %d ports for %d s, seed %u, in %s\n", options_.ports, options_.seconds,
                    options_.seed, dir_.Path().c_str());
        std::fflush(stdout);
        if (!StartControllers() || !StartProgrammer())
            return 1;
        Drive();
        Stop();
        Judge();
        return Report();
    }

private:
    fs::path Link(int port) const { return dir_ / ("port" + std::to_string(port)); }
    fs::path Transcript(int port) const { return dir_ / ("sim" + std::to_string(port) + ".txt"); }

    void LayOut()
    {
        std::string image(kBlocks * kBlockSize, '\0');
        for (std::size_t i = 0; i < image.size(); ++i)
            image[i] = char((i * 7 + i / kBlockSize) & 0x7F);
        // Blank blocks are stepped over; the second block is written, as the
        // block faults need.
        for (int blank : {5, 9, 13})
            std::fill_n(image.begin() + blank * kBlockSize, kBlockSize, '\xFF');
        std::ofstream(dir_ / "soak.bin", std::ios::binary) << image;
        dir_.WriteFile("soak.ldr", std::string(512, 'L'));
        dir_.WriteFile("soak.par", "000=25\n102 7\n");
        dir_.WriteFile("Loader.ini", "[Binary]\nQR 740=soak\n[Loader]\nQR740=soak.ldr\n"
                                     "[Load Parameters]\nParameter File=soak\n");
    }

    bool StartControllers()
    {
        char end[16];
        std::snprintf(end, sizeof end, "0x%X", unsigned(kFlashStart + kBlocks * kBlockSize));
        for (int p = 1; p <= options_.ports; ++p) {
            sims_.push_back(std::make_unique<ChildProcess>(
                (bin_ / "qr740-sim").string(),
                std::vector<std::string>{"--link", Link(p).string(), "--random-faults",
                                         std::to_string(options_.seed * 1000u + unsigned(p)), "--quiet-ms",
                                         std::to_string(kQuietMs), "--flash-end", end},
                Transcript(p)));
        }
        const auto deadline = Clock::now() + 10s;
        for (int p = 1; p <= options_.ports; ++p) {
            while (!fs::exists(Link(p)) && Clock::now() < deadline)
                std::this_thread::sleep_for(10ms);
            if (!fs::exists(Link(p))) {
                std::printf("qr740-soak: the simulated controller on port %d did not start\n", p);
                return false;
            }
        }
        return true;
    }

    bool StartProgrammer()
    {
        std::vector<std::string> args = {"--folder", dir_.Path().string(), "--json", "--count", "0"};
        for (int p = 1; p <= options_.ports; ++p)
            args.insert(args.end(), {"--port", Link(p).string()});
        flash_ = std::make_unique<ChildProcess>((bin_ / "qr740-flash").string(), args, dir_ / "events.jsonl",
                                                dir_ / "errors.txt");
        if (!flash_->Started()) {
            std::printf("qr740-soak: qr740-flash did not start\n");
            return false;
        }
        // A port missing when the programmer starts is a setting to mend, not
        // an adapter to wait for: nothing is pulled out before all are open.
        const auto deadline = Clock::now() + 20s;
        while (WaitingPorts() < options_.ports && Clock::now() < deadline && flash_->WaitForExit(0ms) < 0)
            std::this_thread::sleep_for(20ms);
        if (WaitingPorts() < options_.ports) {
            std::printf("qr740-soak: qr740-flash did not open every port\n");
            return false;
        }
        return true;
    }

    int WaitingPorts() const
    {
        std::ifstream events(dir_ / "events.jsonl");
        std::set<std::string> ports;
        for (std::string line; std::getline(events, line);) {
            const QJsonObject event = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
            if (event.value("event").toString() == "waiting")
                ports.insert(event.value("port").toString().toStdString());
        }
        return int(ports.size());
    }

    void Drive()
    {
        std::mt19937 random(options_.seed);
        std::uniform_real_distribution<double> chance(0, 1);
        std::uniform_int_distribution<int> port(0, options_.ports - 1);
        const auto tick = 250ms;
        const double perTick = std::chrono::duration<double>(tick).count() / kUnplugEverySeconds * options_.ports;
        start_ = Clock::now();
        const auto end = start_ + std::chrono::seconds(options_.seconds);
        auto nextSample = start_;
        while (Clock::now() < end) {
            if (flash_->WaitForExit(0ms) >= 0) {
                breaches_.push_back("qr740-flash ended by itself during the soak");
                return;
            }
            if (chance(random) < perTick) {
                sims_[std::size_t(port(random))]->Signal(SIGUSR1);
                ++unplugsAsked_;
            }
            if (Clock::now() >= nextSample) {
                samples_.push_back(Sample(flash_->Pid()));
                nextSample += 1s;
            }
            std::this_thread::sleep_for(tick);
        }
    }

    void Stop()
    {
        endMs_ = QDateTime::currentMSecsSinceEpoch();
        flash_->Signal(SIGTERM);
        const int status = flash_->WaitForExit(20s);
        if (status != 128 + SIGTERM)
            breaches_.push_back("qr740-flash ended with status " + std::to_string(status) +
                                " on SIGTERM, not 143 (-1: it did not end within 20 s)");
        for (auto& sim : sims_) {
            sim->Signal(SIGTERM);
            sim->WaitForExit(10s);
        }
    }

    void Breach(int port, const TSession& s, const std::string& what)
    {
        char head[96];
        std::snprintf(head, sizeof head, "port %d, session %d (fault %s%s): ", port, s.number, s.fault.c_str(),
                      s.unplugged ? ", unplugged" : "");
        breaches_.push_back(head + what);
    }

    void Judge()
    {
        const auto records = ReadRecords(dir_ / "events.jsonl");
        for (int p = 1; p <= options_.ports; ++p) {
            std::vector<TSession> sessions = ReadSessions(Transcript(p));
            const auto found = records.find(Link(p).string());
            const std::vector<TRecord> none;
            const std::vector<TRecord>& mine = found == records.end() ? none : found->second;

            // A record belongs to the session in which the controller announced
            // itself: the last one that began before it.
            std::vector<std::vector<const TRecord*>> of(sessions.size());
            for (const TRecord& r : mine) {
                auto after = std::upper_bound(sessions.begin(), sessions.end(), r.startedMs,
                                              [](std::int64_t t, const TSession& s) { return t < s.startedMs; });
                if (after == sessions.begin()) {
                    breaches_.push_back("port " + std::to_string(p) + ": a record began before any session");
                    continue;
                }
                of[std::size_t(after - sessions.begin() - 1)].push_back(&r);
            }
            for (std::size_t i = 0; i < sessions.size(); ++i)
                JudgeSession(p, sessions[i], of[i], i + 1 == sessions.size());
        }
    }

    void JudgeSession(int port, const TSession& s, const std::vector<const TRecord*>& records, bool last)
    {
        ++sessions_;
        unplugged_ += s.unplugged ? 1 : 0;
        const std::int64_t length = s.endedMs.value_or(endMs_) - s.startedMs;
        if (length > kStuckMs)
            Breach(port, s, "lasted " + std::to_string(length / 1000) + " s");
        const auto expected = kExpected.find(s.fault);
        if (expected == kExpected.end()) {
            Breach(port, s, "no outcome is known for this fault");
            return;
        }
        auto& tally = byFault_[s.fault];
        ++tally.first;
        if (records.size() > 1) {
            Breach(port, s, std::to_string(records.size()) + " records for one controller");
            return;
        }
        if (records.empty()) {
            // Pulled out before the programmer answered it, or still waiting at the end.
            if (s.unplugged || last) {
                ++outcomes_[s.unplugged ? "no record (unplugged)" : "no record (the soak ended)"];
                ++tally.second;
            } else {
                Breach(port, s, "no record");
            }
            return;
        }
        const TRecord& r = *records.front();
        ++outcomes_[r.outcome];
        const bool asExpected = r.outcome == expected->second.outcome && r.failure == expected->second.failure;
        // A session whose adapter went fails for that, unless its own fault
        // had ended it first.
        const bool excused = (s.unplugged && r.failure == "port-error") || (last && r.outcome == "interrupted");
        if (!asExpected && !excused) {
            Breach(port, s, "ended " + r.outcome + (r.failure.empty() ? "" : " (" + r.failure + ")") +
                                ", not " + expected->second.outcome);
            return;
        }
        // Success is believed only when the controller saw it through.
        if (r.outcome.rfind("programmed", 0) == 0 && !s.restartAnswered)
            Breach(port, s, "recorded as programmed, but the controller never restarted");
        // Every line was answered when the download ended, whatever the answers.
        const int answered = r.parameterLines + r.parameterLinesRefused;
        if ((r.outcome == "programmed with parameters" || r.failure == "parameter-refused") &&
            s.parameterLines != answered + 1)
            Breach(port, s, "recorded " + std::to_string(answered) + " parameter lines answered; the controller took " +
                                std::to_string(s.parameterLines) + " besides ATCODE=1");
        ++tally.second;
    }

    int Report()
    {
        std::printf("\nsessions: %d on %d ports, %d with the adapter pulled out (%d pulls asked)\n", sessions_,
                    options_.ports, unplugged_, unplugsAsked_);
        std::printf("outcomes:");
        for (const auto& [outcome, count] : outcomes_)
            std::printf(" %s %d;", outcome.c_str(), count);
        std::printf("\nby fault (as implied / sessions):");
        for (const auto& [fault, tally] : byFault_)
            std::printf(" %s %d/%d;", fault.c_str(), tally.second, tally.first);
        std::printf("\n");

        const auto warm = start_ + std::chrono::seconds(std::min(60, options_.seconds / 3));
        const auto end = start_ + std::chrono::seconds(options_.seconds);
        const auto window = (end - warm) / 5;
        const TRange early = RangeOf(samples_, warm, warm + window);
        const TRange late = RangeOf(samples_, end - window, end);
        const auto warmSeconds = std::chrono::duration_cast<std::chrono::seconds>(warm - start_).count();
        std::printf("qr740-flash after %lld s of warm-up / at the end (least to most over a fifth of the run):\n",
                    static_cast<long long>(warmSeconds));
        std::printf("  open descriptors  %d-%d / %d-%d (ports aside)\n", early.least.descriptors,
                    early.most.descriptors, late.least.descriptors, late.most.descriptors);
        std::printf("  resident memory   %.1f-%.1f MiB / %.1f-%.1f MiB\n", double(early.least.rssKiB) / 1024,
                    double(early.most.rssKiB) / 1024, double(late.least.rssKiB) / 1024,
                    double(late.most.rssKiB) / 1024);
        if (samples_.size() < 10)
            breaches_.push_back("too few samples of the programmer");
        if (late.least.descriptors > early.most.descriptors)
            breaches_.push_back("the open descriptors grew from " + std::to_string(early.most.descriptors) +
                                " at most to " + std::to_string(late.least.descriptors) + " at least");
        // Allocator and SQLite page cache settle within a few MiB.
        if (late.least.rssKiB > early.least.rssKiB + 4096)
            breaches_.push_back("the resident memory grew by " +
                                std::to_string((late.least.rssKiB - early.least.rssKiB) / 1024) + " MiB");

        if (breaches_.empty()) {
            std::printf("qr740-soak: every session ended as its fault implies; nothing stuck, nothing grew\n");
            return 0;
        }
        std::printf("qr740-soak: %zu breaches\n", breaches_.size());
        for (std::size_t i = 0; i < std::min<std::size_t>(breaches_.size(), 30); ++i)
            std::printf("  %s\n", breaches_[i].c_str());
        keep_ = true;
        return 1;
    }

public:
    bool Keep() const { return keep_ || options_.keep; }
    const fs::path& Folder() const { return dir_.Path(); }

private:
    TOptions options_;
    fs::path bin_;
    ScratchDir dir_;
    std::vector<std::unique_ptr<ChildProcess>> sims_;
    std::unique_ptr<ChildProcess> flash_;
    Clock::time_point start_;
    std::int64_t endMs_ = 0;
    std::vector<TSample> samples_;
    int unplugsAsked_ = 0;
    int sessions_ = 0;
    int unplugged_ = 0;
    std::map<std::string, int> outcomes_;
    std::map<std::string, std::pair<int, int>> byFault_;
    std::vector<std::string> breaches_;
    bool keep_ = false;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const std::optional<TOptions> options = ParseOptions(argc, argv);
    if (!options) {
        std::fprintf(stderr, "usage: qr740-soak [--seconds N (30 or more)] [--ports N] [--seed N] [--keep]\n");
        return 2;
    }
    auto soak = std::make_unique<TSoak>(*options, fs::read_symlink("/proc/self/exe").parent_path());
    const int status = soak->Run();
    if (soak->Keep()) {
        // The scratch folder goes with the soak; keep a copy of it.
        const fs::path kept = fs::temp_directory_path() / ("qr740-soak-" + std::to_string(options->seed));
        std::error_code ec;
        fs::remove_all(kept, ec);
        fs::copy(soak->Folder(), kept, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
        std::printf("kept in %s\n", kept.c_str());
    }
    return status;
}
