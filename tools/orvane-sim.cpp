// orvane-sim: a virtual four-channel LED controller on a pseudo-terminal.
//
// It prints the terminal's path on the first line of standard output, then
// answers every line that ends in CR the way the controller does: a channel
// command "AV" + A-D + three digits 000..500 is applied and answered "OK" CR,
// anything else "?" CR (base/Wire.h). Options change the answers so tests can
// provoke every way an exchange can go.
//
// Like a real adapter, whose exclusive mode ends with its last close, the
// terminal leaves exclusive mode once no program but the simulator holds it:
// a program killed while it held the port does not lock out its successor.
#include "base/Wire.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

const char* const kUsage =
    "usage: orvane-sim [options]\n"
    "  --link PATH        point a symbolic link at the terminal (replaces an old\n"
    "                     link; missing folders of PATH are made)\n"
    "  --log FILE         append every received line to FILE, one per line\n"
    "  --show, --no-show  show the four intensities (default: when stdout is a\n"
    "                     terminal)\n"
    "  --silent           never answer\n"
    "  --delay MS         answer MS milliseconds after the line came in\n"
    "  --split            answer in two pieces, --pause MS apart (default 100)\n"
    "  --double           answer two lines at once: the answer, then \"EXTRA\" CR\n"
    "  --reply TEXT       answer TEXT instead of OK/? (\\r \\n \\\\ \\xNN understood)\n"
    "  --no-cr            leave the CR off the answer\n"
    "  --close-after N    go away when line N comes in (logged, not answered)\n"
    "  --flood BYTES      answer BYTES letters A..Z, A.. as fast as the terminal\n"
    "                     takes them, then CR unless --no-cr (a device that\n"
    "                     floods the line)\n"
    "  -h, --help         print this and exit\n"
    "  -v, --version      print the version and exit\n"
    "A line that starts with # is logged, never answered and not counted: a\n"
    "test's marker, which proves that everything sent before it has come.\n";

struct Options {
    std::string link;
    std::string log;
    int show = -1;  // -1: when stdout is a terminal
    bool silent = false;
    long delayMs = 0;
    bool split = false;
    long pauseMs = 100;
    bool twoLines = false;
    bool haveReply = false;
    std::string reply;
    bool noCr = false;
    long closeAfter = 0;
    long flood = -1;  // -1: no flood
};

struct Pending {
    long long due;
    std::string bytes;
};

volatile sig_atomic_t g_stop = 0;
int g_wakeWrite = -1;

void OnSignal(int)
{
    g_stop = 1;
    if (g_wakeWrite >= 0) {
        const char c = 1;
        [[maybe_unused]] ssize_t n = write(g_wakeWrite, &c, 1);
    }
}

long long NowMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

bool ParseLong(const char* s, long& out)
{
    char* end = nullptr;
    errno = 0;
    const long v = strtol(s, &end, 10);
    if (errno || end == s || *end || v < 0)
        return false;
    out = v;
    return true;
}

std::string Unescape(const std::string& s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 >= s.size()) {
            out += s[i];
            continue;
        }
        const char c = s[++i];
        if (c == 'r') out += '\r';
        else if (c == 'n') out += '\n';
        else if (c == 'x' && i + 2 < s.size() && isxdigit((unsigned char)s[i + 1])
                 && isxdigit((unsigned char)s[i + 2])) {
            out += char(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else out += c;
    }
    return out;
}

