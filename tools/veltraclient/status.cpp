#include "status.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Json = nlohmann::ordered_json;
using Row = std::vector<std::string>;

constexpr const char* SOCKET_FOLDER = "/run/veltrabox";
constexpr size_t TABLE_WIDTH = 100;
constexpr const char* SEPARATOR = "  ";

// What an operator reads first: the column's heading and the field it shows.
struct Column {
    const char* Heading;
    const char* Field;
    size_t Narrowest;  // a column that may be cut to fit, down to this; 0: never cut
};
constexpr Column COLUMNS[] = {{"port", "port", 0},          {"state", "state", 0},
                              {"client", "client", 12},     {"interface", "device", 10},
                              {"from bus", "to_client", 0}, {"to bus", "to_bus", 0},
                              {"monitors", "monitors", 0},  {"errors", "interface_errors", 0}};

// The text the socket at `path` sends; false with errno set when it cannot be read.
bool ReadAll(const std::string& path, std::string* text) {
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        int error = errno;
        close(fd);
        errno = error;
        return false;
    }
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
        if (n > 0) text->append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return true;
}

// The objects of `text`, one per line; false after saying which line is not one.
bool ParseLines(const std::string& text, std::vector<Json>* objects) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        Json object = Json::parse(line, nullptr, false);
        if (!object.is_object()) {
            std::fprintf(stderr, "veltraclient: not a status line: %s\n", line.c_str());
            return false;
        }
        objects->push_back(std::move(object));
    }
    return true;
}

bool Serves(const std::vector<Json>& objects, const std::string& port) {
    return std::any_of(objects.begin(), objects.end(), [&port](const Json& object) {
        return object.contains("port") && object["port"].dump() == port;
    });
}

// The sockets of the folder, the one named after `port` first.
std::vector<std::string> Candidates(const char* port) {
    std::vector<std::string> paths;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(SOCKET_FOLDER, error)) {
        if (entry.is_socket(error)) paths.push_back(entry.path().string());
    }
    std::sort(paths.begin(), paths.end());
    if (port != nullptr) {
        std::string named = std::string(SOCKET_FOLDER) + "/" + port + ".sock";
        auto at = std::find(paths.begin(), paths.end(), named);
        if (at != paths.end()) std::rotate(paths.begin(), at, at + 1);
    }
    return paths;
}

// What the servers say: the one at `path`, or those of the folder (the one serving `port`).
bool Gather(const char* path, const char* port, std::string* text, std::vector<Json>* objects) {
    if (path != nullptr) {
        if (!ReadAll(path, text)) {
            std::fprintf(stderr, "veltraclient: %s: %s\n", path, std::strerror(errno));
            return false;
        }
        return ParseLines(*text, objects);
    }
    for (const std::string& candidate : Candidates(port)) {
        std::string answer;
        std::vector<Json> found;
        // A socket left by a server that ended answers no one: passed over.
        if (!ReadAll(candidate, &answer) || !ParseLines(answer, &found)) continue;
        if (port != nullptr && !Serves(found, port)) continue;
        *text += answer;
        objects->insert(objects->end(), found.begin(), found.end());
        if (port != nullptr) return true;
    }
    if (objects->empty()) {
        if (port != nullptr) {
            std::fprintf(stderr, "veltraclient: no server in %s serves port %s\n", SOCKET_FOLDER,
                         port);
        } else {
            std::fprintf(stderr, "veltraclient: no server answers in %s\n", SOCKET_FOLDER);
        }
        return false;
    }
    return true;
}

std::string Cell(const Json& object, const char* field) {
    if (!object.contains(field) || object[field].is_null()) return "-";
    const Json& value = object[field];
    return value.is_string() ? value.get<std::string>() : value.dump();
}

// Cut to `width`, marking the cut with a trailing "~".
std::string Fit(const std::string& text, size_t width) {
    return text.size() <= width ? text : text.substr(0, width - 1) + "~";
}

void PrintTable(const std::vector<Json>& objects) {
    constexpr size_t COUNT = std::size(COLUMNS);
    std::vector<Row> rows(1);
    for (const Column& column : COLUMNS) rows[0].push_back(column.Heading);
    for (const Json& object : objects) {
        Row row;
        for (const Column& column : COLUMNS) row.push_back(Cell(object, column.Field));
        rows.push_back(row);
    }
    size_t widths[COUNT] = {};
    for (const Row& row : rows) {
        for (size_t i = 0; i < COUNT; ++i) widths[i] = std::max(widths[i], row[i].size());
    }
    // The widest column that may be cut gives way, one character at a time.
    for (;;) {
        size_t total = (COUNT - 1) * std::strlen(SEPARATOR);
        for (size_t width : widths) total += width;
        size_t widest = COUNT;
        for (size_t i = 0; i < COUNT; ++i) {
            if (COLUMNS[i].Narrowest != 0 && widths[i] > COLUMNS[i].Narrowest &&
                (widest == COUNT || widths[i] > widths[widest])) {
                widest = i;
            }
        }
        if (total <= TABLE_WIDTH || widest == COUNT) break;
        --widths[widest];
    }
    for (const Row& row : rows) {
        std::string line;
        for (size_t i = 0; i < COUNT; ++i) {
            std::string cell = Fit(row[i], widths[i]);
            line += cell;
            if (i + 1 < COUNT) line += std::string(widths[i] - cell.size(), ' ') + SEPARATOR;
        }
        std::printf("%s\n", line.c_str());
    }
}

// Every field of every instance, one per line, instances apart by a blank line.
void PrintEverything(const std::vector<Json>& objects) {
    for (size_t n = 0; n < objects.size(); ++n) {
        size_t width = 0;
        for (const auto& item : objects[n].items()) width = std::max(width, item.key().size());
        if (n > 0) std::printf("\n");
        for (const auto& item : objects[n].items()) {
            std::printf("%-*s  %s\n", static_cast<int>(width), item.key().c_str(),
                        Cell(objects[n], item.key().c_str()).c_str());
        }
    }
}

}  // namespace

int ShowStatus(const char* path, const char* port, StatusForm form) {
    const char* variable = std::getenv("VELTRABOX_STATUS_SOCKET");
    if (path == nullptr && variable != nullptr && *variable != '\0') path = variable;
    std::string text;
    std::vector<Json> objects;
    if (!Gather(path, port, &text, &objects)) return 1;
    if (form == StatusForm::JSON) {
        std::fputs(text.c_str(), stdout);
    } else if (form == StatusForm::EVERYTHING) {
        PrintEverything(objects);
    } else if (!objects.empty()) {
        PrintTable(objects);
    }
    return 0;
}
