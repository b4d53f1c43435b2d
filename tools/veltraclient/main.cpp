// veltraclient: talks to one Veltrabox port. Sends each hex telegram given (on the command line,
// or line by line on standard input) as a data message, prints every message received (and with
// -D decodes every telegram both ways), and sends its own keep-alive while it has nothing to say
// so that the server keeps it.
#include <getopt.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "ipmsg.h"
#include "lonmsg/decode.h"
#include "status.h"

namespace {

using Clock = std::chrono::steady_clock;

// The server drops a client that sends nothing for four of its 5 s periods; 2 s keeps well clear.
constexpr auto KEEP_ALIVE_AFTER = std::chrono::seconds(2);
// A server closes a client it will not serve (another client is served, the address is not
// allowed, the interface did not open) within this time of the connection; one it serves, it
// keeps. So -n 0 waits this long before it takes its telegrams as delivered.
constexpr auto SETTLE = std::chrono::seconds(1);

// Exit statuses beside 0, 1 (no connection, or another failure) and 2 (bad usage).
constexpr int EXIT_CLOSED_AT_ONCE = 3;
constexpr int EXIT_CLOSED_LATER = 4;
constexpr int EXIT_NO_ANSWER = 5;

const char USAGE[] =
    "usage: veltraclient [-h host] -p port [-n count] [-t seconds] [-e] [-D] [telegram ... | -]\n"
    "       veltraclient -S [-v | -j | --json] [-p port] [socket]\n"
    "  Sends each telegram (hex bytes, e.g. \"00 03 01 02 03\") as a data message; with no\n"
    "  telegram, or with -, reads one telegram per line from standard input.\n"
    "  Prints every message received: time, id, length, bytes.\n"
    "  -n count    exit after receiving count data messages\n"
    "  -t seconds  exit after this many seconds\n"
    "  -e          echo: send every data message received back as it came\n"
    "  -D          decode: print every telegram, received or sent, with its direction and\n"
    "              a readable line (on a monitor port: both ways of the served client)\n"
    "  -S          show the server's status, one row per instance: from the socket given,\n"
    "              else $VELTRABOX_STATUS_SOCKET, else the server in /run/veltrabox that\n"
    "              serves -p port (without -p, every server there)\n"
    "  -v          with -S: every field of every instance\n"
    "  -j, --json  with -S: the JSON lines as they came\n"
    "Status: 0 when -n is met (-n 0: the server kept the connection for a second) or -t runs\n"
    "out without -n; 1 no connection; 2 bad usage; 3 the server closed the connection at once\n"
    "(another client is served, the address is not allowed, or its interface did not open);\n"
    "4 the server closed it later, before -n was met; 5 -t ran out before -n was met.\n";

struct Options {
    const char* host = "127.0.0.1";
    const char* port = nullptr;
    long count = -1;     // data messages to wait for; -1: no limit
    double seconds = 0;  // 0: no time limit
    bool echo = false;
    bool decode = false;
    std::vector<ipmsg::Bytes> telegrams;
    bool readStdin = false;
    bool status = false;
    StatusForm form = StatusForm::TABLE;
    const char* statusPath = nullptr;
};

bool ParseOptions(int argc, char** argv, Options* options) {
    int opt;
    static const option LONG_OPTIONS[] = {{"json", no_argument, nullptr, 'j'}, {}};
    while ((opt = getopt_long(argc, argv, "h:p:n:t:eDSjv", LONG_OPTIONS, nullptr)) != -1) {
        char* end = nullptr;
        switch (opt) {
            case 'h':
                options->host = optarg;
                break;
            case 'p':
                options->port = optarg;
                break;
            case 'n':
                options->count = std::strtol(optarg, &end, 10);
                if (*end || options->count < 0) return false;
                break;
            case 't':
                options->seconds = std::strtod(optarg, &end);
                if (*end || options->seconds <= 0) return false;
                break;
            case 'e':
                options->echo = true;
                break;
            case 'D':
                options->decode = true;
                break;
            case 'S':
                options->status = true;
                break;
            case 'j':
                options->form = StatusForm::JSON;
                break;
            case 'v':
                options->form = StatusForm::EVERYTHING;
                break;
            default:
                return false;
        }
    }
    if (options->status) {
        if (argc - optind > 1) return false;
        if (optind < argc) options->statusPath = argv[optind];
        return true;
    }
    if (!options->port || options->form != StatusForm::TABLE) return false;
    for (int i = optind; i < argc; ++i) {
        if (std::strcmp(argv[i], "-") == 0) {
            options->readStdin = true;
            continue;
        }
        ipmsg::Bytes telegram;
        if (!ipmsg::ParseHex(argv[i], &telegram) || telegram.size() > ipmsg::MAX_DATA) {
            std::fprintf(stderr, "veltraclient: not a telegram: %s\n", argv[i]);
            return false;
        }
        options->telegrams.push_back(telegram);
    }
    if (optind == argc) options->readStdin = true;
    return true;
}

int Connect(const char* host, const char* port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int r = getaddrinfo(host, port, &hints, &found);
    if (r != 0) {
        std::fprintf(stderr, "veltraclient: %s:%s: %s\n", host, port, gai_strerror(r));
        return -1;
    }
    int fd = -1;
    int error = 0;
    for (addrinfo* a = found; a && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        if (connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            error = errno;
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    if (fd < 0) {
        std::fprintf(stderr, "veltraclient: connect %s:%s: %s\n", host, port, strerror(error));
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// What the connection has seen, for the reason it ends with.
struct Session {
    Clock::time_point connected = Clock::now();
    long messages = 0;  // received, keep-alives included
};

// The server ended the connection (its end of the stream, or a reset): why, and the status.
int ClosedByServer(const Session& session) {
    if (session.messages == 0 && Clock::now() - session.connected < SETTLE) {
        std::fprintf(stderr,
                     "veltraclient: the server closed the connection at once: another client is "
                     "served there, this address is not allowed, or its LON interface did not "
                     "open\n");
        return EXIT_CLOSED_AT_ONCE;
    }
    std::fprintf(stderr, "veltraclient: the server closed the connection after %ld messages\n",
                 session.messages);
    return EXIT_CLOSED_LATER;
}

// 0 when all of `wire` went; else the status to end with.
int SendAll(int fd, const ipmsg::Bytes& wire, const Session& session) {
    size_t done = 0;
    while (done < wire.size()) {
        ssize_t n = send(fd, wire.data() + done, wire.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EPIPE || errno == ECONNRESET)) return ClosedByServer(session);
        if (n <= 0) {
            std::fprintf(stderr, "veltraclient: send: %s\n", strerror(errno));
            return 1;
        }
        done += size_t(n);
    }
    return 0;
}

bool IsTelegram(const ipmsg::Message& message) {
    return message.id == ipmsg::ID_DATA || message.id == ipmsg::ID_TO_BUS;
}

// "14:02:07.315 id=16 len=5 00 03 01 02 03"; a sent one says "sent" after the time. With
// `decode` every telegram says its direction there ("from bus", "to bus" as a monitor sees it,
// "sent") and gets its readable line below, under the id.
void PrintMessage(const ipmsg::Message& message, bool sent, bool decode) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    tm parts;
    localtime_r(&now.tv_sec, &parts);
    const char* direction = sent                             ? " sent"
                            : !decode                        ? ""
                            : message.id == ipmsg::ID_DATA   ? " from bus"
                            : message.id == ipmsg::ID_TO_BUS ? " to bus"
                                                             : "";
    std::printf("%02d:%02d:%02d.%03ld%s id=%u len=%zu%s%s\n", parts.tm_hour, parts.tm_min,
                parts.tm_sec, now.tv_nsec / 1000000, direction, message.id, message.data.size(),
                message.data.empty() ? "" : " ", ipmsg::HexOf(message.data).c_str());
    if (decode && IsTelegram(message)) {
        std::printf("             %s\n", lonmsg::DescribeTelegram(message.data).c_str());
    }
    std::fflush(stdout);
}

int SendTelegram(int fd, const ipmsg::Bytes& telegram, bool decode, const Session& session) {
    if (decode) PrintMessage({ipmsg::ID_DATA, telegram}, true, true);
    return SendAll(fd, ipmsg::Encode(ipmsg::ID_DATA, telegram), session);
}

// Sends every whole line in `lines` as a telegram and keeps the unfinished rest. Returns 0, or
// the status to end with when sending failed; *sent counts the telegrams sent.
int SendLines(int fd, std::string* lines, bool decode, const Session& session, int* sent) {
    size_t end;
    while ((end = lines->find('\n')) != std::string::npos) {
        std::string line = lines->substr(0, end);
        lines->erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        ipmsg::Bytes telegram;
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        if (!ipmsg::ParseHex(line, &telegram) || telegram.size() > ipmsg::MAX_DATA) {
            std::fprintf(stderr, "veltraclient: not a telegram, skipped: %s\n", line.c_str());
            continue;
        }
        if (int status = SendTelegram(fd, telegram, decode, session)) return status;
        ++*sent;
    }
    return 0;
}

int Milliseconds(Clock::duration d) {
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(d).count();
    return ms < 0 ? 0 : int(ms);
}

int Run(const Options& options, int fd) {
    Session session;
    Clock::time_point lastSend = Clock::now();
    for (const auto& telegram : options.telegrams) {
        if (int status = SendTelegram(fd, telegram, options.decode, session)) return status;
    }
    const Clock::time_point deadline =
        options.seconds > 0 ? Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>(options.seconds))
                            : Clock::time_point::max();
    bool stdinOpen = options.readStdin;
    std::string lines;
    ipmsg::Decoder decoder;
    long received = 0;
    // -n 0 has what it waited for once the server has kept the connection.
    const Clock::time_point settled =
        options.count == 0 ? session.connected + SETTLE : Clock::time_point::min();
    for (;;) {
        Clock::time_point now = Clock::now();
        if (options.count >= 0 && received >= options.count && now >= settled) return 0;
        if (now >= deadline) {
            if (options.count < 0) return 0;
            std::fprintf(stderr, "veltraclient: no answer: %ld of %ld data messages within -t\n",
                         received, options.count);
            return EXIT_NO_ANSWER;
        }
        if (now - lastSend >= KEEP_ALIVE_AFTER) {
            if (int status = SendAll(fd, ipmsg::Encode(ipmsg::ID_ALIVE, {}), session)) {
                return status;
            }
            lastSend = now;
        }
        Clock::time_point wake =
            std::min({deadline, lastSend + KEEP_ALIVE_AFTER, std::max(settled, now)});
        pollfd fds[2] = {{fd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        int r = poll(fds, stdinOpen ? 2 : 1, Milliseconds(wake - now));
        if (r < 0 && errno != EINTR) return 1;
        if (r <= 0) continue;
        if (fds[0].revents) {
            uint8_t buffer[4096];
            ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n == 0 || (n < 0 && errno == ECONNRESET)) return ClosedByServer(session);
            if (n < 0) {
                std::fprintf(stderr, "veltraclient: recv: %s\n", strerror(errno));
                return 1;
            }
            ipmsg::Feed(decoder, buffer, size_t(n));
            ipmsg::Message message;
            while (ipmsg::Next(decoder, &message)) {
                PrintMessage(message, false, options.decode);
                ++session.messages;
                if (!IsTelegram(message)) continue;
                ++received;
                if (options.echo && message.id == ipmsg::ID_DATA) {
                    if (int status = SendTelegram(fd, message.data, options.decode, session)) {
                        return status;
                    }
                    lastSend = Clock::now();
                }
            }
        }
        if (stdinOpen && fds[1].revents) {
            char buffer[4096];
            ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                stdinOpen = false;
                lines += '\n';  // a last line without its line end
            } else {
                lines.append(buffer, size_t(n));
            }
            int sent = 0;
            if (int status = SendLines(fd, &lines, options.decode, session, &sent)) return status;
            if (sent > 0) lastSend = Clock::now();
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        std::fputs(USAGE, stderr);
        return 2;
    }
    if (options.status) {
        return ShowStatus(options.statusPath, options.port, options.form);
    }
    int fd = Connect(options.host, options.port);
    if (fd < 0) return 1;
    int status = Run(options, fd);
    close(fd);
    return status;
}