// One line of the log: printable ASCII as is, every other byte as \xNN, so a
// stray LF or a non-ASCII byte shows.
std::string Escape(const std::string& s)
{
    std::string out;
    char buf[8];
    for (unsigned char c : s) {
        if (c == '\\') out += "\\\\";
        else if (c >= 0x20 && c < 0x7f) out += char(c);
        else {
            snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    return out;
}

class Sim {
public:
    explicit Sim(const Options& o) : opt_(o) {}

    int Run()
    {
        if (!OpenTerminal())
            return 1;
        if (!opt_.log.empty()) {
            log_ = fopen(opt_.log.c_str(), "a");
            if (!log_) {
                fprintf(stderr, "orvane-sim: %s: %s\n", opt_.log.c_str(), strerror(errno));
                return 1;
            }
        }
        // Before the link and the path: a stop that comes as soon as the path is
        // read must still take the link away.
        if (!WatchSignals())
            return 1;
        if (!opt_.link.empty() && !MakeLink())
            return 1;
        show_ = opt_.show < 0 ? isatty(STDOUT_FILENO) : opt_.show;
        printf("%s\n", slaveName_.c_str());
        fflush(stdout);
        Show();
        Loop();
        Cleanup();
        return 0;
    }

private:
    bool OpenTerminal()
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
            perror("orvane-sim: pseudo-terminal");
            return false;
        }
        slaveName_ = ptsname(master_);
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        fcntl(master_, F_SETFD, FD_CLOEXEC);
        if (!OpenSlave())
            return false;
        WatchOpeners();
        return true;
    }

    // Opens and closes of the terminal by other programs, after our own open.
    // Without a watch the mode is left as the programs leave it.
    void WatchOpeners()
    {
        notify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (notify_ >= 0 && inotify_add_watch(notify_, slaveName_.c_str(), IN_OPEN | IN_CLOSE) < 0) {
            close(notify_);
            notify_ = -1;
        }
    }

    void ReadOpeners()
    {
        alignas(inotify_event) char buf[4096];
        bool closed = false;
        ssize_t n;
        while ((n = read(notify_, buf, sizeof buf)) > 0) {
            for (ssize_t i = 0; i < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buf + i);
                if (e->mask & IN_OPEN)
                    ++openers_;
                if (e->mask & IN_CLOSE) {
                    openers_ = std::max(openers_ - 1, 0L);
                    closed = true;
                }
                if (e->mask & IN_Q_OVERFLOW)
                    openers_ = 0;  // lost count: the next close frees the terminal
                i += ssize_t(sizeof(inotify_event) + e->len);
            }
        }
        // A program that set exclusive mode and was killed left it behind,
        // and our own open keeps the terminal from resetting it.
        if (closed && openers_ == 0)
            ioctl(slave_, TIOCNXCL);
    }

    // Holding the other end open ourselves keeps the terminal alive while the
    // program closes and reopens its port; otherwise the master reads EIO.
    bool OpenSlave()
    {
        slave_ = open(slaveName_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave_ < 0) {
            perror("orvane-sim: open terminal");
            return false;
        }
        termios t{};
        tcgetattr(slave_, &t);
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        cfsetspeed(&t, Wire::kBaud);  // glibc takes the number itself
        tcsetattr(slave_, TCSANOW, &t);
        return true;
    }

    // The folders of the link's path, as mkdir -p makes them: a link into the
    // program's config folder works before the program has ever run.
    bool MakeLinkFolders()
    {
        const std::string& link = opt_.link;
        for (size_t slash = link.find('/', 1); slash != std::string::npos; slash = link.find('/', slash + 1)) {
            const std::string folder = link.substr(0, slash);
            if (folder.back() == '/' || mkdir(folder.c_str(), 0777) == 0)
                continue;
            // A folder that is there may still refuse mkdir (read-only, not ours).
            const int why = errno;
            struct stat st{};
            if (stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                continue;
            fprintf(stderr, "orvane-sim: cannot make the folder %s for the link %s: %s\n", folder.c_str(),
                    link.c_str(), strerror(why));
            return false;
        }
        return true;
    }

    bool MakeLink()
    {
        if (!MakeLinkFolders())
            return false;
        struct stat st{};
        if (lstat(opt_.link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
            fprintf(stderr, "orvane-sim: %s exists and is not a link\n", opt_.link.c_str());
            return false;
        }
        const std::string tmp = opt_.link + ".orvane-sim-" + std::to_string(getpid());
        unlink(tmp.c_str());
        if (symlink(slaveName_.c_str(), tmp.c_str()) != 0
            || rename(tmp.c_str(), opt_.link.c_str()) != 0) {
            fprintf(stderr, "orvane-sim: link %s: %s\n", opt_.link.c_str(), strerror(errno));
            unlink(tmp.c_str());
            return false;
        }
        linked_ = true;
        return true;
    }

    bool WatchSignals()
    {
        int wake[2];
        if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
            perror("orvane-sim: pipe");
            return false;
        }
        wakeRead_ = wake[0];
        g_wakeWrite = wake[1];
        struct sigaction sa{};
        sa.sa_handler = OnSignal;
        sigaction(SIGTERM, &sa, nullptr);
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGHUP, &sa, nullptr);
        signal(SIGPIPE, SIG_IGN);
        return true;
    }

    void Loop()
    {
        while (!g_stop && !gone_) {
            int timeout = -1;
            if (!pending_.empty())
                timeout = int(std::max(0LL, pending_.front().due - NowMs()));
            if (hangup_)
                timeout = timeout < 0 ? 100 : std::min(timeout, 100);
            // After a hang-up the terminal is left out of one poll, so a
            // lasting hang-up costs a look every 100 ms, not a tight loop.
            const short events = POLLIN | (Flooding() ? POLLOUT : 0);
            pollfd fds[3] = {{hangup_ ? -1 : master_, events, 0}, {wakeRead_, POLLIN, 0}, {notify_, POLLIN, 0}};
            const bool wasHungUp = hangup_;
            hangup_ = false;
            const int n = poll(fds, 3, timeout);
            if (n < 0 && errno != EINTR)
                break;
            if (fds[2].revents & POLLIN)
                ReadOpeners();
            if (!wasHungUp) {
                if (fds[0].revents & POLLIN)
                    ReadMaster();
                else if (fds[0].revents & (POLLHUP | POLLERR))
                    Hangup();
                if ((fds[0].revents & POLLOUT) && !gone_)
                    WriteFlood();
            }
            SendDue();
        }
    }

    void Hangup()
    {
        // Nobody holds the other end: reopen it and look again a little later.
        hangup_ = true;
        if (slave_ < 0)
            OpenSlave();
    }

    void ReadMaster()
    {
        char buf[4096];
        const ssize_t n = read(master_, buf, sizeof buf);
        if (n < 0) {
            if (errno == EIO)
                Hangup();
            return;
        }
        for (ssize_t i = 0; i < n && !gone_; ++i) {
            if (buf[i] == Wire::kLineEnd) {
                Line(line_);
                line_.clear();
            } else if (line_.size() < 4096) {
                line_ += buf[i];
            }
        }
    }

    void Line(const std::string& line)
    {
        if (log_) {
            fprintf(log_, "%s\n", Escape(line).c_str());
            fflush(log_);
        }
        if (!line.empty() && line[0] == '#')
            return;
        ++lines_;
        if (opt_.closeAfter > 0 && lines_ >= opt_.closeAfter) {
            gone_ = true;
            return;
        }
        std::string answer = Apply(line) ? "OK" : "?";
        if (opt_.haveReply)
            answer = opt_.reply;
        if (!opt_.noCr)
            answer += Wire::kLineEnd;
        if (opt_.twoLines)
            answer += std::string("EXTRA") + Wire::kLineEnd;
        if (opt_.silent)
            return;
        if (opt_.flood >= 0) {
            if (!Flooding())
                floodPos_ = 0;
            floodLeft_ += opt_.flood;
            if (!opt_.noCr)
                floodTail_ += Wire::kLineEnd;
            return;
        }
        const long long due = NowMs() + opt_.delayMs;
        if (opt_.split && answer.size() > 1) {
            const size_t half = answer.size() / 2;
            Queue(due, answer.substr(0, half));
            Queue(due + opt_.pauseMs, answer.substr(half));
        } else {
            Queue(due, answer);
        }
    }

    bool Apply(const std::string& line)
    {
        int index = 0;
        int intensity = 0;
        if (!Wire::ParseChannelCommand(line, index, intensity))
            return false;
        levels_[size_t(index)] = intensity;
        Show();
        return true;
    }

    void Queue(long long due, const std::string& bytes)
    {
        auto at = std::upper_bound(pending_.begin(), pending_.end(), due,
                                   [](long long d, const Pending& p) { return d < p.due; });
        pending_.insert(at, {due, bytes});
    }

    void SendDue()
    {
        const long long now = NowMs();
        while (!pending_.empty() && pending_.front().due <= now) {
            const std::string& b = pending_.front().bytes;
            // A full terminal queue means nobody reads: the answer is dropped,
            // as a controller's would be.
            [[maybe_unused]] ssize_t n = write(master_, b.data(), b.size());
            pending_.erase(pending_.begin());
        }
    }

    bool Flooding() const { return floodLeft_ > 0 || !floodTail_.empty(); }

    // As much of the flood as the terminal takes now; the rest when it has room.
    void WriteFlood()
    {
        static const std::string letters = [] {
            std::string l(65536 + 26, ' ');
            for (size_t i = 0; i < l.size(); ++i)
                l[i] = char('A' + i % 26);
            return l;
        }();
        while (floodLeft_ > 0) {
            const size_t chunk = size_t(std::min<long long>(floodLeft_, 65536));
            const ssize_t n = write(master_, letters.data() + floodPos_ % 26, chunk);
            if (n <= 0)
                return;
            floodLeft_ -= n;
            floodPos_ += n;
        }
        const ssize_t n = write(master_, floodTail_.data(), floodTail_.size());
        if (n > 0)
            floodTail_.erase(0, size_t(n));
    }

    void Show()
    {
        if (!show_)
            return;
        std::string shown = isatty(STDOUT_FILENO) ? "\r" : "";
        char one[16];
        for (int i = 0; i < Channels::kCount; ++i) {
            snprintf(one, sizeof one, "%s%c %3d", i > 0 ? "  " : "", Channels::kAll[size_t(i)].command,
                     levels_[size_t(i)]);
            shown += one;
        }
        printf("%s%s", shown.c_str(), isatty(STDOUT_FILENO) ? "" : "\n");
        fflush(stdout);
    }

    void Cleanup()
    {
        if (linked_) {
            // Only our own link goes: another simulator may have taken the name over.
            char target[4096];
            const ssize_t n = readlink(opt_.link.c_str(), target, sizeof target - 1);
            if (n >= 0 && std::string(target, size_t(n)) == slaveName_)
                unlink(opt_.link.c_str());
        }
        if (show_ && isatty(STDOUT_FILENO))
            printf("\n");
        if (slave_ >= 0)
            close(slave_);
        close(master_);
        if (notify_ >= 0)
            close(notify_);
        if (log_)
            fclose(log_);
    }

    Options opt_;
    int wakeRead_ = -1;
    int master_ = -1;
    int slave_ = -1;
    int notify_ = -1;
    long openers_ = 0;  // other programs that hold the terminal open
    std::string slaveName_;
    bool linked_ = false;
    bool show_ = false;
    bool gone_ = false;
    bool hangup_ = false;
    FILE* log_ = nullptr;
    std::string line_;
    long lines_ = 0;
    std::array<int, Channels::kCount> levels_{};
    std::vector<Pending> pending_;
    long long floodLeft_ = 0;
    long long floodPos_ = 0;
    std::string floodTail_;
};

} // namespace

int main(int argc, char** argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const char* what) -> const char* {
            if (i + 1 >= argc) {
                fprintf(stderr, "orvane-sim: %s needs %s\n%s", a.c_str(), what, kUsage);
                exit(2);
            }
            return argv[++i];
        };
        auto number = [&](long& out) {
            if (!ParseLong(value("a number"), out)) {
                fprintf(stderr, "orvane-sim: %s needs a number of 0 or more\n", a.c_str());
                exit(2);
            }
        };
        if (a == "--link") o.link = value("a path");
        else if (a == "--log") o.log = value("a file");
        else if (a == "--show") o.show = 1;
        else if (a == "--no-show") o.show = 0;
        else if (a == "--silent") o.silent = true;
        else if (a == "--delay") number(o.delayMs);
        else if (a == "--split") o.split = true;
        else if (a == "--pause") number(o.pauseMs);
        else if (a == "--double") o.twoLines = true;
        else if (a == "--reply") { o.reply = Unescape(value("a text")); o.haveReply = true; }
        else if (a == "--no-cr") o.noCr = true;
        else if (a == "--close-after") number(o.closeAfter);
        else if (a == "--flood") number(o.flood);
        else if (a == "--help" || a == "-h") { fputs(kUsage, stdout); return 0; }
        else if (a == "--version" || a == "-v") { puts("orvane-sim " ORVANE_VERSION); return 0; }
        else {
            fprintf(stderr, "orvane-sim: unknown option %s\n%s", a.c_str(), kUsage);
            return 2;
        }
    }
    return Sim(o).Run();
}
